#include "pkgtool/package_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "package/format.h"
#include "package/payload.h"
#include "package/reader.h"
#include "package/writer.h"
#include "pkgtool/verify.h"
#include "support/dev_keys.h"
#include "support/sandbox.h"
#include "support/signed_package.h"

// GCC 12 at -O3 warns that the std::string it builds for "text" + string
// may overlap its source (a false -Wrestrict from the inlined
// basic_string::_M_replace, GCC bug 105329): a literal and a fresh heap
// buffer cannot overlap. Silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace installer {
namespace {

using testing_support::devPublicKeys;
using testing_support::devSigningKeys;
using testing_support::TempRoot;
using testing_support::writeFile;

PackageDescription routingDescription(Version version = makeVersion(7, 16, kStageFinal, 2)) {
  PackageDescription d;
  Package& h = d.header;
  h.name = "routing";
  h.version = version;
  h.buildTime = 1714564800;
  h.flags = kFlagNoMetadata;
  h.arch = "arm";
  h.note = "dynamic routing";
  h.extraText = "extra";
  h.auxText = "aux";
  h.depends = {
      {"system", makeVersion(7, 16, kStageFinal, 0), makeVersion(7, 17, kStageFinal, 0), 0}};
  h.provides = {{"bgp", 0, 0, -3}, {"ospf", makeVersion(2, 0, kStageFinal, 0), 0, 7}};
  h.conflicts = {{"oldrouting", 0, makeVersion(6, 49, kStageFinal, 0), 0}};
  d.classes = {{"lib/modules/*", 2}};
  return d;
}

std::string build(const PackageDescription& d, const BuildOptions& options = {},
                  const std::optional<std::string>& payload = std::nullopt,
                  const std::optional<std::string>& image = std::nullopt) {
  std::string bytes;
  std::string error;
  EXPECT_TRUE(assemblePackage(d, payload, image, devSigningKeys(), options, bytes, error)) << error;
  return bytes;
}

std::vector<int> partTypes(const std::string& file) {
  std::vector<int> types;
  std::size_t pos = kFileHeaderSize;
  while (pos + kPartHeaderSize <= file.size()) {
    const auto* h = reinterpret_cast<const unsigned char*>(file.data()) + pos;
    types.push_back(decodeLe16(h));
    pos += kPartHeaderSize + decodeLe32(h + 2);
  }
  return types;
}

std::vector<VerifyResult> verify(const std::string& file) {
  std::istringstream in(file);
  return verifyPackageFile(in, file.size(), devPublicKeys());
}

void expectSameList(const std::vector<Dependency>& a, const std::vector<Dependency>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].minVersion, b[i].minVersion);
    EXPECT_EQ(a[i].maxVersion, b[i].maxVersion);
    EXPECT_EQ(a[i].priority, b[i].priority);
  }
}

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(root / "/tree/bin/routed", "#!/bin/sh\necho routing\n", 0755);
    writeFile(root / "/tree/etc/routed.conf", "interval 30\n", 0640);
    writeFile(root / "/tree/lib/modules/net/bgp.ko", std::string(70000, 'k'), 0644);
    writeFile(root / "/tree/empty", "", 0644);
    ASSERT_EQ(symlink("routed", (root / "/tree/bin/link").c_str()), 0);
    testing_support::makeDirs(root / "/tree/var/empty-dir");
  }
  TempRoot root;
};

