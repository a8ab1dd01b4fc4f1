#include "plan/relations.h"

#include <gtest/gtest.h>

#include "plan/planner.h"
#include "support/package_records.h"

namespace installer {
namespace {

using testing_support::addRecord;
using testing_support::dep;
using testing_support::record;
using testing_support::ver;

Package bundleOf(std::string name, Version version, std::vector<Package> members) {
  Package b = record(std::move(name), version);
  b.isBundle = true;
  for (Package& m : members) b.members.push_back(std::make_unique<Package>(std::move(m)));
  return b;
}

struct CompareCase {
  const char* name;
  Package a;
  Package b;
  int expected;
};

TEST(ComparePackages, VersionThenBuildTimeAndBundlesStandForTheirMembers) {
  const CompareCase cases[] = {
      {"newer version", record("foo", ver(7, 2)), record("foo", ver(7, 1)), 1},
      {"older version", record("foo", ver(7, 1)), record("foo", ver(7, 2)), -1},
      {"built later", record("foo", ver(7, 1), 200), record("foo", ver(7, 1), 100), 1},
      {"built earlier", record("foo", ver(7, 1), 100), record("foo", ver(7, 1), 200), -1},
      {"same", record("foo", ver(7, 1)), record("foo", ver(7, 1)), 0},
      {"unsigned versions", record("foo", 0x80000000), record("foo", 0x7FFFFFFF), 1},
      {"unrelated", record("foo", ver(9, 0)), record("bar", ver(1, 0)), 0},
      {"a's member is older", bundleOf("suite", ver(9, 0), {record("foo", ver(7, 1))}),
       record("foo", ver(7, 2)), -1},
      {"b's member is older, sign turned", record("foo", ver(7, 2)),
       bundleOf("suite", ver(1, 0), {record("foo", ver(7, 1))}), 1},
      {"b's member is newer, sign turned", record("foo", ver(7, 0)),
       bundleOf("suite", ver(9, 0), {record("foo", ver(7, 1))}), -1},
      {"member not named after the other", bundleOf("suite", ver(9, 0), {record("bar", ver(7, 1))}),
       record("foo", ver(7, 2)), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(comparePackages(c.a, c.b), c.expected) << c.name;
}

Package with(Package p, std::vector<Dependency> conflicts, std::vector<Dependency> provides = {}) {
  p.conflicts = std::move(conflicts);
  p.provides = std::move(provides);
  return p;
}

Package placeholder(std::string name) { return record(std::move(name), 0xFFFFFFFF, 0xFFFFFFFF); }

struct ConflictCase {
  const char* name;
  Package a;
  Package b;
  bool expected;
};

TEST(ConflictsWith, RulesDecideInOrder) {
  const Dependency barRange = dep("bar", ver(2, 0), ver(3, 0));
  const ConflictCase cases[] = {
      // 1: placeholders take part in nothing.
      {"placeholder a", with(placeholder("foo"), {dep("bar")}), record("bar", ver(1, 0)), false},
      {"placeholder b", with(record("foo", ver(1, 0)), {dep("bar")}), placeholder("bar"), false},
      // 2: a conflicts entry met by b.
      {"conflict within bounds", with(record("foo", ver(1, 0)), {barRange}),
       record("bar", ver(2, 5)), true},
      {"conflict above bounds", with(record("foo", ver(1, 0)), {barRange}),
       record("bar", ver(3, 1)), false},
      // 3: b provides a's name; its priority alone decides.
      {"b replaces a", record("foo", ver(1, 0)),
       with(record("bar", ver(1, 0)), {}, {dep("foo", 0, 0, -1)}), true},
      {"b offers a's name with priority 0, rule 5 not consulted",
       with(record("foo", ver(1, 0)), {dep("cap")}),
       with(record("bar", ver(1, 0)), {}, {dep("foo"), dep("cap")}), false},
      // 4: a provides b's name, or both provide one capability.
      {"a offers b's name", with(record("foo", ver(1, 0)), {}, {dep("bar")}),
       record("bar", ver(1, 0)), true},
      {"a offers b's name with negative priority",
       with(record("foo", ver(1, 0)), {}, {dep("bar", 0, 0, -1)}), record("bar", ver(1, 0)), false},
      {"higher priority wins", with(record("foo", ver(1, 0)), {}, {dep("cap", 0, 0, 5)}),
       with(record("bar", ver(1, 0)), {}, {dep("cap", 0, 0, 3)}), true},
      {"equal priority", with(record("foo", ver(1, 0)), {}, {dep("cap", 0, 0, 3)}),
       with(record("bar", ver(1, 0)), {}, {dep("cap", 0, 0, 3)}), false},
      {"priorities are signed", with(record("foo", ver(1, 0)), {}, {dep("cap", 0, 0, -1)}),
       with(record("bar", ver(1, 0)), {}, {dep("cap", 0, 0, -5)}), true},
      {"first shared entry decides",
       with(record("foo", ver(1, 0)), {}, {dep("cap", 0, 0, 1), dep("bar")}),
       with(record("bar", ver(1, 0)), {}, {dep("cap", 0, 0, 2)}), false},
      // 5: a conflicts with something b provides.
      {"conflict with a capability", with(record("foo", ver(1, 0)), {dep("cap", ver(2, 0))}),
       with(record("bar", ver(1, 0)), {}, {dep("cap", ver(3, 0))}), true},
      {"capability range apart", with(record("foo", ver(1, 0)), {dep("cap", ver(2, 0))}),
       with(record("bar", ver(1, 0)), {}, {dep("cap", 0, ver(1, 0))}), false},
      // 6: b is a bundle carrying a package of a's name.
      {"b carries a", record("foo", ver(1, 0)),
       bundleOf("suite", ver(1, 0), {record("foo", ver(2, 0))}), true},
      // 7: a member of a conflicts with b.
      {"a's member conflicts",
       bundleOf("suite", ver(1, 0), {with(record("m", ver(1, 0)), {dep("bar")})}),
       record("bar", ver(1, 0)), true},
      // 8.
      {"nothing in common", record("foo", ver(1, 0)), record("bar", ver(1, 0)), false},
  };
  for (const auto& c : cases) EXPECT_EQ(conflictsWith(c.a, c.b), c.expected) << c.name;
}

TEST(ConflictsWith, IsNotSymmetric) {
  const Package foo = with(record("foo", ver(1, 0)), {dep("bar")});
  const Package bar = record("bar", ver(1, 0));
  EXPECT_TRUE(conflictsWith(foo, bar));
  EXPECT_FALSE(conflictsWith(bar, foo));
}

TEST(FindProviders, RecordsInOrderByNameOrCapability) {
  Repository repo;
  InstalledPackage& byName = addRecord(repo, "net", ver(7, 1));
  InstalledPackage& disabled = addRecord(repo, "other", ver(1, 0));
  disabled.provides = {dep("net", ver(7, 0))};
  disabled.disabled = true;
  InstalledPackage& hold = addRecord(repo, "net", 0xFFFFFFFF, 0xFFFFFFFF);
  hold.provides = {dep("net")};
  InstalledPackage& tooOld = addRecord(repo, "net", ver(6, 0));
  InstalledPackage& capability = addRecord(repo, "wifi", ver(1, 0));
  capability.provides = {dep("net", ver(7, 1), 0, 4)};

  const Dependency need = dep("net", ver(7, 0));
  EXPECT_EQ(findProviders(repo, need, false),
            (std::vector<InstalledPackage*>{&byName, &capability}));
  EXPECT_EQ(findProviders(repo, need, true),
            (std::vector<InstalledPackage*>{&byName, &disabled, &capability}));
  EXPECT_TRUE(findProviders(repo, dep("none"), true).empty());
  (void)hold;
  (void)tooOld;
}

TEST(ProviderIndex, AnswersAsFindProvidersDoes) {
  Repository repo;
  addRecord(repo, "net", ver(7, 1));
  InstalledPackage& disabled = addRecord(repo, "other", ver(1, 0));
  disabled.provides = {dep("net", ver(7, 0)), dep("wifi")};
  disabled.disabled = true;
  addRecord(repo, "net", 0xFFFFFFFF, 0xFFFFFFFF).provides = {dep("net")};
  addRecord(repo, "net", ver(6, 0));
  addRecord(repo, "wifi", ver(1, 0)).provides = {dep("net", ver(7, 1), 0, 4), dep("net")};
  const ProviderIndex index(repo);
  const Dependency needs[] = {dep("net", ver(7, 0)), dep("net"),      dep("net", 0, ver(6, 5)),
                              dep("wifi"),           dep("other", 1), dep("none")};
  for (const Dependency& need : needs) {
    for (const bool includeDisabled : {false, true}) {
      EXPECT_EQ(index.findProviders(need, includeDisabled),
                findProviders(repo, need, includeDisabled))
          << need.name << " " << need.minVersion << " " << includeDisabled;
    }
  }
}

TEST(FindConflicting, FirstEnabledRecordThatConflictsWithTheCandidate) {
  Repository repo;
  InstalledPackage& off = addRecord(repo, "old", ver(1, 0));
  off.conflicts = {dep("foo")};
  off.disabled = true;
  const Package candidate = record("foo", ver(1, 0));
  EXPECT_EQ(findConflicting(repo, candidate), nullptr);

  InstalledPackage& first = addRecord(repo, "a", ver(1, 0));
  first.conflicts = {dep("foo")};
  InstalledPackage& second = addRecord(repo, "b", ver(1, 0));
  second.conflicts = {dep("foo")};
  EXPECT_EQ(findConflicting(repo, candidate), &first);
  // The candidate's own conflicts do not count: the record must conflict with it.
  Package picky = with(record("foo", ver(1, 0)), {dep("c")});
  addRecord(repo, "c", ver(1, 0));
  first.conflicts.clear();
  second.conflicts.clear();
  EXPECT_EQ(findConflicting(repo, picky), nullptr);
}

TEST(DependsOn, DirectCapabilityAndMembers) {
  Package app = record("app", ver(1, 0));
  app.depends = {dep("lib", ver(2, 0))};
  Package lib = record("lib", ver(2, 1));
  Package oldLib = record("lib", ver(1, 9));
  Package provider = with(record("other", ver(1, 0)), {}, {dep("lib", ver(2, 0))});
  EXPECT_TRUE(dependsOn(app, lib));
  EXPECT_FALSE(dependsOn(app, oldLib));
  EXPECT_TRUE(dependsOn(app, provider));
  EXPECT_FALSE(dependsOn(lib, app));

  // b carries what a needs; a carries something that needs b.
  EXPECT_TRUE(dependsOn(app, bundleOf("suite", ver(1, 0), {record("lib", ver(3, 0))})));
  EXPECT_TRUE(dependsOn(bundleOf("suite", ver(1, 0), {record("x", ver(1, 0)), app}), lib));
  EXPECT_FALSE(dependsOn(bundleOf("suite", ver(1, 0), {record("x", ver(1, 0))}), lib));
}

TEST(CoversName, OwnNameOrAMember) {
  const Package suite =
      bundleOf("suite", ver(1, 0), {record("a", ver(1, 0)), record("b", ver(1, 0))});
  EXPECT_TRUE(coversName(suite, "suite"));
  EXPECT_TRUE(coversName(suite, "b"));
  EXPECT_FALSE(coversName(suite, "c"));
  EXPECT_FALSE(coversName(suite, "B"));
}

}  // namespace
}  // namespace installer
