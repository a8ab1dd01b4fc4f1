// Fuzz target: a whole install from a stream (installFromStream), as the
// image mode does it, in a throwaway root. The first input byte sets up the
// case; the rest is the stream:
//   bit 0  re-sign every signature part of 132 bytes or more with the
//          development key first, so that changed contents get past the
//          signature check and reach extraction and metadata
//   bit 1  an older "tool" and a "system" are installed beforehand (the
//          replacement of the older version runs, dependencies are met)
//   bit 2  the "bootimage" variable is set
//   bit 3  downgrades are allowed
// Whatever the stream holds: a bundle that installs has a valid signature
// for every member, also for one passed over as installed; the copy target receives exactly the
// bytes read; every staged path lies under "/flash" without "." or ".." parts and every staged file
// exists; cancelling leaves "/flash" as it was and no temporary file anywhere. A stream that
// installs stages no file twice.
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <istream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "console/run_output.h"
#include "fuzz_support.h"
#include "package/format.h"
#include "package/signature.h"
#include "package/signer.h"
#include "records/repository.h"
#include "support/dev_keys.h"
#include "support/test_source.h"
#include "throwaway_root.h"
#include "txn/manifest.h"
#include "txn/paths.h"
#include "upgrade/stream_install.h"

namespace {

std::string fileState(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "";
  std::string state = std::to_string(st.st_mode) + " ";
  if (S_ISREG(st.st_mode)) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    state += content.str();
  } else if (S_ISLNK(st.st_mode)) {
    char text[4096];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    state += std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  return state;
}

void walk(const std::string& dir, std::map<std::string, std::string>& out) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(handle);
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    out[path] = fileState(path);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) walk(path, out);
  }
}

std::map<std::string, std::string> tree(const std::string& dir) {
  std::map<std::string, std::string> out;
  walk(dir, out);
  return out;
}

bool isTemporary(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string name = path.substr(slash + 1);
  return name.size() == 9 && name.rfind("tmp", 0) == 0;
}

void writeFile(const std::string& path, const std::string& content) {
  static_cast<void>(installer::makeDirs(installer::parentDir(path)));
  std::ofstream(path, std::ios::binary) << content;
}

void installOlderTool() {
  writeFile("/flash/var/pdb/tool/version", "117506048 1000\n");
  writeFile("/flash/var/pdb/tool/deps", "");
  writeFile("/flash/var/pdb/tool/files", "flash/bin/tool\nflash/share/doc/old\n");
  writeFile("/flash/bin/tool", "old tool");
  writeFile("/flash/share/doc/old", "old doc");
}

// The digest a hashing reader holds at each signature part, as the
// signature reader target computes it.
void resign(std::string& file) {
  const fuzzing::PartWalk walk = fuzzing::walkParts(file);
  installer::SigningKeys keys;
  installer::Key32 seed{};
  static_cast<void>(installer::parseHexKey(testing_support::kDevEd25519SeedHex, seed));
  keys.ed25519Seed = seed;
  bool sha256 = false;
  std::size_t start = installer::kFileHeaderSize;
  for (const fuzzing::PartSpan& p : walk.parts) {
    const std::size_t dataAt = p.headerOffset + installer::kPartHeaderSize;
    if (p.type == installer::kPartSha256Switch && !sha256) {
      sha256 = true;
      start = p.headerOffset;
    } else if (p.type == installer::kPartHeader) {
      start = p.headerOffset;
    } else if (p.type == installer::kPartSignature) {
      if (sha256 && p.length >= installer::kFullSignatureSize &&
          dataAt + installer::kFullSignatureSize <= file.size()) {
        auto hasher = installer::Hasher::create(installer::Hasher::Kind::kSha256);
        hasher->update(file.data() + start, dataAt - start);
        std::uint8_t digest[32];
        hasher->finish(digest);
        std::vector<std::uint8_t> signature;
        std::string error;
        if (installer::makeSignature(keys, installer::SignatureForm::kFull, digest, true, signature,
                                     error)) {
          std::copy(signature.begin(), signature.end(), file.begin() + static_cast<long>(dataAt));
        }
      }
      // The check finishes the hash; it starts afresh after the bytes it read.
      std::size_t unhashed = p.length >= installer::kFullSignatureSize     ? 132
                             : p.length >= installer::kLegacySignatureSize ? 68
                                                                           : 0;
      start = dataAt + std::min(unhashed, file.size() - dataAt);
    }
  }
}

