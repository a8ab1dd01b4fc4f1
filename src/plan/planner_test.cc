#include "plan/planner.h"

#include <gtest/gtest.h>

#include "support/package_records.h"

// GCC 12 at -O3 warns that the std::string it builds for "text" + string
// may overlap its source (a false -Wrestrict from the inlined
// basic_string::_M_replace, GCC bug 105329): a literal and a fresh heap
// buffer cannot overlap. Silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace installer {
namespace {

using testing_support::addRecord;
using testing_support::dep;
using testing_support::OutputCapture;
using testing_support::record;
using testing_support::ver;

// Runs planPackages over `candidates` and returns the labels of the result
// (with "#index" of the input for telling equal copies apart) and the output.
struct Planned {
  std::string order;
  std::string output;
};

Planned plan(std::vector<Package>& candidates, Version threshold, bool verbose) {
  RunOutput output;
  std::vector<Package*> list;
  for (Package& p : candidates) list.push_back(&p);
  OutputCapture out(output);
  planPackages(output, list, threshold, verbose);
  Planned result;
  for (const Package* p : list) {
    if (!result.order.empty()) result.order += ' ';
    result.order += packageLabel(*p) + "#" + std::to_string(p - candidates.data());
  }
  result.output = out.text();
  return result;
}

Package bundleOf(std::string name, Version version, std::vector<Package> members) {
  Package b = record(std::move(name), version);
  b.isBundle = true;
  for (Package& m : members) b.members.push_back(std::make_unique<Package>(std::move(m)));
  return b;
}

struct PlanCase {
  const char* name;
  std::vector<Package> (*candidates)();
  Version threshold;
  bool verbose;
  const char* order;
  const char* output;
};

TEST(PlanPackages, Winners) {
  const PlanCase cases[] = {
      {"newest wins",
       [] {
         return std::vector{record("foo", ver(7, 1)), record("foo", ver(7, 2))};
       },
       kPreferNewest, true, "foo-7.2#1",
       "WARNING: omitting package foo-7.1: newer package is already provided\n"},
      {"newest wins silently",
       [] {
         return std::vector{record("foo", ver(7, 1)), record("foo", ver(7, 2))};
       },
       kPreferNewest, false, "foo-7.2#1", ""},
      {"downgrade: the oldest above the floor wins",
       [] {
         return std::vector{record("foo", ver(6, 48)), record("foo", ver(6, 49))};
       },
       ver(6, 48), true, "foo-6.48#0",
       "WARNING: omitting package foo-6.49: older package is already provided\n"},
      {"below the floor is refused even when not verbose",
       [] { return std::vector{record("foo", ver(6, 49))}; }, ver(7, 0), false, "",
       "WARNING: ommitting package foo-6.49: not allowed\n"},
      {"a refused candidate makes nobody drop out",
       [] {
         return std::vector{record("foo", ver(6, 49)), record("foo", ver(7, 0))};
       },
       ver(7, 0), true, "foo-7.0#1", "WARNING: ommitting package foo-6.49: not allowed\n"},
      {"floor 0 lets the oldest win",
       [] {
         return std::vector{record("foo", ver(7, 2)), record("foo", ver(7, 1))};
       },
       0, false, "foo-7.1#1", ""},
      {"messages follow the candidates' order",
       [] {
         return std::vector{record("bar", ver(7, 1)), record("bar", ver(7, 0)),
                            record("foo", ver(6, 9))};
       },
       ver(7, 0), true, "bar-7.0#1",
       "WARNING: omitting package bar-7.1: older package is already provided\n"
       "WARNING: ommitting package foo-6.9: not allowed\n"},
      {"bundle over the separate member",
       [] {
         return std::vector{record("foo", ver(1, 0)),
                            bundleOf("suite", ver(1, 0), {record("foo", ver(1, 0))})};
       },
       kPreferNewest, true, "suite-1.0#1", ""},
      {"bundle first over the separate member",
       [] {
         return std::vector{bundleOf("suite", ver(1, 0), {record("foo", ver(1, 0))}),
                            record("foo", ver(1, 0))};
       },
       kPreferNewest, true, "suite-1.0#0", ""},
      {"newer separate member over the bundle",
       [] {
         return std::vector{bundleOf("suite", ver(1, 0), {record("foo", ver(1, 0))}),
                            record("foo", ver(1, 1))};
       },
       kPreferNewest, true, "foo-1.1#1",
       "WARNING: omitting package suite-1.0: newer package is already provided\n"},
      {"two copies: the first stays",
       [] {
         return std::vector{record("foo", ver(7, 1)), record("foo", ver(7, 1)),
                            record("foo", ver(7, 1))};
       },
       kPreferNewest, true, "foo-7.1#0", ""},
      {"two copies of a bundle: the first stays",
       [] {
         return std::vector{bundleOf("suite", ver(1, 0), {record("foo", ver(1, 0))}),
                            bundleOf("suite", ver(1, 0), {record("foo", ver(1, 0))})};
       },
       kPreferNewest, true, "suite-1.0#0", ""},
      {"copies in a downgrade run",
       [] {
         return std::vector{record("foo", ver(7, 1)), record("foo", ver(7, 1))};
       },
       ver(7, 0), true, "foo-7.1#0", ""},
  };
  for (const auto& c : cases) {
    std::vector<Package> candidates = c.candidates();
    const Planned result = plan(candidates, c.threshold, c.verbose);
    EXPECT_EQ(result.order, c.order) << c.name;
    EXPECT_EQ(result.output, c.output) << c.name;
  }
}

TEST(PlanPackages, OrderPlacesEachAfterWhatItNeeds) {
  std::vector<Package> unrelated{record("p1", ver(1, 0)), record("p2", ver(1, 0)),
                                 record("p3", ver(1, 0))};
  EXPECT_EQ(plan(unrelated, kPreferNewest, true).order, "p3-1.0#2 p2-1.0#1 p1-1.0#0");

  std::vector<Package> needs = unrelated;
  needs[1].depends = {dep("p1")};
  EXPECT_EQ(plan(needs, kPreferNewest, true).order, "p3-1.0#2 p1-1.0#0 p2-1.0#1");

  // After the last placed package it needs, not the first.
  std::vector<Package> two{record("a", ver(1, 0)), record("b", ver(1, 0)), record("c", ver(1, 0))};
  two[2].depends = {dep("a"), dep("b")};
  EXPECT_EQ(plan(two, kPreferNewest, true).order, "b-1.0#1 a-1.0#0 c-1.0#2");

  // A placed package that conflicts with a later one goes before it.
  std::vector<Package> conflict{record("old", ver(1, 0)), record("new", ver(1, 0))};
  conflict[0].conflicts = {dep("new")};
  EXPECT_EQ(plan(conflict, kPreferNewest, true).order, "old-1.0#0 new-1.0#1");
  // The other direction does not count.
  std::vector<Package> reverse{record("old", ver(1, 0)), record("new", ver(1, 0))};
  reverse[1].conflicts = {dep("old")};
  EXPECT_EQ(plan(reverse, kPreferNewest, true).order, "new-1.0#1 old-1.0#0");

  // A capability counts like a name.
  std::vector<Package> capability{record("wifi", ver(1, 0)), record("app", ver(1, 0))};
  capability[0].provides = {dep("net", ver(2, 0))};
  capability[1].depends = {dep("net", ver(1, 0))};
  EXPECT_EQ(plan(capability, kPreferNewest, true).order, "wifi-1.0#0 app-1.0#1");
}

// A chain a -> b -> c -> d (each needs the next; b's need is met through a
// capability that c provides) must install d, c, b, a whatever order the
// files come in; the one pass alone gets some orders wrong.
TEST(PlanPackages, AChainComesOutInOrderFromEveryInputOrder) {
  auto chain = [] {
    std::vector<Package> links{record("a", ver(1, 0)), record("b", ver(1, 0)),
                               record("c", ver(1, 0)), record("d", ver(1, 0))};
    links[0].depends = {dep("b")};
    links[1].depends = {dep("routing", ver(2, 0))};
    links[2].provides = {dep("routing", ver(2, 1))};
    links[2].depends = {dep("d")};
    return links;
  };
  std::vector<std::size_t> order{0, 1, 2, 3};
  do {
    const std::vector<Package> links = chain();
    std::vector<Package> candidates;
    std::string input;
    for (const std::size_t i : order) {
      candidates.push_back(links[i]);
      input += links[i].name;
    }
    RunOutput output;
    std::vector<Package*> list;
    for (Package& p : candidates) list.push_back(&p);
    planPackages(output, list, kPreferNewest, false);
    std::string names;
    for (const Package* p : list) names += p->name;
    EXPECT_EQ(names, "dcba") << "input order " << input;
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(PlanPackages, RepairsOnlyWhatThePassGetsWrong) {
  // Already right: the pass's order stands, unrelated packages included.
  std::vector<Package> right{record("x", ver(1, 0)), record("b", ver(1, 0)),
                             record("a", ver(1, 0))};
  right[2].depends = {dep("b")};
  EXPECT_EQ(plan(right, kPreferNewest, false).order, "b-1.0#1 a-1.0#2 x-1.0#0");

  // c, a, x, b: the pass gives a x c b, which has a before b. Only a moves
  // back, to follow b; x keeps its place at the front.
  std::vector<Package> wrong{record("c", ver(1, 0)), record("a", ver(1, 0)), record("x", ver(1, 0)),
                             record("b", ver(1, 0))};
  wrong[1].depends = {dep("b")};
  wrong[3].depends = {dep("c")};
  EXPECT_EQ(plan(wrong, kPreferNewest, false).order, "x-1.0#2 c-1.0#0 b-1.0#3 a-1.0#1");

  // A bundle counts through its members, both ways: z needs the member lib,
  // and the member tool needs base.
  std::vector<Package> bundles{
      bundleOf("suite", ver(1, 0), {record("lib", ver(1, 0)), record("tool", ver(1, 0))}),
      record("app", ver(1, 0)), record("z", ver(1, 0)), record("base", ver(1, 0))};
  bundles[0].members[1]->depends = {dep("base")};
  bundles[1].depends = {dep("z")};
  bundles[2].depends = {dep("lib")};
  EXPECT_EQ(plan(bundles, kPreferNewest, false).order, "base-1.0#3 suite-1.0#0 z-1.0#2 app-1.0#1");
}

TEST(PlanPackages, PackagesThatNeedEachOtherKeepThePassOrderAndAllStay) {
  // p needs q and q needs p: neither can follow the other; the pass's order
  // stands and nobody is lost.
  std::vector<Package> pair{record("p", ver(1, 0)), record("q", ver(1, 0))};
  pair[0].depends = {dep("q")};
  pair[1].depends = {dep("p")};
  EXPECT_EQ(plan(pair, kPreferNewest, false).order, "p-1.0#0 q-1.0#1");

  // Something that needs a member of a cycle still follows it, and what the
  // cycle needs comes before the whole cycle. A package that needs itself
  // (it provides what it asks for) is no cycle with others.
  std::vector<Package> around{record("user", ver(1, 0)), record("p", ver(1, 0)),
                              record("q", ver(1, 0)), record("base", ver(1, 0)),
                              record("self", ver(1, 0))};
  around[0].depends = {dep("q")};
  around[1].depends = {dep("q"), dep("base")};
  around[2].depends = {dep("p")};
  around[4].depends = {dep("self")};
  EXPECT_EQ(plan(around, kPreferNewest, false).order,
            "self-1.0#4 base-1.0#3 p-1.0#1 q-1.0#2 user-1.0#0");
}

// The order of planPackages, for lists in which every candidate wins (all
// names differ), against a plain model: the one pass puts each package
// right after the last package already placed that it depends on or that
// conflicts with it, else to the front; when that leaves a package before
// something it needs (outside a cycle of packages that need each other),
// the packages are taken again in that order, each as soon as everything
// it needs outside its cycle has been taken. Random lists with chains,
// cycles, capabilities, conflicts of both kinds and bundle members.
TEST(PlanPackages, OrderFollowsThePlainRuleOnRandomLists) {
  std::uint64_t state = 42;
  auto next = [&state](std::uint64_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::size_t>((state >> 33) % bound);
  };
  for (int round = 0; round < 200; ++round) {
    const std::size_t count = 1 + next(40);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) names.push_back("p" + std::to_string(i));
    for (std::size_t i = 0; i < 8; ++i) names.push_back("cap" + std::to_string(i));
    std::vector<Package> candidates;
    for (std::size_t i = 0; i < count; ++i) {
      Package p = record("p" + std::to_string(i), ver(7, 1));
      auto randomDep = [&] { return dep(names[next(names.size())], 0, 0, int(next(3)) - 1); };
      for (std::uint64_t k = next(3); k > 0; --k) p.depends.push_back(randomDep());
      for (std::uint64_t k = next(2); k > 0; --k) p.provides.push_back(randomDep());
      if (next(5) == 0) p.conflicts.push_back(randomDep());
      if (next(6) == 0) {
        p.isBundle = true;
        Package member = record("m" + std::to_string(i), ver(7, 1));
        if (next(2) == 0) member.depends.push_back(randomDep());
        if (next(2) == 0) member.provides.push_back(randomDep());
        p.members.push_back(std::make_unique<Package>(std::move(member)));
      }
      candidates.push_back(std::move(p));
    }
    std::vector<Package*> expected;
    for (Package& p : candidates) {
      std::size_t at = expected.size();
      while (at > 0 && !dependsOn(p, *expected[at - 1]) && !conflictsWith(*expected[at - 1], p)) {
        --at;
      }
      expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(at), &p);
    }
    const std::size_t n = expected.size();
    std::vector<std::vector<bool>> reaches(n, std::vector<bool>(n, false));
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        reaches[i][j] = i != j && dependsOn(*expected[i], *expected[j]);
      }
    }
    for (std::size_t k = 0; k < n; ++k) {
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          if (reaches[i][k] && reaches[k][j]) reaches[i][j] = true;
        }
      }
    }
    auto mustFollow = [&](std::size_t i, std::size_t j) {
      return i != j && dependsOn(*expected[i], *expected[j]) && !reaches[j][i];
    };
    bool broken = false;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) broken = broken || mustFollow(i, j);
    }
    if (broken) {
      std::vector<Package*> repaired;
      std::vector<bool> taken(n, false);
      while (repaired.size() < n) {
        for (std::size_t i = 0; i < n; ++i) {
          bool ready = !taken[i];
          for (std::size_t j = 0; j < n && ready; ++j) ready = taken[j] || !mustFollow(i, j);
          if (ready) {
            taken[i] = true;
            repaired.push_back(expected[i]);
            break;
          }
        }
      }
      expected = repaired;
    }
    RunOutput output;
    std::vector<Package*> list;
    for (Package& p : candidates) list.push_back(&p);
    planPackages(output, list, kPreferNewest, false);
    ASSERT_EQ(list, expected) << "round " << round;
  }
}

