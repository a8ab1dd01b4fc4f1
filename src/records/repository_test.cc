#include "records/repository.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace installer {
namespace {

std::unique_ptr<InstalledPackage> named(const std::string& name,
                                        std::vector<Dependency> provides = {},
                                        std::vector<Dependency> conflicts = {}) {
  auto p = std::make_unique<InstalledPackage>(name);
  p->provides = std::move(provides);
  p->conflicts = std::move(conflicts);
  return p;
}

std::string names(const std::vector<InstalledPackage*>& records) {
  std::string out;
  for (const InstalledPackage* p : records) out += (out.empty() ? "" : " ") + p->name;
  return out;
}

TEST(Repository, LookupsFollowAddingAndTakingRecords) {
  Repository repo;
  EXPECT_EQ(findRecord(repo, "foo"), nullptr);
  InstalledPackage& first = appendRecord(repo, named("foo"));
  InstalledPackage& second = appendRecord(repo, named("foo"));
  appendRecord(repo, named("bar"));
  // Exact names only; of two records of one name, the first in the list.
  EXPECT_EQ(findRecord(repo, "foo"), &first);
  EXPECT_EQ(findPackage(repo, "foo"), 0);
  EXPECT_EQ(findPackage(repo, "Foo"), -1);
  EXPECT_EQ(findPackage(repo, "foo "), -1);
  EXPECT_EQ(findPackage(repo, "bar"), 2);

  EXPECT_NE(takeRecord(repo, &first), nullptr);
  EXPECT_EQ(findRecord(repo, "foo"), &second);
  EXPECT_EQ(findPackage(repo, "foo"), 0);
  EXPECT_EQ(takeRecord(repo, &first), nullptr);  // no longer there
  EXPECT_NE(takeRecord(repo, &second), nullptr);
  EXPECT_EQ(findRecord(repo, "foo"), nullptr);
  EXPECT_EQ(findPackage(repo, "bar"), 0);
}

TEST(Repository, RecordsAddedDirectlyAreFoundToo) {
  Repository repo;
  appendRecord(repo, named("a"));
  EXPECT_NE(findRecord(repo, "a"), nullptr);
  repo.packages.push_back(named("b"));
  EXPECT_EQ(findPackage(repo, "b"), 1);
  // Taken out directly and replaced by another of the same count.
  repo.packages.clear();
  repo.packages.push_back(named("c"));
  appendRecord(repo, named("d"));
  EXPECT_EQ(findRecord(repo, "a"), nullptr);
  EXPECT_EQ(findPackage(repo, "c"), 0);
  EXPECT_EQ(findPackage(repo, "d"), 1);
  // Lists changed in place count once the index is told.
  findRecord(repo, "c")->provides = {Dependency{"cap", 0, 0, 0}};
  reindexRecords(repo);
  const auto* offering = recordsOffering(repo, "cap");
  ASSERT_NE(offering, nullptr);
  EXPECT_EQ(offering->front().record->name, "c");
}

TEST(Repository, RelatedRecordsInListOrder) {
  Repository repo;
  appendRecord(repo, named("net", {Dependency{"routing", 0, 0, 0}}));
  InstalledPackage& guard = appendRecord(repo, named("guard", {}, {Dependency{"web", 0, 0, 0}}));
  appendRecord(repo, named("web"));
  appendRecord(repo, named("other"));
  appendRecord(repo, named("bgp", {Dependency{"routing", 0, 0, 0}}));
  EXPECT_TRUE(anyConflictNameShared(repo));

  std::vector<InstalledPackage*> related;
  Package probe("x");
  probe.provides = {Dependency{"routing", 0, 0, 0}};
  probe.conflicts = {Dependency{"web", 0, 0, 0}};
  recordsSharingConflictNames(repo, probe, related);
  EXPECT_EQ(names(related), "net guard web bgp");

  std::vector<std::string> offering;
  for (const auto& entry : *recordsOffering(repo, "routing"))
    offering.push_back(entry.record->name);
  EXPECT_EQ(offering, (std::vector<std::string>{"net", "bgp"}));
  EXPECT_EQ(recordsOffering(repo, "nothing"), nullptr);

  // Once no two records share a name, none can conflict.
  takeRecord(repo, &guard);
  EXPECT_TRUE(anyConflictNameShared(repo));  // "routing" still is
  takeRecord(repo, findRecord(repo, "bgp"));
  EXPECT_FALSE(anyConflictNameShared(repo));
  appendRecord(repo, named("web"));
  EXPECT_TRUE(anyConflictNameShared(repo));
}

}  // namespace
}  // namespace installer
