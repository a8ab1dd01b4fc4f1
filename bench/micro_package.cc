// In-process benchmarks of the package file reader and the payload stream.
#include <benchmark/benchmark.h>

#include <sstream>

#include "micro_support.h"
#include "package/format.h"
#include "package/payload.h"
#include "package/reader.h"

namespace {

using installer::PackageReader;

constexpr std::uint64_t kFiles = 1000;
constexpr std::uint64_t kBytes = 16 << 20;

// Walks every part with hashing on, as the upgrade run's reader does: every
// byte is read through the reader and hashed.
void BM_ReaderHashingWalk(benchmark::State& state) {
  const std::string& bytes = bench::packageBytes(kFiles, kBytes);
  for (auto _ : state) {
    std::istringstream input(bytes);
    PackageReader reader(input, true);
    reader.wantedTypes = {installer::kPartHeader, installer::kPartPayload,
                          installer::kPartSignature};
    int parts = 0;
    while (reader.nextPart() != installer::kNoPart) ++parts;
    benchmark::DoNotOptimize(parts);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ReaderHashingWalk)->Unit(benchmark::kMillisecond);

// Reads every entry and all file data out of the payload stream, through the
// reader with hashing on; the figure counts inflated bytes.
void BM_PayloadStream(benchmark::State& state) {
  const std::string& bytes = bench::packageBytes(kFiles, kBytes);
  std::uint64_t inflated = 0;
  for (auto _ : state) {
    std::istringstream input(bytes);
    PackageReader reader(input, true);
    reader.wantedTypes = {installer::kPartPayload};
    if (reader.nextPart() != installer::kPartPayload) {
      state.SkipWithError("no payload part");
      return;
    }
    installer::InflateStreambuf inflate(reader.rdbuf());
    std::istream payload(&inflate);
    installer::FileEntry entry;
    char block[16384];
    while (installer::readFileEntry(payload, entry) == installer::EntryRead::kEntry) {
      for (std::uint32_t left = entry.dataLength; left > 0;) {
        const auto step = static_cast<std::streamsize>(std::min<std::uint32_t>(left, sizeof block));
        payload.read(block, step);
        if (payload.gcount() != step) break;
        left -= static_cast<std::uint32_t>(step);
      }
    }
    inflated = inflate.produced();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * inflated));
}
BENCHMARK(BM_PayloadStream)->Unit(benchmark::kMillisecond);

}  // namespace