TEST(ProviderAvailability, RatesWhatEndsUsable) {
  struct State {
    bool disabled;
    PendingAction action;
  };
  using A = PendingAction;
  using enum ProviderAvailability;
  struct Case {
    const char* name;
    std::vector<State> providers;
    ProviderAvailability expected;
  };
  const Case cases[] = {
      {"none", {}, kMissing},
      {"enabled", {{false, A::kNone}}, kAvailable},
      {"disabled, to be enabled", {{true, A::kEnable}}, kAvailable},
      {"enabled, enable scheduled again", {{false, A::kEnable}}, kAvailable},
      {"disabled", {{true, A::kNone}}, kDisabled},
      {"disabled, to be uninstalled", {{true, A::kUninstall}}, kDisabled},
      {"enabled, to be disabled", {{false, A::kDisable}}, kDisabled},
      {"enabled, to be uninstalled", {{false, A::kUninstall}}, kMissing},
      {"one usable is enough",
       {{false, A::kUninstall}, {true, A::kNone}, {false, A::kNone}},
       kAvailable},
      {"disabled beats missing", {{false, A::kUninstall}, {true, A::kDisable}}, kDisabled},
  };
  for (const auto& c : cases) {
    std::vector<InstalledPackage> records;
    for (const State& s : c.providers) {
      InstalledPackage& r = records.emplace_back("p");
      r.disabled = s.disabled;
      r.action = s.action;
    }
    std::vector<InstalledPackage*> list;
    for (auto& r : records) list.push_back(&r);
    EXPECT_EQ(providerAvailability(list), c.expected) << c.name;
  }
}

