// Fuzz target: the payload entry stream. The first byte chooses the form of
// the rest: raw bytes taken as the zlib stream of a type-4 part, or file
// entries that the harness deflates first (at a level from that byte), in
// which case every entry read through the inflating stream must match an
// independent parse of the uncompressed bytes.
#include <algorithm>
#include <istream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "package/format.h"
#include "package/payload.h"
#include "package/payload_writer.h"
#include "package/reader.h"
#include "package/writer.h"
#include "support/test_source.h"

namespace {

using installer::EntryRead;
using installer::FileEntry;

constexpr int kMaxEntries = 256;
constexpr std::size_t kDataChunk = 16384;

struct SeenEntry {
  EntryRead result = EntryRead::kEnd;
  FileEntry entry;
  std::string data;  // read entries: their data; skipped ones: empty
  bool dataComplete = false;
};

bool readsData(const FileEntry& e, std::size_t index) {
  // Regular files are read like an install does; others, and every third
  // entry, are stepped over with the forward skip.
  return (e.mode & installer::kModeTypeMask) == installer::kModeRegular && index % 3 != 2;
}

std::vector<SeenEntry> readThroughStream(const std::string& file, bool hashing) {
  std::vector<SeenEntry> seen;
  testing_support::TestSource source(file, !hashing, hashing ? 1 : 1 << 30);
  std::istream in(&source);
  installer::PackageReader reader(in, hashing);
  reader.wantedTypes = {installer::kPartPayload};
  if (reader.nextPart() != installer::kPartPayload) return seen;
  installer::InflateStreambuf inflater(&reader.part());
  std::istream payload(&inflater);
  for (int i = 0; i < kMaxEntries; ++i) {
    SeenEntry s;
    s.result = installer::readFileEntry(payload, s.entry);
    if (s.result != EntryRead::kEntry) {
      seen.push_back(std::move(s));
      break;
    }
    if (readsData(s.entry, seen.size())) {
      std::uint32_t left = s.entry.dataLength;
      char chunk[kDataChunk];
      while (left > 0) {
        const auto want = std::min<std::uint32_t>(left, kDataChunk);
        payload.read(chunk, want);
        s.data.append(chunk, static_cast<std::size_t>(payload.gcount()));
        if (payload.gcount() != static_cast<std::streamsize>(want)) break;
        left -= want;
      }
      s.dataComplete = left == 0;
    } else {
      payload.seekg(std::streamoff{s.entry.dataLength}, std::ios_base::cur);
      s.dataComplete = static_cast<bool>(payload);
    }
    const bool stop = !s.dataComplete;
    seen.push_back(std::move(s));
    if (stop) break;
  }
  return seen;
}

// The same entries parsed straight from the uncompressed bytes.
std::vector<SeenEntry> parseDirectly(const std::string& raw) {
  std::vector<SeenEntry> seen;
  std::size_t pos = 0;
  for (int i = 0; i < kMaxEntries; ++i) {
    SeenEntry s;
    if (raw.size() - pos < installer::kFileEntryHeaderSize) {
      s.result = EntryRead::kEnd;
      seen.push_back(std::move(s));
      break;
    }
    const auto* fixed = reinterpret_cast<const unsigned char*>(raw.data()) + pos;
    s.entry.mode = installer::decodeLe16(fixed);
    s.entry.hardwareClass = fixed[23];
    s.entry.dataLength = installer::decodeLe32(fixed + 24);
    const std::size_t nameLength = installer::decodeLe16(fixed + 28);
    pos += installer::kFileEntryHeaderSize;
    if (raw.size() - pos < nameLength) {
      s.result = EntryRead::kBroken;
      s.entry.name = raw.substr(pos);
      seen.push_back(std::move(s));
      break;
    }
    s.result = EntryRead::kEntry;
    s.entry.name = raw.substr(pos, nameLength);
    pos += nameLength;
    const std::size_t available = std::min<std::size_t>(raw.size() - pos, s.entry.dataLength);
    if (readsData(s.entry, seen.size())) s.data = raw.substr(pos, available);
    s.dataComplete = available == s.entry.dataLength;
    pos += available;
    const bool stop = !s.dataComplete;
    seen.push_back(std::move(s));
    if (stop) break;
  }
  return seen;
}

void expectSame(const std::vector<SeenEntry>& got, const std::vector<SeenEntry>& want) {
  FUZZ_CHECK(got.size() == want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].result == want[i].result);
    if (got[i].result == EntryRead::kEnd) continue;
    FUZZ_CHECK(got[i].entry.name == want[i].entry.name);
    if (got[i].result == EntryRead::kBroken) continue;
    FUZZ_CHECK(got[i].entry.mode == want[i].entry.mode);
    FUZZ_CHECK(got[i].entry.hardwareClass == want[i].entry.hardwareClass);
    FUZZ_CHECK(got[i].entry.dataLength == want[i].entry.dataLength);
    FUZZ_CHECK(got[i].dataComplete == want[i].dataComplete);
    FUZZ_CHECK(got[i].data == want[i].data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t form = data[0];
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool deflateHere = (form & 1) != 0;
  const std::string part = deflateHere ? installer::deflateBytes(rest, (form >> 1) % 10) : rest;

  installer::PackageWriter writer;
  writer.addPart(installer::kPartPayload, part);
  // Bytes after the payload part must never be read as entries.
  writer.addPart(installer::kPartSignature, std::string(68, '\x5a'));
  const std::string file = writer.bytes();

  const auto plain = readThroughStream(file, false);
  const auto hashed = readThroughStream(file, true);
  expectSame(hashed, plain);
  if (deflateHere) expectSame(plain, parseDirectly(rest));
  return 0;
}
