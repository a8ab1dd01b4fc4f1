// Signed packages and bundles for installation tests, built with the package
// writer and signed with the development keys.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "console/run_output.h"
#include "package/format.h"
#include "package/held_copy.h"
#include "package/payload_writer.h"
#include "package/writer.h"
#include "plan/install_flags.h"
#include "records/package.h"
#include "records/repository.h"
#include "support/sandbox.h"
#include "txn/manifest.h"

namespace testing_support {

struct FixturePackage {
  FixturePackage() = default;
  explicit FixturePackage(installer::Package h) : header(std::move(h)) {}

  installer::Package header;  // name, version, buildTime, flags, arch, lists
  std::vector<installer::PayloadEntry> files;
  std::optional<std::string> image;       // the data of an image part (type 21)
  bool payload = true;                    // a type-4 part, even when `files` is empty
  std::optional<std::string> rawPayload;  // compressed type-4 data used instead of `files`
  // Parts after the signature: (type, data).
  std::vector<std::pair<std::uint16_t, std::string>> tail;
  bool goodSignature = true;  // false: the signature matches nothing
};

// A package record for a fixture header.
installer::Package fixtureHeader(const std::string& name, installer::Version version,
                                 std::uint32_t buildTime = 1000);

// Appends one package, from its header part to its signature part.
void addSignedPackage(installer::PackageWriter& writer, const FixturePackage& p);

// A whole single-package file.
std::string packageFile(const FixturePackage& p, std::uint32_t magic = installer::kMagicPackage);

// A whole bundle file: the bundle header, an image part when given, the list
// of members off by default when not empty, then the members.
std::string bundleFile(const installer::Package& bundle, const std::vector<FixturePackage>& members,
                       const std::vector<std::string>& offByDefault = {},
                       std::optional<std::string> image = std::string("bundle image"));

// The file offsets of each part's data and its type, walking the part
// headers; for computing what the progress bar shows.
struct PartSpan {
  std::uint16_t type = 0;
  std::uint32_t start = 0;  // offset of the data
  std::uint32_t length = 0;
};
std::vector<PartSpan> partSpans(const std::string& file);

// The directories of a router root that installations expect: "/flash/var/pdb",
// "/ram" and "/rw".
void makeRouterDirs(const std::string& root = "");

// A test inside a fresh router root with an empty repository (architecture
// "i386", not quiet) whose console output is captured, so that status lines
// do not clutter the test log.
class InstallSandbox : public SandboxTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The console output since the last call.
  std::string output();

  // installFromStream over `bytes` into this test's manifest.
  int install(const std::string& bytes, installer::InstallFlags flags = installer::kFlagUpgrade,
              const installer::KeptState& kept = {}, std::string* dir = nullptr,
              bool* boot = nullptr, installer::HeldCopy* copy = nullptr);
  // Commits what is staged, as the end of a run does, and starts a new manifest.
  void commit();
  void installAndCommit(const std::string& bytes);

  bool staged(const std::string& path) const { return m_.entries.count(path) != 0; }
  installer::InstalledPackage* record(const std::string& name) const;

  installer::Repository repository_;
  installer::Repository* repo_ = nullptr;  // the repository of the test
  installer::Manifest m_;
  std::ostringstream output_;
  installer::RunOutput console_;  // the run's output, written to `output_`
};

}  // namespace testing_support
