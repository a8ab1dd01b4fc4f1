// The file payload stream: entries inflated from a type-4 part at every
// compression level, the ends of a payload (normal and broken), skips,
// seeks, put-back, and zlib streams that misbehave.
#include "package/payload.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "package/reader.h"
#include "package/writer.h"
#include "support/test_source.h"

namespace installer {
namespace {

using testing_support::TestSource;

enum class End { kNormal, kBrokenName, kBrokenData };

struct Extracted {
  std::vector<PayloadEntry> files;  // regular files only, as extraction sees them
  End end = End::kNormal;
};

// Walks the entries the way extraction does: regular files are read in
// pieces of at most 16384 bytes, everything else is skipped forward.
Extracted extract(std::istream& in) {
  Extracted out;
  for (;;) {
    if (!in) return out;
    FileEntry e;
    const EntryRead r = readFileEntry(in, e);
    if (r == EntryRead::kEnd) return out;
    if (r == EntryRead::kBroken) {
      out.end = End::kBrokenName;
      return out;
    }
    if ((e.mode & kModeTypeMask) != kModeRegular) {
      in.seekg(e.dataLength, std::ios::cur);
      continue;
    }
    PayloadEntry file{e.mode, e.hardwareClass, e.name, {}};
    char piece[16384];
    for (std::uint32_t left = e.dataLength; left > 0;) {
      const std::uint32_t want = std::min<std::uint32_t>(left, sizeof piece);
      in.read(piece, want);
      file.data.append(piece, static_cast<std::size_t>(in.gcount()));
      if (static_cast<std::uint32_t>(in.gcount()) != want) {
        out.end = End::kBrokenData;
        return out;
      }
      left -= want;
    }
    out.files.push_back(std::move(file));
  }
}

// A package whose payload part holds `partData`, followed by a signature.
struct PayloadPackage {
  explicit PayloadPackage(const std::string& partData, bool pipe = false)
      : source(package(partData), !pipe, pipe ? 1 : 1 << 30), in(&source), reader(in, true) {
    reader.wantedTypes = {kPartPayload, kPartSignature};
  }
  static std::string package(const std::string& partData) {
    PackageWriter w;
    w.addHeader(Package("tool"));
    w.addPart(kPartPayload, partData);
    w.addSignature(68, [](const SigningDigest&) { return std::string(68, 's'); });
    return w.bytes();
  }
  TestSource source;
  std::istream in;
  PackageReader reader;
};

Extracted extractPart(const std::string& partData) {
  PayloadPackage pkg(partData);
  EXPECT_EQ(pkg.reader.nextPart(), kPartPayload);
  InflateStreambuf inflater(&pkg.reader.part());
  std::istream payload(&inflater);
  return extract(payload);
}

std::string randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

void expectFiles(const std::vector<PayloadEntry>& got, const std::vector<PayloadEntry>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(got[i].mode, want[i].mode);
    EXPECT_EQ(got[i].hardwareClass, want[i].hardwareClass);
    EXPECT_EQ(got[i].name, want[i].name);
    EXPECT_TRUE(got[i].data == want[i].data);
  }
}

TEST(Payload, RoundTripAtEveryLevelStaysInsideThePart) {
  const std::vector<PayloadEntry> entries = {
      {0100755, 0, "bin/tool", "#!/bin/sh\necho hi\n"},
      {0100644, 3, "/lib/random", randomBytes(200000, 1)},
      {0100644, 0, "lib/zeros", std::string(300000, '\0')},
      {0100600, 1, std::string(300, 'n'), "long name"},
      {0100644, 0, "etc/empty", ""},  // ends exactly at the end of the stream
  };
  for (int level : {0, 1, 6, 9}) {
    for (bool pipe : {false, true}) {
      SCOPED_TRACE(testing::Message() << "level " << level << " pipe " << pipe);
      PackageWriter w;
      w.addHeader(Package("tool"));
      w.addPayload(entries, level);
      SigningDigest want;
      w.addSignature(68, [&](const SigningDigest& d) {
        want = d;
        return std::string();
      });
      TestSource source(w.bytes(), !pipe, pipe ? 1 : 1 << 30);
      std::istream in(&source);
      PackageReader reader(in, true);
      reader.wantedTypes = {kPartPayload, kPartSignature};
      ASSERT_EQ(reader.nextPart(), kPartPayload);
      {
        InflateStreambuf inflater(&reader.part());
        std::istream payload(&inflater);
        const Extracted got = extract(payload);
        EXPECT_EQ(got.end, End::kNormal);
        expectFiles(got.files, entries);
        EXPECT_EQ(inflater.produced(), encodeFileEntries(entries).size());
      }
      // The payload stream consumed its part only, each byte hashed once.
      ASSERT_EQ(reader.nextPart(), kPartSignature);
      reader.part().finishHash();
      EXPECT_EQ(0, std::memcmp(reader.part().digest(), want.bytes, want.size));
    }
  }
}

TEST(Payload, EmptyPartHasNoEntries) {
  const Extracted got = extractPart("");
  EXPECT_EQ(got.end, End::kNormal);
  EXPECT_TRUE(got.files.empty());
}

TEST(Payload, WhereTheStreamEndsDecidesBrokenOrNot) {
  const PayloadEntry first{0100644, 0, "first", "first data"};
  const PayloadEntry second{0100644, 0, "second/file", "second data"};
  const std::string raw = encodeFileEntries({first, second});
  const std::size_t secondAt = encodeFileEntries({first}).size();
  const std::string compressed = deflateBytes(raw);
  // Random data compresses to itself, so a cut in the middle lands in it.
  const std::string bigger =
      deflateBytes(encodeFileEntries({first, {0100644, 0, "big", randomBytes(5000, 4)}}));
  struct Case {
    const char* name;
    std::string partData;
    End end;
    std::size_t files;
  } cases[] = {
      {"empty stream", deflateBytes(""), End::kNormal, 0},
      {"cut at an entry", deflateBytes(raw.substr(0, secondAt)), End::kNormal, 1},
      {"cut in the fixed bytes", deflateBytes(raw.substr(0, secondAt + 29)), End::kNormal, 1},
      {"cut in the name", deflateBytes(raw.substr(0, secondAt + 31)), End::kBrokenName, 1},
      {"cut in the data", deflateBytes(raw.substr(0, raw.size() - 1)), End::kBrokenData, 1},
      {"compressed bytes cut", bigger.substr(0, bigger.size() / 2), End::kBrokenData, 1},
      // Cut where a whole entry has arrived: no end of the stream, so broken.
      {"compressed bytes cut after an entry", compressed.substr(0, compressed.size() - 4),
       End::kBrokenName, 2},
      // A stream found corrupt is broken wherever the fault lies, also
      // between entries: how much of it arrives first is up to the backend.
      {"not zlib at all", "this is not a zlib stream", End::kBrokenName, 0},
      // Header 78 20 asks for a preset dictionary.
      {"dictionary wanted", std::string("\x78\x20\x00\x00\x00\x01", 6) + compressed.substr(2),
       End::kBrokenName, 0},
      {"wrong checksum", compressed.substr(0, compressed.size() - 1) + char(compressed.back() ^ 1),
       End::kBrokenName, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Extracted got = extractPart(c.partData);
    EXPECT_EQ(got.end, c.end);
    EXPECT_EQ(got.files.size(), c.files);
  }
}

TEST(Payload, NonRegularEntriesAreSkipped) {
  const std::vector<PayloadEntry> entries = {
      {040755, 0, "lib/dir", randomBytes(10000, 2)},  // data crosses several buffers
      {0120777, 0, "lib/link", "target"},
      {0100644, 0, "lib/file", "contents"},
      {020644, 0, "dev/thing", ""},
  };
  const Extracted got = extractPart(deflateBytes(encodeFileEntries(entries)));
  EXPECT_EQ(got.end, End::kNormal);
  expectFiles(got.files, {entries[2]});
}

TEST(Payload, BytesAfterTheZlibEndAreIgnored) {
  const std::vector<PayloadEntry> entries = {{0100644, 0, "a", "alpha"}};
  const std::string junk = encodeFileEntries({{0100644, 0, "junk", "never delivered"}});
  const Extracted got = extractPart(deflateBytes(encodeFileEntries(entries)) + junk);
  expectFiles(got.files, entries);
}

// A stored stream whose first input chunks hold nothing but empty blocks:
// they complete no output, and the stream must go on to the data.
TEST(Payload, ChunksWithoutOutputDoNotEndTheStream) {
  const std::vector<PayloadEntry> entries = {{0100644, 0, "after/blocks", "made it"}};
  const std::string raw = encodeFileEntries(entries);
  std::string stream = "\x78\x01";
  for (int i = 0; i < 2000; ++i) stream += std::string("\x00\x00\x00\xff\xff", 5);
  stream += '\x01';  // final stored block
  stream += static_cast<char>(raw.size() & 0xFF);
  stream += static_cast<char>(raw.size() >> 8);
  stream += static_cast<char>(~raw.size() & 0xFF);
  stream += static_cast<char>((~raw.size() >> 8) & 0xFF);
  stream += raw;
  const uLong check =
      adler32(1, reinterpret_cast<const Bytef*>(raw.data()), static_cast<uInt>(raw.size()));
  for (int shift = 24; shift >= 0; shift -= 8) stream += static_cast<char>((check >> shift) & 0xFF);
  ASSERT_GT(stream.size(), 2 * 4096u);
  const Extracted got = extractPart(stream);
  EXPECT_EQ(got.end, End::kNormal);
  expectFiles(got.files, entries);
}

// Output that did not fit into the previous buffer is still delivered when
// no input is left: here the stream is cut right after its last match, which
// straddles the end of the first output buffer (zlib has taken all the input
// into its own state by then).
TEST(Payload, PendingOutputIsDeliveredWithoutMoreInput) {
  // 31 bytes of entry header, then a run that the first buffer cuts.
  const std::string data = std::string(4015, 'a') + std::string(185, 'b');
  const std::string head = encodeEntryHeader(0100644, 0, 4200, "f");
  const std::string compressed = deflateBytes(head + data, 9);
  const Extracted got = extractPart(compressed.substr(0, compressed.size() - 5));
  ASSERT_EQ(got.files.size(), 1u);
  EXPECT_EQ(got.files[0].data, data);
  // The stream itself never reached its end: the payload is broken all the
  // same.
  EXPECT_EQ(got.end, End::kBrokenName);
}

TEST(Payload, SeeksOnlyGoForward) {
  std::string raw(10000, '\0');
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<char>(i % 251);
  PayloadPackage pkg(deflateBytes(raw));
  ASSERT_EQ(pkg.reader.nextPart(), kPartPayload);
  InflateStreambuf inflater(&pkg.reader.part());
  std::istream in(&inflater);
  auto at = [&](std::size_t i) { return static_cast<int>(static_cast<unsigned char>(raw[i])); };

  EXPECT_EQ(in.get(), at(0));
  EXPECT_EQ(in.tellg(), 1);
  in.seekg(99, std::ios::cur);
  EXPECT_EQ(in.tellg(), 100);
  EXPECT_EQ(in.get(), at(100));
  in.seekg(5000);
  EXPECT_EQ(in.get(), at(5000));
  in.seekg(10);
  EXPECT_TRUE(in.fail());
  in.clear();
  in.seekg(0, std::ios::end);
  EXPECT_TRUE(in.fail());
  in.clear();
  in.seekg(-1, std::ios::cur);
  EXPECT_TRUE(in.fail());
  in.clear();
  EXPECT_EQ(in.get(), at(5001));
  in.seekg(10000, std::ios::cur);  // past the end
  EXPECT_TRUE(in.fail());
}

TEST(Payload, OneBytePutBackSurvivesARefill) {
  std::string raw = randomBytes(20000, 3);
  PayloadPackage pkg(deflateBytes(raw));
  ASSERT_EQ(pkg.reader.nextPart(), kPartPayload);
  InflateStreambuf inflater(&pkg.reader.part());
  std::istream in(&inflater);
  std::size_t pos = 0;
  // Drain the first buffer, then take one byte of the next.
  do {
    ASSERT_EQ(in.get(), static_cast<unsigned char>(raw[pos++]));
  } while (in.rdbuf()->in_avail() > 0);
  ASSERT_EQ(in.get(), static_cast<unsigned char>(raw[pos++]));
  ASSERT_TRUE(in.unget());
  ASSERT_TRUE(in.unget());
  EXPECT_EQ(in.get(), static_cast<unsigned char>(raw[pos - 2]));
}

// Every truncation of a package reads without crashing, and only the whole
// file yields the complete payload and the complete signature.
TEST(Payload, EveryTruncationEndsCleanly) {
  Package p("tool");
  p.arch = "arm";
  p.depends = {{"system", 1, 0, 0}};
  const std::vector<PayloadEntry> entries = {{0100755, 0, "bin/tool", "contents of the tool"},
                                             {040755, 0, "lib", ""}};
  PackageWriter w;
  w.addSha256Switch();
  w.addPackageHeader(p);
  w.addPayload(entries);
  w.addSignature(68, [](const SigningDigest&) { return std::string(68, 's'); });
  const std::string file = w.bytes();
  for (std::size_t size = 0; size <= file.size(); ++size) {
    SCOPED_TRACE(size);
    TestSource source(file.substr(0, size), false, 1);
    std::istream in(&source);
    PackageReader reader(in, true);
    reader.wantedTypes = {1, 3, 4, 9, 16};
    bool complete = reader.nextPart() == kPartHeader;
    Package got;
    complete = complete && readHeader(got, reader) && reader.partType == kPartPayload;
    if (reader.partType == kPartPayload) {
      InflateStreambuf inflater(&reader.part());
      std::istream payload(&inflater);
      const Extracted extracted = extract(payload);
      complete = complete && extracted.end == End::kNormal && extracted.files.size() == 1;
      reader.nextPart();
    }
    char signature[68];
    complete = complete && reader.partType == kPartSignature &&
               reader.part().readUnhashed(signature, sizeof signature) == sizeof signature;
    EXPECT_EQ(complete, size == file.size());
  }
}

}  // namespace
}  // namespace installer