TEST_F(TreeTest, BuiltPackageReadsBackExactly) {
  const PackageDescription d = routingDescription();
  std::vector<TreeFile> files;
  std::vector<std::string> skipped;
  std::string error;
  ASSERT_TRUE(collectTree(root / "/tree", d.classes, files, skipped, error)) << error;
  EXPECT_EQ(skipped, std::vector<std::string>{"bin/link"});
  std::string payload;
  ASSERT_TRUE(compressTree(files, payload, error)) << error;
  const std::string file = build(d, {}, payload, std::string("IMAGE"));

  std::istringstream in(file);
  PackageReader reader(in, true);
  reader.wantedTypes = {1, 18, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9};
  Package p;
  ASSERT_EQ(reader.nextPart(), kPartHeader);
  ASSERT_TRUE(readHeader(p, reader));
  EXPECT_EQ(p.name, "routing");
  EXPECT_EQ(p.version, d.header.version);
  EXPECT_EQ(p.buildTime, 1714564800u);
  EXPECT_EQ(p.flags, kFlagNoMetadata);
  EXPECT_EQ(p.arch, "arm");
  EXPECT_EQ(p.note, "dynamic routing");
  EXPECT_EQ(p.extraText, "extra");
  EXPECT_EQ(p.auxText, "aux");
  EXPECT_FALSE(p.isBundle);
  EXPECT_TRUE(p.imageBased);
  expectSameList(p.depends, d.header.depends);
  expectSameList(p.provides, d.header.provides);
  expectSameList(p.conflicts, d.header.conflicts);

  ASSERT_EQ(reader.nextPart(), kPartPayload);
  InflateStreambuf buffer(reader.rdbuf());
  std::istream entries(&buffer);
  struct Expected {
    const char* name;
    std::uint16_t mode;
    std::uint8_t hardwareClass;
    std::string data;
  } expected[] = {
      {"bin/routed", 0100755, 0, "#!/bin/sh\necho routing\n"},
      {"empty", 0100644, 0, ""},
      {"etc/routed.conf", 0100640, 0, "interval 30\n"},
      {"lib/modules/net/bgp.ko", 0100644, 2, std::string(70000, 'k')},
  };
  for (const Expected& e : expected) {
    FileEntry entry;
    ASSERT_EQ(readFileEntry(entries, entry), EntryRead::kEntry) << e.name;
    EXPECT_EQ(entry.name, e.name);
    EXPECT_EQ(entry.mode, e.mode) << e.name;
    EXPECT_EQ(entry.hardwareClass, e.hardwareClass) << e.name;
    std::string data(entry.dataLength, '\0');
    entries.read(data.data(), static_cast<std::streamsize>(data.size()));
    EXPECT_EQ(data, e.data) << e.name;
  }
  FileEntry end;
  EXPECT_EQ(readFileEntry(entries, end), EntryRead::kEnd);
  ASSERT_EQ(reader.nextPart(), kPartSignature);
  EXPECT_EQ(reader.part().partLength, 132u);

  const auto results = verify(file);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].accepted) << results[0].reason;
  EXPECT_EQ(results[0].label, "routing-7.16.2");
}

TEST_F(TreeTest, CollectTreeRefusesWhatTheInstallerWouldRefuse) {
  struct Case {
    std::string file;  // below the tree
    std::string error;
  } cases[] = {
      {"var/pdb/other/files",
       "var/pdb/other/files would land on /flash/var/pdb/other/files, which belongs to the "
       "installer"},
      {"postlog", "postlog would land on /flash/postlog, which belongs to the installer"},
      {"bootimage", "bootimage would land on /flash/bootimage, which belongs to the installer"},
      {"PCKGS_CHANGED",
       "PCKGS_CHANGED would land on /flash/PCKGS_CHANGED, which belongs to the installer"},
      {"UPGRADED", "UPGRADED would land on /flash/UPGRADED, which belongs to the installer"},
      {"bin/a b",
       "the installer refuses the file name \"bin/a b\": it must not hold a blank or a control "
       "byte"},
      {"bin/a\nb",
       "the installer refuses the file name \"bin/a?b\": it must not hold a blank or a control "
       "byte"},
  };
  for (const Case& c : cases) {
    const std::string tree = root / "/odd";
    testing_support::removeTree(tree);
    writeFile(tree + "/bin/fine", "x", 0644);
    writeFile(tree + "/" + c.file, "x", 0644);
    std::vector<TreeFile> files;
    std::vector<std::string> skipped;
    std::string error;
    EXPECT_FALSE(collectTree(tree, {}, files, skipped, error)) << c.file;
    EXPECT_EQ(error, c.error);
  }
}

TEST_F(TreeTest, CollectTreeRefusesWhatIsNoDirectory) {
  std::vector<TreeFile> files;
  std::vector<std::string> skipped;
  std::string error;
  EXPECT_FALSE(collectTree(root / "/tree/empty", {}, files, skipped, error));
  EXPECT_EQ(error, "not a directory: " + (root / "/tree/empty"));
  EXPECT_FALSE(collectTree(root / "/missing", {}, files, skipped, error));
}

