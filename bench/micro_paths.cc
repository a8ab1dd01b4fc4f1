// A package's set of files filled in the orders a payload can bring them:
// sorted (the database and most packages), reversed, and shuffled (a hostile
// payload). Every order must stay near n log n; the second size shows it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/path_set.h"

namespace {

enum Order { kSorted, kReversed, kShuffled };

std::vector<std::string> paths(std::size_t n, int order) {
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back("/flash/share/pkg/dir" + std::to_string(1000 + i / 100) + "/file" +
                  std::to_string(100000 + i));
  }
  if (order == kReversed) std::reverse(out.begin(), out.end());
  if (order == kShuffled) std::shuffle(out.begin(), out.end(), std::mt19937(16));
  return out;
}

// Inserting every path, then one lookup of each, as installing and removing
// a package do.
void BM_PathSetFill(benchmark::State& state) {
  const std::vector<std::string> input =
      paths(static_cast<std::size_t>(state.range(0)), static_cast<int>(state.range(1)));
  for (auto _ : state) {
    installer::PathSet set;
    for (const std::string& path : input) set.insert(path);
    std::size_t found = 0;
    for (const std::string& path : input) found += set.contains(path) ? 1 : 0;
    if (found != input.size() || set.size() != input.size()) {
      state.SkipWithError("a path went missing");
    }
  }
}
BENCHMARK(BM_PathSetFill)
    ->ArgsProduct({{25000, 100000}, {kSorted, kReversed, kShuffled}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