TEST(KeepRequired, CancelsTheUninstallOfWhatIsNeededAndFollowsIt) {
  Repository repo;
  RunOutput output;
  InstalledPackage& app = addRecord(repo, "app", ver(1, 0));
  app.depends = {dep("lib")};
  InstalledPackage& lib = addRecord(repo, "lib", ver(2, 0));
  lib.action = PendingAction::kUninstall;
  lib.depends = {dep("base")};
  InstalledPackage& base = addRecord(repo, "base", ver(3, 0));
  base.action = PendingAction::kDisable;

  OutputCapture out(output);
  keepRequired(repo, output, app, true);
  EXPECT_EQ(out.text(),
            "WARNING: can not uninstall lib-2.0: app depends on it\n"
            "WARNING: can not disable base-3.0: lib depends on it\n");
  EXPECT_EQ(lib.action, PendingAction::kNone);
  EXPECT_EQ(base.action, PendingAction::kNone);
}

TEST(KeepRequired, EnablesADisabledProviderSilently) {
  Repository repo;
  RunOutput output;
  InstalledPackage& app = addRecord(repo, "app", ver(1, 0));
  app.depends = {dep("net")};
  InstalledPackage& wifi = addRecord(repo, "wifi", ver(1, 0));
  wifi.provides = {dep("net")};
  wifi.disabled = true;
  OutputCapture out(output);
  keepRequired(repo, output, app, true);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(wifi.action, PendingAction::kEnable);
}

