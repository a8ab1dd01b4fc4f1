// The file payload stream: entries inflated from a type-4 part at every
// compression level, the ends of a payload (normal and broken), skips,
// seeks, put-back, and zlib streams that misbehave.
#include "package/payload.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "package/fd_input.h"
#include "package/payload_writer.h"
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

// Every piece handed to a copy target, as it was handed.
class CopyLog : public std::streambuf {
 public:
  std::vector<std::string> pieces;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pieces.emplace_back(s, static_cast<std::size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      pieces.emplace_back(1, traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
  }
};

// What a reading of a payload shows to its user and leaves behind.
struct Reading {
  Extracted extracted;
  std::vector<std::uint64_t> consumedAtEntries;  // where the progress bar stood
  bool endedCleanly = false;
  bool failed = false;
  std::vector<std::string> copied;
  std::uint64_t consumedAfter = 0;
  std::string digest;

  bool operator==(const Reading& o) const {
    return extracted.end == o.extracted.end && extracted.files.size() == o.extracted.files.size() &&
           std::equal(extracted.files.begin(), extracted.files.end(), o.extracted.files.begin(),
                      [](const PayloadEntry& a, const PayloadEntry& b) {
                        return a.name == b.name && a.data == b.data && a.mode == b.mode;
                      }) &&
           consumedAtEntries == o.consumedAtEntries && endedCleanly == o.endedCleanly &&
           failed == o.failed && copied == o.copied && consumedAfter == o.consumedAfter &&
           digest == o.digest;
  }
};

Reading readWith(const std::string& packageBytes, PayloadThreads threads, InflateBackend backend) {
  Reading r;
  TestSource source(packageBytes, false);
  std::istream in(&source);
  CopyLog copy;
  PackageReader reader(in, true, &copy);
  reader.wantedTypes = {kPartHeader, kPartPayload, kPartSignature};
  reader.nextPart();
  reader.nextPart();
  EXPECT_EQ(reader.partType, kPartPayload);
  {
    InflateStreambuf inflater(reader, backend, threads);
    std::istream payload(&inflater);
    // Where the bar stands after each entry, as extraction asks.
    for (;;) {
      FileEntry e;
      const EntryRead read = readFileEntry(payload, e);
      if (read != EntryRead::kEntry) {
        r.extracted.end = read == EntryRead::kEnd ? End::kNormal : End::kBrokenName;
        break;
      }
      PayloadEntry file{e.mode, e.hardwareClass, e.name, std::string(e.dataLength, '\0')};
      payload.read(file.data.data(), e.dataLength);
      if (payload.gcount() != static_cast<std::streamsize>(e.dataLength)) {
        r.extracted.end = End::kBrokenData;
        break;
      }
      r.extracted.files.push_back(std::move(file));
      r.consumedAtEntries.push_back(inflater.inputConsumed());
    }
    r.endedCleanly = inflater.endedCleanly();
    r.failed = inflater.failed();
  }
  r.consumedAfter = reader.part().consumed();
  reader.part().finishHash();
  r.digest.assign(reinterpret_cast<const char*>(reader.part().digest()), 20);
  r.copied = std::move(copy.pieces);
  return r;
}

// A second thread that reads ahead must leave everything as one thread
// does: the entries, the end and how it is judged, where the bar stands
// after each entry, every piece the copy target is handed (its writes fall
// where they fell), the hash, and where the reader stands afterwards.
TEST(Payload, ASecondThreadReadsAsOneDoes) {
  std::vector<PayloadEntry> entries;
  for (unsigned i = 0; i < 60; ++i) {
    entries.push_back({0100644, 0, "f" + std::to_string(i),
                       i % 7 == 0 ? randomBytes(30000 + i, i) : std::string(3000 + 97 * i, 'x')});
  }
  const std::string raw = encodeFileEntries(entries);
  const std::string stream = deflateBytes(raw);
  // Empty stored blocks before the data: input that makes no output, more
  // of it than a piece's held-back copy may hold.
  std::string emptyBlocks = stream.substr(0, 2);
  for (int i = 0; i < 4000; ++i) emptyBlocks += std::string("\x00\x00\x00\xff\xff", 5);
  const std::string afterEmptyBlocks =
      emptyBlocks + deflateBytes(raw).substr(2);  // a raw deflate continues after them
  std::string flipped = stream;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x08);

  struct Case {
    const char* name;
    std::string part;
  };
  const Case cases[] = {
      {"a whole stream", stream},
      {"cut in the middle", stream.substr(0, stream.size() / 2)},
      {"cut one byte short", stream.substr(0, stream.size() - 1)},
      {"a flipped bit", flipped},
      {"bytes after its end", stream + "trailing"},
      {"an empty part", ""},
      {"a bad zlib header", "\x78\x00" + stream.substr(2)},
      {"empty stored blocks first", afterEmptyBlocks},
  };
  std::vector<InflateBackend> backends = {InflateBackend::kZlib};
  if (Inflater::available(InflateBackend::kIsal)) backends.push_back(InflateBackend::kIsal);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = PayloadPackage::package(c.part);
    for (InflateBackend backend : backends) {
      SCOPED_TRACE(Inflater::name(backend));
      const Reading one = readWith(file, PayloadThreads::kOne, backend);
      const Reading two = readWith(file, PayloadThreads::kTwo, backend);
      EXPECT_TRUE(one == two) << one.extracted.files.size() << " files, "
                              << two.extracted.files.size() << " with two threads";
      EXPECT_EQ(one.endedCleanly, c.part == stream || c.part == afterEmptyBlocks ||
                                      c.part.empty() || c.part == stream + "trailing");
      EXPECT_FALSE(one.copied.empty());
    }
  }
}

// A user that stops early on a pipe whose writer neither writes nor goes
// away: the second thread, waiting for the pipe, is given up, and the
// reader is left with no error of its own.
TEST(Payload, StoppingEarlyOnAPipeThatStaysOpenReturns) {
  std::vector<PayloadEntry> entries;
  for (unsigned i = 0; i < 40; ++i) entries.push_back({0100644, 0, "f", randomBytes(8000, i)});
  const std::string file = PayloadPackage::package(deflateBytes(encodeFileEntries(entries)));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Less than all of it, and less than the pipe holds: the rest never
  // comes while the writer is open.
  const std::string sent = file.substr(0, 40000);
  ASSERT_EQ(write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  {
    FdInputBuf input(fds[0]);
    std::istream in(&input);
    PackageReader reader(in, true);
    reader.wantedTypes = {kPartHeader, kPartPayload};
    reader.nextPart();
    ASSERT_EQ(reader.nextPart(), kPartPayload);
    InflateStreambuf inflater(reader, Inflater::configured(), PayloadThreads::kTwo);
    std::istream payload(&inflater);
    FileEntry e;
    ASSERT_EQ(readFileEntry(payload, e), EntryRead::kEntry);
    EXPECT_EQ(e.name, "f");
  }
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace installer
