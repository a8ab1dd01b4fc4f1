#include "support/upgrade_system.h"

#include <gtest/gtest.h>

#include <vector>

#include "package/format.h"
#include "package/payload_writer.h"
#include "support/fault_run.h"
#include "support/install_fixtures.h"
#include "support/signed_package.h"
#include "support/versions.h"

// GCC 12 at -O3 warns that the std::string it builds for "text" + string
// may overlap its source (a false -Wrestrict from the inlined
// basic_string::_M_replace, GCC bug 105329): a literal and a fresh heap
// buffer cannot overlap. Silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace testing_support {
namespace {

using installer::PayloadEntry;

// File i of package `name`, spread over directories that sort before and
// after the database ("/flash/var/pdb"), so that a commit cut short leaves
// both kinds.
std::string filePath(const std::string& name, int i) {
  static const char* const kDirs[] = {"bin/", "lib/", "share/doc/", "www/"};
  return std::string(kDirs[i % 4]) + name + "-" + std::to_string(i);
}

std::string package(const std::string& name, int index, bool second,
                    const UpgradeSystemShape& shape) {
  installer::Package header = fixtureHeader(name, second ? kV72 : kV71);
  if (index > 0) header.depends = {{"pkg" + std::to_string(index - 1), 0, 0, 0}};
  std::vector<PayloadEntry> files;
  for (int i = 0; i < shape.files; ++i) {
    if (second && i % 5 == 0) continue;  // dropped by the second version
    const bool changed = second && i % 2 == 1;
    std::string data = name + " file " + std::to_string(i) + (changed ? " changed" : "");
    if (i == 3) data += std::string(20000, changed ? 'C' : 'c');
    files.push_back(payloadEntry(filePath(name, i), data, i % 7 == 0 ? 0100755 : 0100644));
  }
  if (second) {
    for (int i = 0; i < shape.files / 5; ++i) {
      files.push_back(payloadEntry("opt/" + name + "/new/" + std::to_string(i),
                                   name + " new " + std::to_string(i), 0100644));
    }
  }
  return signedPackage(header, files);
}

std::string kernel(bool second) {
  installer::Package header = fixtureHeader("kernel", second ? kV72 : kV71);
  header.flags = installer::kFlagBootImage;
  FixtureOptions options;
  options.image = std::string(second ? 12000 : 9000, second ? 'K' : 'k');
  return signedPackage(header, {payloadEntry("boot/modules", second ? "m2" : "m1", 0100644)},
                       options);
}

}  // namespace

bool prepareUpgradeSystem(const std::string& root, const UpgradeSystemShape& shape) {
  makeRouterDirs(root);
  std::vector<std::pair<std::string, std::string>> first;
  std::vector<std::pair<std::string, std::string>> second;
  for (int i = 0; i < shape.packages; ++i) {
    const std::string name = "pkg" + std::to_string(i);
    first.emplace_back(name, package(name, i, false, shape));
    second.emplace_back(name, package(name, i, true, shape));
  }
  first.emplace_back("kernel", kernel(false));
  second.emplace_back("kernel", kernel(true));
  for (const auto& [name, bytes] : first) {
    RunOptions options = withFault({});
    options.input = bytes;
    options.env["bootimage"] = "1";
    const RunResult run = runInstaller({"-r", root, "-"}, options);
    if (run.status != 0) {
      ADD_FAILURE() << "installing " << name << ": " << run.out << run.err;
      return false;
    }
  }
  for (const auto& [name, bytes] : second) {
    writeFile(root + "/rw/pckg/.download/" + name + "-7.2.npk", bytes);
  }
  // The message log of the set-up is not the sweep's business.
  removeTree(root + "/flash/postlog");
  return true;
}

RunResult upgradeRun(const std::string& root, RunOptions options) {
  options.env["bootimage"] = "1";
  return runInstaller({"-r", root}, options);
}

}  // namespace testing_support