TEST(PackageLayoutTest, ArrangementsAndForms) {
  const Version old = 0x07016203;  // 7.1beta3: the older scheme may still sign
  struct Case {
    const char* name;
    SwitchPlacement placement;
    SignatureForm form;
    std::optional<std::uint32_t> size;
    Version version;
    std::vector<int> types;
    std::uint32_t signatureLength;
  } cases[] = {
      {"default",
       SwitchPlacement::kBeforeHeader,
       SignatureForm::kFull,
       std::nullopt,
       makeVersion(7, 16, kStageFinal, 0),
       {25, 1, 24, 16, 2, 23, 3, 19, 17, 9},
       132},
      {"after",
       SwitchPlacement::kAfterHeader,
       SignatureForm::kFull,
       std::nullopt,
       makeVersion(7, 16, kStageFinal, 0),
       {1, 24, 16, 2, 23, 3, 19, 17, 25, 9},
       132},
      {"legacy over SHA-1",
       SwitchPlacement::kNone,
       SignatureForm::kLegacyOnly,
       std::nullopt,
       old,
       {1, 24, 16, 2, 23, 3, 19, 17, 9},
       68},
      {"legacy, padded",
       SwitchPlacement::kBeforeHeader,
       SignatureForm::kLegacyOnly,
       100,
       old,
       {25, 1, 24, 16, 2, 23, 3, 19, 17, 9},
       100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuildOptions options;
    options.placement = c.placement;
    options.form = c.form;
    options.signatureSize = c.size;
    const std::string file = build(routingDescription(c.version), options);
    EXPECT_EQ(partTypes(file), c.types);
    EXPECT_EQ(decodeLe32(reinterpret_cast<const unsigned char*>(file.data()) + file.size() -
                         c.signatureLength - 4),
              c.signatureLength);
    const auto results = verify(file);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].accepted) << results[0].reason;
  }
}

TEST(PackageLayoutTest, RefusedOptions) {
  std::string bytes;
  std::string error;
  BuildOptions options;
  options.placement = SwitchPlacement::kNone;
  EXPECT_FALSE(assemblePackage(routingDescription(), std::nullopt, std::nullopt, devSigningKeys(),
                               options, bytes, error));
  EXPECT_EQ(error, "an Ed25519 signature needs a SHA-256 digest (a type-25 part before it)");
  options = {};
  options.signatureSize = 100;
  EXPECT_FALSE(assemblePackage(routingDescription(), std::nullopt, std::nullopt, devSigningKeys(),
                               options, bytes, error));
  EXPECT_EQ(error, "a signature part of this form needs at least 132 bytes");
  options = {};
  EXPECT_FALSE(assemblePackage(routingDescription(), std::nullopt, std::nullopt, SigningKeys{},
                               options, bytes, error));
  EXPECT_EQ(error, "no Ed25519 key to sign with");
  options.sign = false;
  ASSERT_TRUE(assemblePackage(routingDescription(), std::nullopt, std::nullopt, SigningKeys{},
                              options, bytes, error));
  EXPECT_EQ(partTypes(bytes), (std::vector<int>{25, 1, 24, 16, 2, 23, 3, 19, 17}));
  ASSERT_EQ(verify(bytes).size(), 1u);
  EXPECT_EQ(verify(bytes)[0].reason, "no signature part");
}

PackageDescription bundleDescription() {
  PackageDescription d;
  d.header.name = "sysbundle";
  d.header.version = makeVersion(7, 16, kStageFinal, 0);
  d.header.buildTime = 1714564800;
  d.offByDefault = {"extra"};
  return d;
}

PackageDescription memberDescription(const std::string& name) {
  PackageDescription d;
  d.header.name = name;
  d.header.version = makeVersion(7, 16, kStageFinal, 0);
  return d;
}

TEST(BundleTest, MembersVerifyInsideTheBundle) {
  const std::vector<std::string> members = {build(routingDescription()),
                                            build(memberDescription("extra"))};
  std::string bytes;
  std::string error;
  ASSERT_TRUE(
      assembleBundle(bundleDescription(), members, {"a.npk", "b.npk"}, std::string(), bytes, error))
      << error;
  EXPECT_EQ(partTypes(bytes),
            (std::vector<int>{18, 3, 21, 20, 25, 1, 24, 16, 2, 23, 3, 19, 17, 9, 25, 1, 3, 9}));
  auto results = verify(bytes);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results[0].accepted && results[1].accepted);
  EXPECT_EQ(results[1].label, "extra-7.16");

  // A spoilt byte in the first member's header fails that member only.
  std::string spoilt = bytes;
  const std::size_t routingName = spoilt.find("routing");
  spoilt[routingName] = 'R';
  results = verify(spoilt);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].accepted);
  EXPECT_EQ(results[0].reason, "signature refused");
  EXPECT_TRUE(results[1].accepted);
}