TEST(KeepRequired, QuietWhenNotVerbose) {
  Repository repo;
  RunOutput output;
  InstalledPackage& app = addRecord(repo, "app", ver(1, 0));
  app.depends = {dep("lib")};
  addRecord(repo, "lib", ver(2, 0)).action = PendingAction::kUninstall;
  OutputCapture out(output);
  keepRequired(repo, output, app, false);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(repo.packages[1]->action, PendingAction::kNone);
  EXPECT_TRUE(output.messages.empty());
}

TEST(KeepRequired, AMissingRequirementStopsTheWalk) {
  Repository repo;
  RunOutput output;
  InstalledPackage& app = addRecord(repo, "app", ver(1, 0));
  app.depends = {dep("gone"), dep("lib")};
  InstalledPackage& lib = addRecord(repo, "lib", ver(2, 0));
  lib.action = PendingAction::kUninstall;
  keepRequired(repo, output, app, false);
  EXPECT_EQ(lib.action, PendingAction::kUninstall);
}

// Of several providers that are all to go, one is kept: the newest, and of
// equal copies (a kept image and its copy in the second image directory)
// the first, never neither.
TEST(KeepRequired, RevivesOneOfSeveralProviders) {
  struct Case {
    const char* name;
    Version first, second;
    PendingAction firstAfter, secondAfter;
  };
  const Case cases[] = {
      {"the newest", ver(2, 0), ver(2, 1), PendingAction::kUninstall, PendingAction::kNone},
      {"the first of equal copies", ver(2, 0), ver(2, 0), PendingAction::kNone,
       PendingAction::kUninstall},
  };
  for (const Case& c : cases) {
    Repository repo;
    RunOutput output;
    InstalledPackage& app = addRecord(repo, "app", ver(1, 0));
    app.depends = {dep("lib")};
    InstalledPackage& first = addRecord(repo, "lib", c.first);
    first.action = PendingAction::kUninstall;
    InstalledPackage& second = addRecord(repo, "lib", c.second);
    second.action = PendingAction::kUninstall;
    keepRequired(repo, output, app, false);
    EXPECT_EQ(first.action, c.firstAfter) << c.name;
    EXPECT_EQ(second.action, c.secondAfter) << c.name;
  }
}

TEST(KeepRequired, KeepsTheBundleOfAKeptMember) {
  Repository repo;
  RunOutput output;
  InstalledPackage& suite = addRecord(repo, "suite", ver(7, 1));
  suite.isBundle = true;
  suite.action = PendingAction::kUninstall;
  suite.depends = {dep("base")};
  InstalledPackage& base = addRecord(repo, "base", ver(1, 0));
  base.disabled = true;
  InstalledPackage& member = addRecord(repo, "member", ver(1, 0));
  member.bundle = dep("suite", ver(7, 1), ver(7, 1));
  OutputCapture out(output);
  keepRequired(repo, output, member, true);
  EXPECT_EQ(out.text(), "WARNING: can not uninstall suite-7.1: member depends on it\n");
  EXPECT_EQ(suite.action, PendingAction::kNone);
  EXPECT_EQ(base.action, PendingAction::kEnable);
}

}  // namespace
}  // namespace installer
