// In-process benchmarks over installed databases of growing size: loading,
// planning among candidates, and settling scheduled actions.
#include <benchmark/benchmark.h>

#include "apply/schedule.h"
#include "corpus.h"
#include "micro_support.h"
#include "plan/planner.h"
#include "store/loader.h"
#include "upgrade/driver.h"

namespace {

using installer::Repository;

void sizes(benchmark::internal::Benchmark* b) {
  for (int n : {500, 1000, 2000, 4000}) b->Arg(n);
  b->Unit(benchmark::kMillisecond);
}

// Loading the repository at start-up: kept images, metadata, state files and
// schedule files of every package.
void BM_LoadDatabase(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string& root = bench::databaseRoot(n);
  bench::EnterRoot inside(root);
  for (auto _ : state) {
    Repository repo;
    installer::RunOutput output;
    if (installer::openRepository(repo, output, true, "i386") != installer::LoadOutcome::kLoaded ||
        repo.packages.size() != n)
      state.SkipWithError("the database did not load whole");
  }
}
BENCHMARK(BM_LoadDatabase)->Apply(sizes);

// One winner per name among four versions each, ordered along the chains.
void BM_PlanPackages(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  installer::RunOutput output;
  output.quiet = true;
  const auto candidates = bench::candidateRecords(n, 4);
  std::vector<installer::Package*> all;
  for (const auto& c : candidates) all.push_back(c.get());
  for (auto _ : state) {
    std::vector<installer::Package*> list = all;
    installer::planPackages(output, list, installer::kPreferNewest, false);
    if (list.size() != n / 4) state.SkipWithError("unexpected number of winners");
  }
}
BENCHMARK(BM_PlanPackages)->Apply(sizes);

// What the upgrade run does before it installs anything: read the headers of
// every candidate file in the download directory, then plan among them.
void BM_ScanAndPlanCandidateFiles(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string& root = bench::databaseRoot(n);
  bench::EnterRoot inside(root);
  installer::RunOutput output;
  output.quiet = true;
  for (auto _ : state) {
    std::vector<std::unique_ptr<installer::PackageFile>> files;
    installer::scanPackageDir(output, "/flash/var/pckg/", files);
    std::vector<installer::Package*> list;
    for (const auto& f : files) list.push_back(f.get());
    installer::planPackages(output, list, installer::kPreferNewest, false);
    if (files.size() != n || list.size() != n / 4) state.SkipWithError("unexpected candidates");
  }
}
BENCHMARK(BM_ScanAndPlanCandidateFiles)->Apply(sizes);

// A quarter of the dependency chains lose their first package's requirement:
// settling uninstalls those chains whole (the removal of every file staged,
// against the files on disk).
void BM_ApplyScheduledActions(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string& root = bench::databaseRoot(n);
  bench::EnterRoot inside(root);
  for (auto _ : state) {
    state.PauseTiming();
    Repository repo;
    installer::RunOutput output;
    output.quiet = true;
    repo.packages = bench::installedRecords(n, 20, true);
    installer::Manifest manifest;
    state.ResumeTiming();
    installer::applyScheduledActions(repo, output, manifest, installer::Verbosity::kSilent);
    state.PauseTiming();
    const std::size_t chains = (n / 10 + 3) / 4;
    if (repo.packages.size() != n - chains * 10) state.SkipWithError("not the chains expected");
    installer::cancelManifest(manifest);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ApplyScheduledActions)->Apply(sizes);

}  // namespace