TEST(BundleTest, RefusedBundles) {
  const std::string member = build(routingDescription());
  std::string bundle;
  std::string error;
  ASSERT_TRUE(assembleBundle(bundleDescription(), {member, build(memberDescription("extra"))},
                             {"a", "b"}, std::nullopt, bundle, error));
  PackageWriter sideBySide(kMagicSideBySide);
  sideBySide.addPackageHeader(memberDescription("other").header);

  PackageDescription withLists = bundleDescription();
  withLists.header.depends = {{"system", 0, 0, 0}};
  PackageDescription ownName = bundleDescription();
  ownName.header.name = "routing";
  ownName.offByDefault.clear();
  PackageDescription unknownMember = bundleDescription();
  unknownMember.offByDefault = {"nosuch"};
  struct Case {
    PackageDescription description;
    std::vector<std::string> members;
    const char* error;
  } cases[] = {
      {withLists, {member}, "a bundle carries no depends, provides or conflicts"},
      {bundleDescription(), {}, "a bundle needs at least one member"},
      {ownName, {member}, "member m0 has the bundle's own name"},
      {unknownMember, {member}, "off-by-default names no member: nosuch"},
      {bundleDescription(), {bundle}, "a bundle cannot be a member: m0"},
      {bundleDescription(),
       {member.substr(0, member.size() - 1)},
       "not a package file (or cut short): m0"},
      {bundleDescription(), {"junk"}, "not a package file (or cut short): m0"},
      {bundleDescription(), {sideBySide.bytes()}, "member m0 has another magic than the bundle"},
      {bundleDescription(),
       {member, member},
       "member m1 is routing again: a bundle brings each once"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < c.members.size(); ++i) names.push_back("m" + std::to_string(i));
    std::string bytes;
    EXPECT_FALSE(assembleBundle(c.description, c.members, names, std::nullopt, bytes, error));
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(bytes.empty());
  }
}

TEST(VerifyFileTest, WhatAnInstallationRefuses) {
  const std::string good = build(routingDescription());
  ASSERT_TRUE(verify(good).at(0).accepted);
  PackageWriter tail;
  tail.addPart(kPartArch, "arm");
  tail.addPart(kPartDepends, "");
  PackageWriter badTail;
  badTail.addPart(kPartPayload, "x");
  PackageWriter emptyBundle;
  Package bundleHeader = bundleDescription().header;
  bundleHeader.isBundle = true;
  emptyBundle.addPackageHeader(bundleHeader);

  auto withTail = [&](const PackageWriter& w) {
    std::string file = good + w.body();
    encodeLe32(reinterpret_cast<unsigned char*>(file.data()) + 4,
               static_cast<std::uint32_t>(file.size() - kFileHeaderSize));
    return file;
  };
  struct Case {
    const char* name;
    std::string file;
    bool accepted;
    std::string reason;
  } cases[] = {
      {"arch and empty depends after the signature", withTail(tail), true, ""},
      {"a payload after the signature", withTail(badTail), false,
       "unexpected parts after the signature"},
      {"size differs from the header", good + "x", false,
       "the header declares " + std::to_string(good.size()) + " bytes, the file has " +
           std::to_string(good.size() + 1)},
      {"not a package", "not a package file at all", false, "not a package file"},
      {"bundle without members", emptyBundle.bytes(), false, "the bundle brings no member"},
  };
  for (const Case& c : cases) {
    const auto results = verify(c.file);
    ASSERT_FALSE(results.empty()) << c.name;
    EXPECT_EQ(results.back().accepted, c.accepted) << c.name;
    EXPECT_EQ(results.back().reason, c.reason) << c.name;
  }
}

TEST(FixtureHelperTest, SignedPackagesAndBundlesVerify) {
  Package member("extra");
  member.version = makeVersion(7, 16, kStageFinal, 0);
  const std::string package =
      testing_support::signedPackage(member, {{0100644, 0, "etc/extra", "x"}});
  ASSERT_EQ(verify(package).size(), 1u);
  EXPECT_TRUE(verify(package)[0].accepted);
  Package bundle("sysbundle");
  bundle.version = member.version;
  const auto results = verify(testing_support::signedBundle(bundle, {package}, {"extra"}));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].accepted) << results[0].reason;
}

}  // namespace
}  // namespace installer