// Whether every member of a bundle stream carries, before the next member,
// a signature part the installer's check accepts: a bundle that installs
// holds no member that went unchecked, passed over as installed or not.
bool everyMemberSigned(const std::string& file) {
  const fuzzing::PartWalk walk = fuzzing::walkParts(file);
  bool sha256 = false;
  bool open = false;
  std::size_t start = installer::kFileHeaderSize;
  std::string name;
  installer::Version version = 0;
  for (const fuzzing::PartSpan& p : walk.parts) {
    const std::size_t dataAt = p.headerOffset + installer::kPartHeaderSize;
    if (p.type == installer::kPartSha256Switch && !sha256) {
      sha256 = true;
      start = p.headerOffset;
    } else if (p.type == installer::kPartHeader) {
      if (open || dataAt + 20 > file.size()) return false;
      open = true;
      start = p.headerOffset;
      name = file.substr(dataAt, 16);
      name = name.substr(0, name.find('\0'));
      version =
          installer::decodeLe32(reinterpret_cast<const unsigned char*>(file.data()) + dataAt + 16);
    } else if (p.type == installer::kPartSignature && open) {
      const std::size_t n = p.length >= installer::kFullSignatureSize     ? 132
                            : p.length >= installer::kLegacySignatureSize ? 68
                                                                          : 0;
      if (n == 0 || dataAt + n > file.size()) return false;
      auto hasher = installer::Hasher::create(sha256 ? installer::Hasher::Kind::kSha256
                                                     : installer::Hasher::Kind::kSha1);
      hasher->update(file.data() + start, dataAt - start);
      std::uint8_t digest[32] = {};
      hasher->finish(digest);
      if (!installer::verifySignatureBytes(
              name, version, digest, sha256,
              reinterpret_cast<const std::uint8_t*>(file.data()) + dataAt, n)) {
        return false;
      }
      open = false;
      start = dataAt + n;
    }
  }
  return !open;
}

