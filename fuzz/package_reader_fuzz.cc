// Fuzz target: the package reader walking a package file as its consumers
// do, decoding headers and dependency lists, reading texts, payload entries
// and raw data with peeks, put-backs and seeks. Three readers per input:
// seekable without hashing (skips seek), pipe-like with hashing (the digest
// at the end must match an independent one), and with a copy target (the
// copy must be exactly the bytes consumed).
#include <istream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "package/format.h"
#include "package/payload.h"
#include "package/reader.h"
#include "support/test_source.h"

namespace {

using installer::Dependency;
using installer::Package;
using installer::PackageReader;

constexpr int kMaxParts = 2048;
constexpr int kMaxEntries = 64;

// A cheap deterministic choice per part, so that different inputs try
// different ways of reading.
std::uint32_t mix(std::uint32_t a, std::uint32_t b) { return (a ^ b) * 0x9E3779B1u + 0x7F4A7C15u; }

void readEntries(PackageReader& reader) {
  installer::InflateStreambuf inflater(&reader.part());
  std::istream payload(&inflater);
  installer::FileEntry entry;
  for (int i = 0; i < kMaxEntries; ++i) {
    if (installer::readFileEntry(payload, entry) != installer::EntryRead::kEntry) return;
    payload.seekg(std::streamoff{entry.dataLength}, std::ios_base::cur);
    if (!payload) return;
  }
}

void readRest(PackageReader& reader, std::uint32_t choice) {
  char chunk[1000];
  if (choice & 1) {
    // A byte, peeked, put back and read again.
    const int c = reader.get();
    if (c != std::char_traits<char>::eof()) {
      reader.unget();
      FUZZ_CHECK(reader.get() == c || reader.fail());
    }
    reader.clear(reader.rdstate() & ~std::ios_base::failbit & ~std::ios_base::eofbit);
  }
  if (choice & 2) {
    const auto here = reader.tellg();
    reader.seekg(7, std::ios_base::cur);
    if (choice & 4) reader.seekg(here);
    reader.clear(reader.rdstate() & ~std::ios_base::failbit & ~std::ios_base::eofbit);
  }
  if (choice & 8) return;  // leave the rest to nextPart
  while (reader.read(chunk, sizeof chunk) || reader.gcount() > 0) {
    if (reader.gcount() < static_cast<std::streamsize>(sizeof chunk)) break;
  }
}

// Returns the last result of nextPart.
int walk(PackageReader& reader, const std::vector<std::uint32_t>& wanted, std::uint32_t seed) {
  reader.wantedTypes = wanted;
  int type = reader.nextPart();
  for (int i = 0; i < kMaxParts && type >= 0; ++i) {
    const std::uint32_t choice = mix(seed, static_cast<std::uint32_t>(i));
    if (type == installer::kPartHeader || type == installer::kPartBundleHeader) {
      Package p("");
      if (installer::readHeader(p, reader)) {
        type = reader.partType;  // readHeader stops on the first part it did not use
        continue;
      }
    } else if (type == installer::kPartDepends || type == installer::kPartProvides ||
               type == installer::kPartConflicts || type == installer::kPartOffByDefault) {
      std::vector<Dependency> list;
      static_cast<void>(installer::readDependencyList(reader, list));
    } else if (type == installer::kPartPayload) {
      readEntries(reader);
    } else {
      readRest(reader, choice);
    }
    reader.clear(reader.rdstate() & ~std::ios_base::failbit & ~std::ios_base::eofbit);
    type = reader.nextPart();
  }
  return type;
}

const std::vector<std::uint32_t> kEveryType = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24, 25};
// What the loader and the download scan ask for.
const std::vector<std::uint32_t> kLoaderTypes = {18, 1, 24, 23, 3, 19, 17};
const std::vector<std::uint32_t> kScanTypes = {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const std::uint32_t seed = size > 8 ? static_cast<std::uint32_t>(data[size / 2]) : 0;
  const fuzzing::PartWalk parts = fuzzing::walkParts(file);

  {
    testing_support::TestSource source(file, true);
    std::istream in(&source);
    PackageReader reader(in, false);
    walk(reader, (seed & 1) ? kLoaderTypes : kEveryType, seed);
  }
  {
    testing_support::TestSource source(file, false, 1);
    std::istream in(&source);
    PackageReader reader(in, true);
    const int last = walk(reader, (seed & 2) ? kScanTypes : kEveryType, seed >> 2);
    if (last < 0 && parts.headerComplete && parts.tiled && !reader.bad() &&
        reader.part().hashFinished()) {
      const fuzzing::Digest expected = fuzzing::digestAtEnd(file, parts);
      FUZZ_CHECK(reader.part().hashIsSha256() == expected.sha256);
      FUZZ_CHECK(std::string(reinterpret_cast<const char*>(reader.part().digest()),
                             expected.bytes.size()) == expected.bytes);
    }
  }
  {
    // Seekable source, but copying: the reader must not seek it, so its
    // position tells how much was consumed.
    testing_support::TestSource source(file, true);
    std::istream in(&source);
    std::stringbuf copy;
    PackageReader reader(in, (seed & 4) != 0, &copy);
    const int last = walk(reader, kEveryType, seed >> 3);
    const std::string copied = copy.str();
    FUZZ_CHECK(file.compare(0, copied.size(), copied) == 0);
    const auto consumed =
        static_cast<std::size_t>(source.pubseekoff(0, std::ios_base::cur, std::ios_base::in));
    FUZZ_CHECK(copied.size() <= consumed);
    // Only a cut part header at the end (or a cut file header) goes uncopied.
    if (last < 0 && !reader.bad()) FUZZ_CHECK(consumed - copied.size() < 6);
  }
  return 0;
}
