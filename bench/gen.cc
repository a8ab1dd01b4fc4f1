// Generates the inputs of the benchmarks, always the same for the same
// arguments.
//
//   bench_gen tree DIR FILES BYTES [SEED]      a file tree (see corpus.h)
//   bench_gen database ROOT PACKAGES FILES     an installed database in ROOT
//   bench_gen candidates DIR COUNT VERSIONS    signed candidate package files
//   bench_gen bundle FILE MEMBERS MINOR        a signed bundle of version 7.MINOR
#include <cstdio>
#include <cstdlib>
#include <string>

#include "corpus.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: bench_gen tree DIR FILES BYTES [SEED]\n"
               "       bench_gen database ROOT PACKAGES FILES_PER_PACKAGE\n"
               "       bench_gen candidates DIR COUNT VERSIONS_PER_NAME\n"
               "       bench_gen bundle FILE MEMBERS MINOR\n");
  return 2;
}

std::uint64_t number(const char* text) { return std::strtoull(text, nullptr, 10); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::string error;
  bool ok = false;
  if (command == "tree" && (argc == 5 || argc == 6)) {
    ok = bench::writeTree(argv[2], number(argv[3]), number(argv[4]),
                          argc == 6 ? number(argv[5]) : 1, error);
  } else if (command == "database" && argc == 5) {
    ok = bench::writeDatabase(
        argv[2], bench::installedRecords(number(argv[3]), number(argv[4]), false), error);
  } else if (command == "candidates" && argc == 5) {
    ok = bench::writeCandidateFiles(
        argv[2], bench::candidateRecords(number(argv[3]), number(argv[4])), error);
  } else if (command == "bundle" && argc == 5) {
    ok = bench::writeBundleFile(argv[2], number(argv[3]), number(argv[4]), error);
  } else {
    return usage();
  }
  if (!ok) {
    std::fprintf(stderr, "bench_gen: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