bool safeTarget(const std::string& path) {
  if (path.rfind("/flash/", 0) != 0) return false;
  std::size_t at = 1;
  while (at <= path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    const std::string part = path.substr(at, end - at);
    // An empty part ("a//b") names the same file as "a/b" and escapes nothing.
    if (part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

// The router tree before the stream: empty, or with an older "tool"
// installed (setup bit 1).
void prepareTree(std::uint8_t setup) {
  fuzzing::clearRouterTree();
  for (const char* dir : {"/flash/var/pdb", "/ram", "/rw", "/tmp"}) {
    static_cast<void>(installer::makeDirs(dir));
  }
  if (setup & 2) installOlderTool();
}

// The repository the tree stands for, with the run's settings.
void prepareRepository(installer::Repository& repo, std::uint8_t setup) {
  repo.arch = "i386";
  repo.bootImageVariable = (setup & 4) != 0;
  if (!(setup & 2)) return;
  auto tool = std::make_unique<installer::InstalledPackage>("tool");
  tool->version = 0x07010000;
  tool->buildTime = 1000;
  tool->files = {"/flash/bin/tool", "/flash/share/doc/old"};
  appendRecord(repo, std::move(tool));
  // What the described sample depends on.
  auto system = std::make_unique<installer::InstalledPackage>("system");
  system->version = 0x07016600;
  system->buildTime = 1000;
  appendRecord(repo, std::move(system));
}

// Every path the run staged or recorded lies under "/flash", and every
// staged file is one of our temporaries that exists.
void checkStagedPaths(const installer::Manifest& m, const installer::Repository& repo) {
  for (const auto& [target, entry] : m.entries) {
    const std::string path(target);
    if (!safeTarget(path)) std::fprintf(stderr, "unsafe staged path: \"%s\"\n", path.c_str());
    FUZZ_CHECK(safeTarget(path));
    if (entry.op == installer::ManifestOp::kMoveStaged) {
      const std::string source = installer::sourceOf(path, entry);
      struct stat st;
      FUZZ_CHECK(lstat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode));
      FUZZ_CHECK(isTemporary(source));
    }
  }
  for (const auto& record : repo.packages) {
    for (const std::string_view listed : record->files) {
      const std::string file(listed);
      if (!safeTarget(file)) std::fprintf(stderr, "unsafe file: \"%s\"\n", file.c_str());
      FUZZ_CHECK(safeTarget(file));
    }
  }
}

bool isBundleStream(const std::string& stream) {
  return stream.size() >= installer::kFileHeaderSize + 2 &&
         installer::decodeLe16(reinterpret_cast<const unsigned char*>(stream.data()) +
                               installer::kFileHeaderSize) == installer::kPartBundleHeader;
}

// After the cancel: "/flash" as it was before the run, and no temporary
// file left where temporaries go.
void checkNothingLeft(const std::map<std::string, std::string>& before) {
  const auto after = tree("/flash");
  if (after != before) {
    for (const auto& [path, state] : after) {
      auto it = before.find(path);
      if (it == before.end() || it->second != state) {
        std::fprintf(stderr, "changed under /flash: %s\n", path.c_str());
      }
    }
    for (const auto& [path, state] : before) {
      if (after.count(path) == 0) std::fprintf(stderr, "gone from /flash: %s\n", path.c_str());
    }
  }
  FUZZ_CHECK(after == before);
  for (const char* dir : {"/ram", "/tmp"}) {
    for (const auto& [path, state] : tree(dir)) FUZZ_CHECK(!isTemporary(path));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::enterThrowawayRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t setup = data[0];
  std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (setup & 1) resign(stream);
  prepareTree(setup);
  const auto before = tree("/flash");
  installer::Repository repo;
  prepareRepository(repo, setup);
  installer::RunOutput output;
  output.quiet = true;

  testing_support::TestSource source(stream, true);
  std::istream input(&source);
  std::stringbuf copied;
  // A spilled copy that turns out unwanted is discarded, as the image mode
  // removes its capture.
  installer::HeldCopy copy([&copied] { return &copied; }, installer::kHeldCopyLimit,
                           [&copied] { copied.str(""); });
  installer::Manifest m;
  installer::InstallFlags flags = installer::kFlagUpgrade;
  if (setup & 8) flags |= installer::kFlagDowngrade;
  const installer::KeptState noChoices;
  const installer::StreamOutcome outcome =
      installer::installFromStream({repo, output, m, noChoices, flags, &copy}, input);
  const std::string& packageDir = outcome.packageDir;
  const auto result = static_cast<int>(outcome.status);
  FUZZ_CHECK(result >= 0 && result <= static_cast<int>(installer::StreamInstall::kNoSpace));

  // The copy is what was read: never anything else, never more, and
  // nothing at all unless it was kept.
  const std::string kept = copied.str();
  const auto consumed =
      static_cast<std::size_t>(source.pubseekoff(0, std::ios_base::cur, std::ios_base::in));
  FUZZ_CHECK(kept.size() <= consumed);
  FUZZ_CHECK(stream.compare(0, kept.size(), kept) == 0);
  if (copy.state() != installer::HeldCopy::State::kCopying &&
      copy.state() != installer::HeldCopy::State::kSpilled) {
    FUZZ_CHECK(kept.empty());
  }

  checkStagedPaths(m, repo);
  if (result == 0 && !packageDir.empty()) FUZZ_CHECK(safeTarget(packageDir));
  if (result == 0 && isBundleStream(stream)) FUZZ_CHECK(everyMemberSigned(stream));

  installer::cancelManifest(m);
  checkNothingLeft(before);
  return 0;
}
