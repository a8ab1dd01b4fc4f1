#include "plan/lost_dependencies.h"

#include <gtest/gtest.h>

#include <random>

#include "plan/planner.h"
#include "plan/relations.h"
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
using testing_support::ver;
using A = PendingAction;

// The settling as the rule is stated: one pass over every package and
// requirement, starting again from the first package after any change.
void settleByRestarting(Repository& repo) {
restart:
  for (const auto& record : repo.packages) {
    InstalledPackage& p = *record;
    for (const Dependency& d : p.depends) {
      const ProviderAvailability availability = providerAvailability(findProviders(repo, d, true));
      if (availability == ProviderAvailability::kMissing && p.action != A::kUninstall) {
        p.action = A::kUninstall;
        goto restart;
      }
      if (availability == ProviderAvailability::kDisabled && p.action != A::kUninstall &&
          p.action != A::kDisable && !(p.disabled && p.action == A::kNone)) {
        p.action = A::kDisable;
        goto restart;
      }
    }
  }
}

std::string actions(const Repository& repo) {
  std::string text;
  for (const auto& p : repo.packages) {
    text += p->name + (p->disabled ? "(off)" : "") + ":" + actionWord(p->action) + " ";
  }
  return text;
}

TEST(SettleLostDependencies, AChainFallsFromItsMissingEnd) {
  Repository repo;
  for (int i = 0; i < 5; ++i) {
    addRecord(repo, "p" + std::to_string(i), ver(1, 0)).depends = {
        dep("p" + std::to_string(i + 1))};
  }
  settleLostDependencies(repo);
  EXPECT_EQ(actions(repo), "p0:uninstall p1:uninstall p2:uninstall p3:uninstall p4:uninstall ");
}

TEST(SettleLostDependencies, DisabledProvidersDisableOrLeaveAlone) {
  Repository repo;
  addRecord(repo, "app", ver(1, 0)).depends = {dep("net")};
  addRecord(repo, "idle", ver(1, 0)).depends = {dep("net")};
  repo.packages.back()->disabled = true;
  addRecord(repo, "wanted", ver(1, 0)).depends = {dep("net")};
  repo.packages.back()->disabled = true;
  repo.packages.back()->action = A::kEnable;
  addRecord(repo, "net", ver(1, 0)).action = A::kDisable;
  settleLostDependencies(repo);
  EXPECT_EQ(actions(repo), "app:disable idle(off): wanted(off):disable net:disable ");
}

// Random repositories of a few names with versions, capabilities, states and
// requirements: the indexed settling must end where restarting ends.
TEST(SettleLostDependencies, EndsWhereRestartingFromTheFirstEnds) {
  std::mt19937 random(20240611);
  const char* names[] = {"a", "b", "c", "d", "e", "f"};
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 3000; ++round) {
    Repository indexed;
    Repository restarted;
    const int count = 1 + pick(10);
    for (int i = 0; i < count; ++i) {
      InstalledPackage p(names[pick(6)]);
      p.version = ver(1, static_cast<unsigned>(pick(3)));
      p.buildTime = 1;
      if (pick(8) == 0) p.version = p.buildTime = 0xFFFFFFFF;
      p.disabled = pick(3) == 0;
      p.action = static_cast<A>(pick(4));
      for (int k = pick(3); k > 0; --k) {
        p.depends.push_back(dep(names[pick(6)],
                                pick(2) ? ver(1, static_cast<unsigned>(pick(3))) : 0,
                                pick(3) == 0 ? ver(1, 1) : 0));
      }
      for (int k = pick(2); k > 0; --k)
        p.provides.push_back(dep(names[pick(6)], 0, 0, pick(3) - 1));
      indexed.packages.push_back(std::make_unique<InstalledPackage>(p));
      restarted.packages.push_back(std::make_unique<InstalledPackage>(p));
    }
    settleLostDependencies(indexed);
    settleByRestarting(restarted);
    ASSERT_EQ(actions(indexed), actions(restarted)) << "round " << round;
  }
}

}  // namespace
}  // namespace installer
