// Writes the seed corpora of the fuzz targets: small, valid inputs made with
// the package tool's builder and signed with the development keys, one
// directory per target; seeds that exist are left alone.
// Usage: fuzz_seeds <corpus-dir>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/payload_writer.h"
#include "package/signature.h"
#include "package/signer.h"
#include "package/writer.h"
#include "pkgtool/package_builder.h"
#include "support/dev_keys.h"
#include "support/hex.h"

namespace {

using installer::Dependency;
using installer::Package;
using installer::PayloadEntry;

std::string corpusRoot;

// Seeds already there are kept: signatures of the older scheme take a
// random nonce, so a seed made again would differ for no reason.
void put(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string dir = corpusRoot + "/" + target;
  mkdir(corpusRoot.c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  struct stat st;
  if (stat((dir + "/" + name).c_str(), &st) == 0) return;
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Package sample(const std::string& name, installer::Version version) {
  Package p(name);
  p.version = version;
  p.buildTime = 1700000000;
  return p;
}

std::string built(const Package& header, const std::vector<PayloadEntry>& files,
                  const installer::BuildOptions& options = {},
                  const std::optional<std::string>& image = std::nullopt, std::uint32_t magic = 0) {
  installer::PackageDescription d;
  d.header = header;
  d.magic = magic;
  std::string bytes;
  std::string error;
  if (!installer::assemblePackage(d, installer::deflateBytes(installer::encodeFileEntries(files)),
                                  image, testing_support::devSigningKeys(), options, bytes,
                                  error)) {
    std::fprintf(stderr, "building %s failed: %s\n", header.name.c_str(), error.c_str());
    std::exit(1);
  }
  return bytes;
}

std::vector<PayloadEntry> sampleFiles() {
  return {
      {0100755, 0, "bin/tool", "#!/bin/sh\necho tool\n"},
      {0100644, 0, "/etc/tool.conf", "key=value\n"},
      {040755, 0, "var/empty", ""},
      {0100644, 3, "lib/only-class-3", "x"},
      {0100600, 0, "lib/empty", ""},
  };
}

std::string imagePackage() {
  Package p = sample("kernel", installer::makeVersion(7, 2, installer::kStageFinal, 0));
  p.flags = installer::kFlagBootImage;
  return built(p, {{0100644, 0, "boot/kernel", std::string(64, 'k')}}, {}, std::string(300, '~'));
}

std::string bundle() {
  Package b = sample("suite", installer::makeVersion(7, 2, installer::kStageFinal, 0));
  installer::PackageDescription d;
  d.header = b;
  d.offByDefault = {"extra"};
  std::vector<std::string> members;
  for (const char* name : {"core", "extra"}) {
    members.push_back(
        built(sample(name, b.version), {{0100644, 0, std::string("lib/") + name, name}}));
  }
  std::string bytes;
  std::string error;
  if (!installer::assembleBundle(d, members, {"core", "extra"}, std::string(), bytes, error)) {
    std::fprintf(stderr, "building the bundle failed: %s\n", error.c_str());
    std::exit(1);
  }
  return bytes;
}

std::string forgedBundle() {
  Package b = sample("suite", installer::makeVersion(7, 2, installer::kStageFinal, 0));
  installer::PackageDescription d;
  d.header = b;
  Package copied = sample("tool", installer::makeVersion(7, 1, installer::kStageFinal, 0));
  copied.buildTime = 1000;
  std::string forged = built(copied, {{0100644, 0, "bin/tool", "junk"}});
  std::fill(forged.end() - static_cast<long>(installer::kFullSignatureSize), forged.end(), '\0');
  std::string bytes;
  std::string error;
  if (!installer::assembleBundle(d, {forged, built(sample("core", b.version), {})},
                                 {"tool", "core"}, std::string(), bytes, error)) {
    std::fprintf(stderr, "building the forged bundle failed: %s\n", error.c_str());
    std::exit(1);
  }
  return bytes;
}

Package described() {
  Package p = sample("routing", installer::makeVersion(7, 1, installer::kStageFinal, 3));
  p.extraText = "extra";
  p.arch = "i386";
  p.auxText = "aux";
  p.note = "a note";
  p.depends = {{"system", 0x07010000, 0x07020000, 0}};
  p.provides = {{"net", 0x07016600, 0, -1}, {"route", 1, 2, 5}};
  p.conflicts = {{"old-routing", 0, 0x06FF0000, 0}};
  return p;
}

std::vector<std::pair<std::string, std::string>> packages() {
  const auto v71 = installer::makeVersion(7, 1, installer::kStageFinal, 0);
  const auto v646 = installer::makeVersion(6, 46, installer::kStageFinal, 0);
  installer::BuildOptions legacy;
  legacy.form = installer::SignatureForm::kLegacyOnly;
  legacy.placement = installer::SwitchPlacement::kNone;
  installer::BuildOptions switchAfter;
  switchAfter.placement = installer::SwitchPlacement::kAfterHeader;
  return {
      {"single", built(sample("tool", v71), sampleFiles())},
      {"described", built(described(), sampleFiles())},
      {"switch-after-header", built(described(), sampleFiles(), switchAfter)},
      {"legacy-sha1", built(sample("old", v646), sampleFiles(), legacy)},
      {"side-by-side", built(sample("tool", v71), {{0100644, 0, "x", "y"}}, {}, std::nullopt,
                             installer::kMagicSideBySide)},
      {"image", imagePackage()},
      {"bundle", bundle()},
  };
}

void payloadSeeds() {
  const std::string entries = installer::encodeFileEntries(sampleFiles());
  put("payload", "entries-level6", std::string(1, char(1 | (6 << 1))) + entries);
  put("payload", "entries-stored", std::string(1, char(1)) + entries);
  put("payload", "zlib", std::string(1, char(0)) + installer::deflateBytes(entries));
  put("payload", "zlib-stored", std::string(1, char(0)) + installer::deflateBytes(entries, 0));
}

// The differential inflate target: its first byte picks raw bytes (even) or
// a generated stream (odd) with the kinds of its three pieces' blocks in bits
// 1 to 3 and the damage in bits 4 to 7; two bytes of position follow.
void inflateSeeds() {
  const std::string entries = installer::encodeFileEntries(sampleFiles());
  const char dynamicStoredFixed = char(1 | (2 << 1) | (0 << 2) | (1 << 3));
  const char* damages[] = {"whole", "cut", "flipped-bit", "dictionary", "trailing-bytes"};
  for (int damage = 0; damage < 5; ++damage) {
    put("inflate_backends", std::string("generated-") + damages[damage],
        std::string(1, char(dynamicStoredFixed | (damage << 4))) + "\x01\x23" + entries);
  }
  put("inflate_backends", "raw-zlib", std::string(1, char(0)) + installer::deflateBytes(entries));
  put("inflate_backends", "raw-stored",
      std::string(1, char(0)) + installer::deflateBytes(entries, 0));
}

void signatureSeeds() {
  const installer::PublicKeys keys = testing_support::devPublicKeys();
  std::uint8_t digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(i * 7);
  const struct {
    const char* name;
    installer::SignatureForm form;
    bool sha256;
    installer::Version version;
  } cases[] = {
      {"full-sha256", installer::SignatureForm::kFull, true, 0x07100000},
      {"legacy-sha1", installer::SignatureForm::kLegacyOnly, false, 0x062E0000},
      {"full-legacy-version", installer::SignatureForm::kFull, true, 0x07016203},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> signature;
    std::string error;
    static_cast<void>(installer::makeSignature(testing_support::devSigningKeys(), c.form, digest,
                                               c.sha256, signature, error));
    std::string in(1, char(c.sha256 ? 1 : 0));
    unsigned char version[4];
    installer::encodeLe32(version, c.version);
    in.append(reinterpret_cast<const char*>(version), 4);
    in.append(reinterpret_cast<const char*>(digest), 32);
    in.append(reinterpret_cast<const char*>(keys.ed25519.data()), 32);
    in.append(reinterpret_cast<const char*>(keys.legacy.data()), 32);
    in.append(signature.begin(), signature.end());
    put("signature_bytes", c.name, in);
  }
}

void curveSeeds() {
  auto fromHex = [](const std::string& text) {
    const auto bytes = testing_support::fromHex(text);
    return std::string(bytes.begin(), bytes.end());
  };
  const std::string q = fromHex(testing_support::kDevLegacyPublicHex);
  const std::string zero(32, '\0');
  std::string one = zero;
  one[0] = 1;
  std::string nine = zero;
  nine[0] = 9;
  // p - 1 and 2^255 - 1 (bit 255 dropped, above p): edge values of the field.
  std::string pMinus1(32, '\xff');
  pMinus1[0] = '\xec';
  pMinus1[31] = '\x7f';
  const std::string allOnes(32, '\xff');
  put("curve25519", "reference",
      zero + zero +
          fromHex("043a718774c572bd8a25adbeb1bfcd5c0256ae11cecf9f9c3f925d0e"
                  "52beaf89") +
          fromHex("8254c329a92850f6d539dd376f4816ee2764517da5e0235514af43"
                  "3164480d7a") +
          q);
  put("curve25519", "unit", one + nine + one + zero + q);
  put("curve25519", "edges", pMinus1 + allOnes + allOnes + pMinus1 + nine);
}

void manifestSeeds() {
  put("manifest", "all-kinds",
      "U /flash/old\nL /flash/var/pdb/kernel/image /flash/bootimage\n"
      "M /flash/bin/tool /flash/bin/tmpAbC123\nM /flash/bootimage /flash/var/pdb/image\n");
  put("manifest", "odd", "X skipped line\nM /a /b with blanks\n\nU /after-empty\n");
  put("manifest", "no-newline", "U /flash/x");
}

void journalSeeds() {
  put("journal", "dense",
      "installer-journal 2\nK\nD /flash/usr\nD /flash/usr/lib\n"
      "P /flash/usr/lib/a.so /flash/tmpAbC123\nP b.so tmpDeF456\n"
      "B /flash/etc/x%20y /flash/etc/tmpOld001\nP x%20y tmpNew001\nP c /ram/tmpRam001\n"
      "R /\nD ./rel\nE\nC\nA\n");
  put("journal", "older-form",
      "installer-journal 1\nD /flash/n\nB /flash/n/a /flash/n/tmpOld001\n"
      "P /flash/n/a /ram/tmpNew001\nP b tmpB00001\nR /flash/old\nE\n");
  put("journal", "garbled", "installer-journal 2\nP a tmpX\nD /flash/a%2\nE\nC");
}

// Records of the metadata target: [kind] [length, 2 bytes] [bytes]; kind 11
// switches to another package name.
std::string record(int kind, const std::string& bytes) {
  std::string out(1, static_cast<char>(kind));
  out += static_cast<char>(bytes.size() & 0xFF);
  out += static_cast<char>(bytes.size() >> 8);
  return out + bytes;
}

void metadataSeeds() {
  enum {
    kVersion,
    kDeps,
    kProvides,
    kConflicts,
    kBundle,
    kFiles,
    kDisabled,
    kEnabled,
    kImage,
    kSchedule,
    kKeptImage,
    kName
  };
  put("metadata", "plain",
      record(kVersion, "117506816 1700000000\n") + record(kDeps, "system 117506048 0\n") +
          record(kProvides, "net 117532160 0 -1\nroute 1 2 5\n") +
          record(kConflicts, "old 0 117440512\n") +
          record(kFiles, "flash/bin/tool\n/flash/etc/tool.conf\n\nflash/lib/x") +
          record(kEnabled, "user\n") + record(kSchedule, "disable\n") + record(kName, "other") +
          record(kVersion, "1 2") + record(kDisabled, "auto\n") + record(kBundle, "suite\n") +
          record(kFiles, ""));
  put("metadata", "kept-images",
      record(kName, "suite") + record(kImage, bundle()) + record(kName, "core") +
          record(kFiles, "flash/lib/core\n") + record(kName, "kernel") +
          record(kKeptImage, imagePackage()) + record(kSchedule, "uninstall"));
  put("metadata", "broken",
      record(kVersion, "x") + record(kDeps, "only-a-name\n") + record(kName, "my_pkg.x") +
          record(kSchedule, "enable") + record(kProvides, "a 1 2\n"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus-dir>\n");
    return 2;
  }
  corpusRoot = argv[1];
  for (const auto& [name, bytes] : packages()) {
    put("package_reader", name, bytes);
    put("signature_reader", name, bytes);
  }
  // A cut package and a bare file header, for the reader's end cases.
  const std::string single = packages().front().second;
  put("package_reader", "cut", single.substr(0, single.size() / 2));
  put("package_reader", "empty-file", single.substr(0, 8));
  // The install target: a set-up byte, then the stream (see its header).
  for (const auto& [name, bytes] : packages()) {
    put("install_stream", name, std::string(1, '\0') + bytes);
    put("install_stream", name + "-resigned-over-older", std::string(1, '\3') + bytes);
  }
  put("install_stream", "image-bootimage", std::string(1, '\5') + imagePackage());
  // A bundle whose first member copies the header of the "tool" that set-up
  // bit 1 installs, with its signature zeroed: passed over as installed, it
  // must still be refused.
  put("install_stream", "bundle-forged-passed-over-member", std::string(1, '\2') + forgedBundle());
  payloadSeeds();
  inflateSeeds();
  signatureSeeds();
  curveSeeds();
  manifestSeeds();
  journalSeeds();
  metadataSeeds();
  return 0;
}
