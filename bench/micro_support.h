// Shared pieces of the in-process benchmarks: packages built in memory, and
// router roots with an installed database that a benchmark enters.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// A signed package of `files` files and `bytes` bytes of the benchmark tree,
// built in memory (built once per shape and kept).
const std::string& packageBytes(std::uint64_t files, std::uint64_t bytes);

// A router root holding a database of `packages` packages with 20 files
// each, and as many candidate package files (four versions of a quarter of
// the names) in "/flash/var/pckg/"; under $BENCH_MICRO_DIR (default /tmp),
// made once per size and removed when the process ends.
const std::string& databaseRoot(std::size_t packages);

// Changes the root directory of this process to `root` for its lifetime,
// and back again.
class EnterRoot {
 public:
  explicit EnterRoot(const std::string& root);
  ~EnterRoot();
  EnterRoot(const EnterRoot&) = delete;
  EnterRoot& operator=(const EnterRoot&) = delete;

 private:
  int oldRoot_ = -1;
};

}  // namespace bench
