#include "support/install_fixtures.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <iostream>
#include <new>
#include <sstream>
#include <string_view>

#include "package/signer.h"
#include "support/dev_keys.h"
#include "support/sandbox.h"
#include "txn/commit.h"
#include "upgrade/stream_install.h"

namespace testing_support {

using installer::Dependency;
using installer::Package;
using installer::PackageWriter;

namespace {

constexpr std::uint32_t kSignatureLength = 132;

std::string signatureFor(const installer::SigningDigest& digest, bool good) {
  std::vector<std::uint8_t> signature;
  std::string error;
  if (!installer::makeSignature(devSigningKeys(), installer::SignatureForm::kFull, digest.bytes,
                                digest.sha256, signature, error)) {
    return std::string(kSignatureLength, '\0');
  }
  std::string data(signature.begin(), signature.end());
  if (!good) {
    // Spoil both schemes: the older check value and the Ed25519 half.
    data[20] = static_cast<char>(data[20] ^ 0x01);
    data[kSignatureLength - 1] = static_cast<char>(data[kSignatureLength - 1] ^ 0x01);
  }
  return data;
}

}  // namespace

Package fixtureHeader(const std::string& name, installer::Version version,
                      std::uint32_t buildTime) {
  Package p(name);
  p.version = version;
  p.buildTime = buildTime;
  return p;
}

void addSignedPackage(PackageWriter& writer, const FixturePackage& p) {
  writer.addHeader(p.header);
  // Everything after the header is hashed with SHA-256, as Ed25519 needs.
  writer.addSha256Switch();
  writer.addDescription(p.header);
  if (p.image) writer.addImage(*p.image);
  if (p.rawPayload) {
    writer.addPart(installer::kPartPayload, *p.rawPayload);
  } else if (p.payload) {
    writer.addPayload(p.files);
  }
  const bool good = p.goodSignature;
  writer.addSignature(kSignatureLength, [good](const installer::SigningDigest& digest) {
    return signatureFor(digest, good);
  });
  for (const auto& [type, data] : p.tail) writer.addPart(type, data);
}

std::string packageFile(const FixturePackage& p, std::uint32_t magic) {
  PackageWriter writer(magic);
  addSignedPackage(writer, p);
  return writer.bytes();
}

std::string bundleFile(const Package& bundle, const std::vector<FixturePackage>& members,
                       const std::vector<std::string>& offByDefault,
                       std::optional<std::string> image) {
  PackageWriter writer;
  writer.addHeader(bundle, installer::kHeaderDataWithFlags, installer::kPartBundleHeader);
  if (image) writer.addImage(*image);
  if (!offByDefault.empty()) {
    std::vector<Dependency> list;
    for (const std::string& name : offByDefault) list.push_back(Dependency{name, 0, 0, 0});
    writer.addDependencyList(installer::kPartOffByDefault, list);
  }
  for (const FixturePackage& member : members) addSignedPackage(writer, member);
  return writer.bytes();
}

std::vector<PartSpan> partSpans(const std::string& file) {
  std::vector<PartSpan> spans;
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  std::size_t pos = installer::kFileHeaderSize;
  while (pos + installer::kPartHeaderSize <= file.size()) {
    PartSpan span;
    span.type = installer::decodeLe16(bytes + pos);
    span.length = installer::decodeLe32(bytes + pos + 2);
    span.start = static_cast<std::uint32_t>(pos + installer::kPartHeaderSize);
    spans.push_back(span);
    pos = span.start + span.length;
  }
  return spans;
}

void makeRouterDirs(const std::string& root) {
  for (const char* dir : {"/flash/var/pdb", "/ram", "/rw"}) makeDirs(root + dir);
}

void InstallSandbox::SetUp() {
  SandboxTest::SetUp();
  if (stopped()) return;
  makeRouterDirs();
  makeDirs("/tmp");  // staging's last resort for temporary files
  repository_.arch = "i386";
  console_.stream = &output_;
  repo_ = &repository_;
}

void InstallSandbox::TearDown() {
  // Failures reported on the console are in the captured output.
  if (HasFailure()) std::cerr << output_.str() << std::endl;
  installer::cancelManifest(m_);
}

std::string InstallSandbox::output() {
  std::string text = output_.str();
  output_.str("");
  return text;
}

int InstallSandbox::install(const std::string& bytes, installer::InstallFlags flags,
                            const installer::KeptState& kept, std::string* dir, bool* boot,
                            installer::HeldCopy* copy) {
  std::istringstream in(bytes);
  installer::StreamOutcome outcome =
      installer::installFromStream({*repo_, console_, m_, kept, flags, copy}, in);
  if (dir != nullptr) *dir = std::move(outcome.packageDir);
  if (boot != nullptr) *boot = outcome.bootImage;
  return static_cast<int>(outcome.status);
}

// GCC 12 at -O2 reports the empty map of a fresh Manifest as "may be used
// uninitialized" when it is move-assigned (a false positive of its
// -Wmaybe-uninitialized on std::map's header node); silenced here only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
void InstallSandbox::commit() {
  EXPECT_EQ(installer::commitManifest(m_), installer::CommitOutcome::kCommitted);
  // A named fresh manifest: assigning a temporary draws a false
  // -Wmaybe-uninitialized from GCC 12 on the maps inside.
  installer::Manifest fresh;
  m_ = std::move(fresh);
}
#pragma GCC diagnostic pop

void InstallSandbox::installAndCommit(const std::string& bytes) {
  ASSERT_EQ(install(bytes), 0);
  commit();
}

installer::InstalledPackage* InstallSandbox::record(const std::string& name) const {
  return installer::findRecord(*repo_, name);
}

}  // namespace testing_support
