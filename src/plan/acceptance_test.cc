#include "plan/acceptance.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/package_records.h"

namespace installer {
namespace {

using testing_support::addRecord;
using testing_support::dep;
using testing_support::OutputCapture;
using testing_support::record;
using testing_support::ver;

int minimumAsks = 0;
Version noMinimum() {
  ++minimumAsks;
  return 0;
}
Version minimum71() {
  ++minimumAsks;
  return ver(7, 1);
}

// Installed: foo 7.1 (build 100), lib 2.0, a disabled extra 1.0 which
// conflicts with "shy", bar 1.0 which conflicts with "clash", branding 9.0.
Repository installedSystem() {
  Repository repo;
  repo.arch = "i386";
  addRecord(repo, "foo", ver(7, 1));
  addRecord(repo, "lib", ver(2, 0));
  InstalledPackage& extra = addRecord(repo, "extra", ver(1, 0));
  extra.disabled = true;
  extra.conflicts = {dep("shy")};
  addRecord(repo, "bar", ver(1, 0)).conflicts = {dep("clash")};
  addRecord(repo, "branding", ver(9, 0));
  return repo;
}

struct AcceptCase {
  const char* name;
  std::function<Package()> candidate;
  InstallFlags flags;
  AcceptResult result;
  const char* output;
  Version (*minimum)() = noMinimum;
};

Package withDepends(Package p, std::vector<Dependency> depends) {
  p.depends = std::move(depends);
  return p;
}

Package withArch(Package p, std::string arch) {
  p.arch = std::move(arch);
  return p;
}

TEST(CheckAcceptance, FindingsAndTheOneMessage) {
  const InstallFlags kAll = 0xFFFFFFFF;
  const AcceptCase cases[] = {
      {"new package", [] { return record("new", ver(1, 0)); }, kFlagUpgrade, 0, ""},
      {"reinstall refused", [] { return record("foo", ver(7, 1)); }, kFlagUpgrade, kFlagReinstall,
       "WARNING: omitting package foo-7.1: it is already installed\n"},
      {"reinstall tolerated", [] { return record("foo", ver(7, 1)); },
       kFlagUpgrade | kFlagReinstall, kFlagReinstall, ""},
      {"built later is an upgrade", [] { return record("foo", ver(7, 1), 200); }, kFlagUpgrade,
       kFlagUpgrade, ""},
      {"upgrade refused", [] { return record("foo", ver(7, 2)); }, 0, kFlagUpgrade,
       "WARNING: omitting package foo-7.2: older package is already installed\n"},
      {"built earlier is a downgrade", [] { return record("foo", ver(7, 1), 50); }, kFlagUpgrade,
       kFlagDowngrade,
       "WARNING: omitting package foo-7.1: newer package foo-7.1 is already installed\n"},
      {"older and a missing dependency: only the first reason",
       [] { return withDepends(record("foo", ver(7, 0)), {dep("gone")}); }, kFlagUpgrade,
       kFlagDowngrade | kFlagUnmet,
       "WARNING: omitting package foo-7.0: newer package foo-7.1 is already installed\n"},
      {"downgrade tolerated, the next finding explains",
       [] { return withArch(withDepends(record("foo", ver(7, 0)), {dep("gone")}), "mipsbe"); },
       kFlagDowngrade, kFlagDowngrade | kFlagUnmet,
       "ERROR: can not install foo-7.0: it is not made for i386, but for mipsbe\n"},
      {"branding is never compared", [] { return record("branding", ver(1, 0)); }, 0, 0, ""},
      {"empty arch passes", [] { return withArch(record("new", ver(1, 0)), ""); }, 0, 0, ""},
      {"two missing dependencies name the first",
       [] {
         return withDepends(record("new", ver(1, 0)),
                            {dep("lib"), dep("gone", ver(7, 1)), dep("lost")});
       },
       0, kFlagUnmet,
       "ERROR: can not install new-1.0: gone-7.1 is not installed, but is required\n"},
      {"dependency above the installed version",
       [] { return withDepends(record("new", ver(1, 0)), {dep("lib", ver(2, 1))}); }, 0, kFlagUnmet,
       "ERROR: can not install new-1.0: lib-2.1 is not installed, but is required\n"},
      {"a disabled package meets no dependency",
       [] { return withDepends(record("new", ver(1, 0)), {dep("extra")}); }, 0, kFlagUnmet,
       "ERROR: can not install new-1.0: extra is not installed, but is required\n"},
      {"unmet tolerated", [] { return withDepends(record("new", ver(1, 0)), {dep("gone")}); },
       kFlagUnmet, kFlagUnmet, ""},
      {"conflict with an enabled package", [] { return record("clash", ver(1, 0)); }, kFlagUpgrade,
       kFlagConflict, "ERROR: can not install clash-1.0: it conflicts with bar-1.0\n"},
      {"conflict with a disabled package is not counted", [] { return record("shy", ver(1, 0)); },
       0, 0, ""},
      {"all flags silence everything",
       [] { return withArch(withDepends(record("foo", ver(7, 0)), {dep("gone")}), "arm"); }, kAll,
       kFlagDowngrade | kFlagUnmet, ""},
      {"all flags: conflict counted silently", [] { return record("clash", ver(1, 0)); }, kAll,
       kFlagConflict, ""},
      {"system below the minimum", [] { return record("system", ver(7, 0)); }, 0, kFlagUnmet,
       "ERROR: omitting package system-7.0: min Talvenix version is 7.1\n", minimum71},
      {"system at the minimum", [] { return record("system", ver(7, 1)); }, 0, 0, "", minimum71},
      {"talvenix prefix", [] { return record("talvenix-wifi", ver(6, 9)); }, 0, kFlagUnmet,
       "ERROR: omitting package talvenix-wifi-6.9: min Talvenix version is 7.1\n", minimum71},
      {"talvenix alone", [] { return record("talvenix", ver(6, 9)); }, 0, kFlagUnmet,
       "ERROR: omitting package talvenix-6.9: min Talvenix version is 7.1\n", minimum71},
      {"word elsewhere in the name", [] { return record("mytalvenix", ver(6, 9)); }, 0, 0, "",
       minimum71},
      {"shorter name", [] { return record("talveni", ver(6, 9)); }, 0, 0, "", minimum71},
      {"minimum tolerated", [] { return record("system", ver(7, 0)); }, kFlagUnmet, kFlagUnmet, "",
       minimum71},
  };
  for (const auto& c : cases) {
    Repository repo = installedSystem();
    const Package candidate = c.candidate();
    RunOutput output;
    OutputCapture out(output);
    EXPECT_EQ(checkAcceptance(repo, output, candidate, c.flags, c.minimum), c.result) << c.name;
    EXPECT_EQ(out.text(), c.output) << c.name;
  }
}

TEST(CheckAcceptance, AsksTheDeviceOnlyForSystemPackages) {
  Repository repo = installedSystem();
  RunOutput output;
  minimumAsks = 0;
  static_cast<void>(checkAcceptance(repo, output, record("new", ver(1, 0)), 0, noMinimum));
  static_cast<void>(checkAcceptance(repo, output, record("Talvenix", ver(1, 0)), 0, noMinimum));
  EXPECT_EQ(minimumAsks, 0);
  static_cast<void>(checkAcceptance(repo, output, record("system", ver(1, 0)), 0, noMinimum));
  static_cast<void>(checkAcceptance(repo, output, record("talvenixx", ver(1, 0)), 0, noMinimum));
  EXPECT_EQ(minimumAsks, 2);
}

TEST(CheckAcceptance, MessagesAreLoggedUnlessQuiet) {
  Repository repo = installedSystem();
  RunOutput output;
  {
    OutputCapture out(output);
    static_cast<void>(checkAcceptance(repo, output, record("foo", ver(7, 1)), 0, noMinimum));
  }
  EXPECT_EQ(output.messages,
            std::vector<std::string>{"WARNING: omitting package foo-7.1: it is already installed"});
  output.quiet = true;
  OutputCapture out(output);
  EXPECT_EQ(checkAcceptance(repo, output, record("clash", ver(1, 0)), 0, noMinimum), kFlagConflict);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(output.messages.size(), 1u);
}

}  // namespace
}  // namespace installer
