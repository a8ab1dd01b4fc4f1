// The package reader: file header, part walking over seekable and pipe-like
// inputs, hashing split between SHA-1 and SHA-256, copying, seeks, and the
// header and dependency list decoders.
#include "package/reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>
#include <fstream>
#include <sstream>

#include "package/test_source.h"
#include "package/writer.h"
#include "platform/hash.h"
#include "support/sandbox.h"

namespace installer {
namespace {

using installer_test::TestSource;

Package makePackage(std::string name, std::uint32_t flags = 0) {
  Package p(std::move(name));
  p.version = makeVersion(7, 1, kStageFinal, 3);
  p.buildTime = 1700000000;
  p.flags = flags;
  return p;
}

std::string hashOf(Hasher::Kind kind, std::string_view bytes) {
  auto h = Hasher::create(kind);
  h->update(bytes.data(), bytes.size());
  std::uint8_t out[32];
  h->finish(out);
  return std::string(reinterpret_cast<char*>(out), h->digestSize());
}
std::string sha1(std::string_view b) { return hashOf(Hasher::Kind::kSha1, b); }
std::string sha256(std::string_view b) { return hashOf(Hasher::Kind::kSha256, b); }

std::string digestOf(const PackageReader& r) {
  return std::string(reinterpret_cast<const char*>(r.part().digest()),
                     r.part().hashIsSha256() ? 32 : 20);
}

std::string readAll(std::istream& in, std::size_t max) {
  std::string out(max, '\0');
  in.read(out.data(), static_cast<std::streamsize>(max));
  out.resize(static_cast<std::size_t>(in.gcount()));
  return out;
}

const std::vector<std::uint32_t> kAllTypes = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24, 25};

// The kinds of input a reader meets: a seekable file-like buffer, and a pipe
// that refuses seeks and has only one byte ready at a time.
enum class Input { kSeekable, kPipe };

struct Opened {
  Opened(const std::string& bytes, Input kind, bool hashing, std::vector<std::uint32_t> wanted,
         std::streambuf* copyTo = nullptr)
      : source(bytes, kind == Input::kSeekable, kind == Input::kSeekable ? 1 << 30 : 1),
        in(&source),
        reader(in, hashing, copyTo) {
    reader.wantedTypes = std::move(wanted);
  }
  TestSource source;
  std::istream in;
  PackageReader reader;
};

TEST(FileHeader, BadAndGoodHeaders) {
  PackageWriter good;
  PackageWriter sideBySide(kMagicSideBySide);
  PackageWriter unknown(0x12345678);
  PackageWriter longer;
  longer.overridePayloadLength(100);  // not compared with the real size here
  struct Case {
    const char* name;
    std::string bytes;
    bool bad;
    std::uint32_t magic;
    std::uint32_t totalLength;
  } cases[] = {
      {"empty", "", true, 0xFFFFFFFF, 0},
      {"seven bytes", good.bytes().substr(0, 7), true, 0xFFFFFFFF, 0},
      {"unknown magic", unknown.bytes(), true, 0x12345678, 8},
      {"exactly eight bytes", good.bytes(), false, kMagicPackage, 8},
      {"side by side", sideBySide.bytes(), false, kMagicSideBySide, 8},
      {"declared longer", longer.bytes(), false, kMagicPackage, 108},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o(c.bytes, Input::kSeekable, true, kAllTypes);
    EXPECT_EQ(o.reader.bad(), c.bad);
    EXPECT_EQ(o.reader.magic, c.magic);
    EXPECT_EQ(o.reader.totalLength, c.totalLength);
    EXPECT_EQ(o.reader.nextPart(), -1);
    EXPECT_EQ(o.reader.partType, -1);
    EXPECT_TRUE(o.reader.fail());
    if (!c.bad) {
      EXPECT_TRUE(o.reader.eof());
      EXPECT_TRUE(o.reader.part().hashFinished());
    }
    EXPECT_EQ(o.reader.nextPart(), -1);
  }
}

TEST(ReadHeader, HeaderDataLengths) {
  struct Case {
    std::size_t length;
    bool ok;
    std::uint32_t expectFlags;
  } cases[] = {
      {31, false, 0x55},  // too short for the fixed fields
      {32, true, 0x55},   // no flags word: the value is kept
      {35, true, 0x55},   {36, true, 0x8003},
      {48, true, 0x8003},  // the bytes after the flags are skipped
  };
  for (Input input : {Input::kSeekable, Input::kPipe}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << "length " << c.length << " pipe " << (input == Input::kPipe));
      PackageWriter w;
      w.addHeader(makePackage("tool", 0x8003), c.length);
      w.addDependencyList(kPartDepends, {{"system", 0x07000000, 0, 0}});
      Opened o(w.bytes(), input, false, kAllTypes);
      ASSERT_EQ(o.reader.nextPart(), kPartHeader);
      Package p;
      p.flags = 0x55;
      ASSERT_EQ(readHeader(p, o.reader), c.ok);
      if (!c.ok) continue;
      EXPECT_EQ(p.name, "tool");
      EXPECT_EQ(p.version, makeVersion(7, 1, kStageFinal, 3));
      EXPECT_EQ(p.buildTime, 1700000000u);
      EXPECT_EQ(p.flags, c.expectFlags);
      ASSERT_EQ(p.depends.size(), 1u);
      EXPECT_EQ(p.depends[0].name, "system");
    }
  }
}

TEST(ReadHeader, NamesEndAtNulOrAfterSixteenBytes) {
  struct Case {
    std::string written;
    std::string read;
  } cases[] = {
      {"abcdefghijklmnop", "abcdefghijklmnop"},
      {"abc", "abc"},
      {std::string("abc\0xyz", 7), "abc"},
      {"abcdefghijklmnopqrst", "abcdefghijklmnop"},  // the writer cuts too
  };
  for (const Case& c : cases) {
    PackageWriter w;
    w.addHeader(makePackage(c.written));
    w.addDependencyList(kPartDepends, {{c.written, 1, 2, 0}});
    Opened o(w.bytes(), Input::kSeekable, false, kAllTypes);
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    Package p;
    ASSERT_TRUE(readHeader(p, o.reader));
    EXPECT_EQ(p.name, c.read);
    ASSERT_EQ(p.depends.size(), 1u);
    EXPECT_EQ(p.depends[0].name, c.read);
  }
}

Package describedPackage() {
  Package p = makePackage("routing", 1);
  p.extraText = "extra";
  p.arch = "mipsbe";
  p.auxText = "aux";
  p.note = "a note";
  p.depends = {{"system", 0x07010000, 0x07020000, 0}, {"wireless", 0, 0, 0}};
  p.provides = {{"net", 0x07016600, 0, -1}, {"route", 1, 2, 5}};
  p.conflicts = {{"old-routing", 0, 0x06FF0000, 0}};
  return p;
}

void expectSameDescription(const Package& got, const Package& want) {
  EXPECT_EQ(got.name, want.name);
  EXPECT_EQ(got.flags, want.flags);
  EXPECT_EQ(got.extraText, want.extraText);
  EXPECT_EQ(got.arch, want.arch);
  EXPECT_EQ(got.auxText, want.auxText);
  EXPECT_EQ(got.note, want.note);
  auto same = [](const std::vector<Dependency>& a, const std::vector<Dependency>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].name, b[i].name);
      EXPECT_EQ(a[i].minVersion, b[i].minVersion);
      EXPECT_EQ(a[i].maxVersion, b[i].maxVersion);
      EXPECT_EQ(a[i].priority, b[i].priority);
    }
  };
  same(got.depends, want.depends);
  same(got.provides, want.provides);
  same(got.conflicts, want.conflicts);
}

TEST(ReadHeader, TakesTheDescriptionAndStopsAfterIt) {
  const Package want = describedPackage();
  for (bool image : {false, true}) {
    PackageWriter w;
    w.addPackageHeader(want);
    if (image) w.addImage("image bytes");
    w.addPayload({});
    Opened o(w.bytes(), Input::kSeekable, true, kAllTypes);
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    Package got;
    ASSERT_TRUE(readHeader(got, o.reader));
    expectSameDescription(got, want);
    EXPECT_FALSE(got.isBundle);
    EXPECT_EQ(got.imageBased, image);
    EXPECT_EQ(o.reader.partType, image ? kPartImage : kPartPayload);
  }
}

TEST(ReadHeader, BundleHeaderAndMissingArchitecture) {
  Package bundle = makePackage("bundle");
  bundle.isBundle = true;
  PackageWriter w;
  w.addPackageHeader(bundle);
  w.addPackageHeader(makePackage("member"));
  Opened o(w.bytes(), Input::kSeekable, false, kAllTypes);
  ASSERT_EQ(o.reader.nextPart(), kPartBundleHeader);
  Package got;
  got.arch = "left over";
  ASSERT_TRUE(readHeader(got, o.reader));
  EXPECT_TRUE(got.isBundle);
  EXPECT_EQ(got.arch, "i386");
  EXPECT_EQ(o.reader.partType, kPartHeader);
  Package member;
  ASSERT_TRUE(readHeader(member, o.reader));
  EXPECT_EQ(member.name, "member");
}

TEST(ReadHeader, EachStepLooksOnceInItsOrder) {
  PackageWriter w;
  w.addHeader(makePackage("tool"));
  w.addText(kPartArch, "arm");
  w.addText(kPartExtraText, "late text");
  Opened o(w.bytes(), Input::kSeekable, false, kAllTypes);
  ASSERT_EQ(o.reader.nextPart(), kPartHeader);
  Package p;
  ASSERT_TRUE(readHeader(p, o.reader));
  EXPECT_EQ(p.arch, "arm");
  EXPECT_EQ(p.extraText, "");
  EXPECT_EQ(o.reader.partType, kPartExtraText);
}

TEST(ReadHeader, UnwantedPartsAreNotSeen) {
  PackageWriter w;
  w.addHeader(makePackage("tool"));
  w.addText(kPartArch, "arm");
  w.addText(kPartAuxText, "aux");
  w.addText(kPartNote, "note");
  Opened o(w.bytes(), Input::kSeekable, false, {1, 3, 17, 18, 19, 23, 24});
  ASSERT_EQ(o.reader.nextPart(), kPartHeader);
  Package p;
  ASSERT_TRUE(readHeader(p, o.reader));
  EXPECT_EQ(p.arch, "i386");
  EXPECT_EQ(p.auxText, "");
  EXPECT_EQ(p.note, "note");
  EXPECT_EQ(o.reader.partType, -1);
}

TEST(ReadHeader, TextDeclaringFourGibibytesReadsWhatArrives) {
  for (Input input : {Input::kSeekable, Input::kPipe}) {
    for (bool hashing : {false, true}) {
      PackageWriter w;
      w.addHeader(makePackage("tool"));
      w.addPart(kPartExtraText, std::string(100, 'x'), 0xFFFFFFFF);
      Opened o(w.bytes(), input, hashing, kAllTypes);
      ASSERT_EQ(o.reader.nextPart(), kPartHeader);
      Package p;
      EXPECT_TRUE(readHeader(p, o.reader));
      EXPECT_EQ(p.extraText, std::string(100, 'x'));
      EXPECT_EQ(p.arch, "i386");
      EXPECT_EQ(o.reader.partType, -1);
    }
  }
}

TEST(ReadDependencyList, CountsAgainstData) {
  const std::string one = encodeDependencyList({{"a", 1, 2, -3}});
  const std::string two = encodeDependencyList({{"a", 1, 2, -3}, {"b", 4, 5, 6}});
  std::string twoClaimedOneHeld = two.substr(0, 34);
  struct Case {
    const char* name;
    std::string data;
    bool ok;
    std::size_t entries;
  } cases[] = {
      {"count 0, length 2", std::string(2, '\0'), true, 0},
      {"count 2, length 34", twoClaimedOneHeld, false, 1},
      {"count 1 with trailing bytes", one + "trailing", true, 1},
      {"count 2, length 66", two, true, 2},
      {"no count", std::string(1, '\0'), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PackageWriter w;
    w.addPart(kPartDepends, c.data);
    w.addText(kPartNote, "after");
    Opened o(w.bytes(), Input::kSeekable, false, kAllTypes);
    ASSERT_EQ(o.reader.nextPart(), kPartDepends);
    std::vector<Dependency> list;
    EXPECT_EQ(readDependencyList(o.reader, list), c.ok);
    ASSERT_EQ(list.size(), c.entries);
    if (!list.empty()) {
      EXPECT_EQ(list[0].minVersion, 1u);
      EXPECT_EQ(list[0].maxVersion, 2u);
      EXPECT_EQ(list[0].priority, -3);
    }
    if (c.ok) {
      EXPECT_EQ(o.reader.nextPart(), kPartNote);
      EXPECT_EQ(readAll(o.reader, 100), "after");
    }
  }
}

// Parts 1, 25, 24, 3 with only 1 and 3 wanted: the type-1 part goes to SHA-1,
// everything from the type-25 header on to SHA-256, unwanted parts included.
TEST(Hashing, SwitchToSha256CoversUnwantedParts) {
  for (Input input : {Input::kSeekable, Input::kPipe}) {
    PackageWriter w;
    w.addHeader(makePackage("tool"));
    const std::size_t switchAt = w.body().size();
    w.addSha256Switch("ignored");
    w.addText(kPartExtraText, "unwanted text");
    w.addDependencyList(kPartDepends, {{"system", 0, 0, 0}});
    std::stringbuf copy;
    Opened o(w.bytes(), input, true, {1, 3}, &copy);
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    EXPECT_TRUE(o.reader.part().hashFinished());
    EXPECT_EQ(digestOf(o.reader), sha1(""));  // nothing before the first header
    ASSERT_EQ(o.reader.nextPart(), kPartDepends);
    EXPECT_TRUE(o.reader.part().hashIsSha256());
    EXPECT_EQ(o.reader.nextPart(), -1);
    EXPECT_EQ(digestOf(o.reader), sha256(w.body().substr(switchAt)));
    EXPECT_EQ(copy.str(), w.bytes());
  }
}

TEST(Hashing, EveryTypeOneHeaderRestartsTheDigest) {
  for (bool withSwitch : {false, true}) {
    PackageWriter w;
    if (withSwitch) w.addSha256Switch();
    const std::size_t first = w.body().size();
    w.addHeader(makePackage("first"));
    w.addText(kPartExtraText, "text of the first");
    const std::size_t second = w.body().size();
    w.addHeader(makePackage("second"));
    w.addDependencyList(kPartDepends, {});
    const auto hash = withSwitch ? sha256 : sha1;
    Opened o(w.bytes(), Input::kSeekable, true, {1, 3});
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    // Finished at the second header: from the first header (even after a
    // switch) up to the second.
    EXPECT_EQ(digestOf(o.reader), hash(w.body().substr(first, second - first)));
    EXPECT_EQ(o.reader.part().hashIsSha256(), withSwitch);
    ASSERT_EQ(o.reader.nextPart(), kPartDepends);
    EXPECT_EQ(o.reader.nextPart(), -1);
    EXPECT_EQ(digestOf(o.reader), hash(w.body().substr(second)));
  }
}

TEST(Hashing, PutBackBytesAreHashedAndCopiedOnce) {
  PackageWriter w;
  w.addHeader(makePackage("tool"));
  w.addImage("0123456789abcdef");
  for (Input input : {Input::kSeekable, Input::kPipe}) {
    std::stringbuf copy;
    Opened o(w.bytes(), input, true, {1, 21}, &copy);
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    ASSERT_EQ(o.reader.nextPart(), kPartImage);
    EXPECT_FALSE(o.reader.unget());  // nothing of this part consumed yet
    o.reader.clear();
    EXPECT_EQ(readAll(o.reader, 5), "01234");
    ASSERT_TRUE(o.reader.unget());
    ASSERT_TRUE(o.reader.putback('3'));
    EXPECT_EQ(o.reader.get(), '3');
    EXPECT_EQ(readAll(o.reader, 100), "456789abcdef");
    o.reader.clear();
    EXPECT_EQ(o.reader.nextPart(), -1);
    EXPECT_EQ(digestOf(o.reader), sha1(w.body()));
    EXPECT_EQ(copy.str(), w.bytes());
  }
}

TEST(Hashing, SignatureDigestMatchesTheWriter) {
  enum class Switch { kNone, kBeforeHeader, kAfterHeader };
  for (Switch where : {Switch::kNone, Switch::kBeforeHeader, Switch::kAfterHeader}) {
    SCOPED_TRACE(static_cast<int>(where));
    PackageWriter w;
    std::size_t from = 0;
    if (where == Switch::kBeforeHeader) w.addSha256Switch();
    from = w.body().size();  // the header restarts the digest
    w.addPackageHeader(describedPackage());
    if (where == Switch::kAfterHeader) {
      from = w.body().size();
      w.addSha256Switch();
    }
    w.addPayload({{0100755, 0, "bin/tool", "#!/bin/sh\n"}});
    const std::size_t signatureAt = w.body().size();
    SigningDigest seen;
    w.addSignature(68, [&](const SigningDigest& d) {
      seen = d;
      return std::string("signature");
    });
    const std::string hashed = w.body().substr(from, signatureAt + kPartHeaderSize - from);
    const bool isSha256 = where != Switch::kNone;
    EXPECT_EQ(seen.sha256, isSha256);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(seen.bytes), seen.size),
              isSha256 ? sha256(hashed) : sha1(hashed));

    Opened o(w.bytes(), Input::kPipe, true, {1, 9});
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    ASSERT_EQ(o.reader.nextPart(), kPartSignature);
    o.reader.part().finishHash();
    EXPECT_EQ(o.reader.part().hashIsSha256(), isSha256);
    EXPECT_EQ(digestOf(o.reader), std::string(reinterpret_cast<char*>(seen.bytes), seen.size));
    char signature[68];
    EXPECT_EQ(o.reader.part().readUnhashed(signature, 100), 68u);
    EXPECT_EQ(std::string(signature, 9), "signature");
    EXPECT_EQ(o.reader.part().partRemaining, 0u);
    EXPECT_EQ(o.reader.nextPart(), -1);
    // The signature bytes themselves never reach the hash.
    EXPECT_EQ(digestOf(o.reader), isSha256 ? sha256("") : sha1(""));
  }
}

TEST(Skipping, SeeksOnlyWhenNeitherHashingNorCopying) {
  PackageWriter w;
  w.addHeader(makePackage("tool"));
  w.addImage(std::string(1 << 20, 'i'));
  w.addDependencyList(kPartDepends, {});
  const std::string file = w.bytes();
  for (int mode = 0; mode < 3; ++mode) {
    const bool hashing = mode == 1;
    std::stringbuf copy;
    Opened o(file, Input::kSeekable, hashing, {1, 3}, mode == 2 ? &copy : nullptr);
    ASSERT_EQ(o.reader.nextPart(), kPartHeader);
    ASSERT_EQ(o.reader.nextPart(), kPartDepends);
    EXPECT_EQ(o.reader.part().partStart, file.size() - 2);
    EXPECT_EQ(o.reader.nextPart(), -1);
    if (mode == 0) {
      EXPECT_LT(o.source.delivered, 1000u);
    } else {
      EXPECT_EQ(o.source.delivered, file.size());
    }
    if (mode == 2) {
      EXPECT_EQ(copy.str(), file);
    }
  }
}

TEST(Skipping, PartRunningPastTheEnd) {
  PackageWriter w;
  w.addHeader(makePackage("tool"));
  w.addPart(kPartImage, "0123456789", 1000);
  for (Input input : {Input::kSeekable, Input::kPipe}) {
    for (bool hashing : {false, true}) {
      Opened skipping(w.bytes(), input, hashing, {1});
      ASSERT_EQ(skipping.reader.nextPart(), kPartHeader);
      EXPECT_EQ(skipping.reader.nextPart(), -1);
      EXPECT_TRUE(skipping.reader.fail());
      EXPECT_TRUE(skipping.reader.eof());
      EXPECT_EQ(skipping.reader.nextPart(), -1);

      Opened reading(w.bytes(), input, hashing, {21});
      ASSERT_EQ(reading.reader.nextPart(), kPartImage);
      EXPECT_EQ(reading.reader.part().partLength, 1000u);
      EXPECT_EQ(readAll(reading.reader, 1000), "0123456789");
      EXPECT_EQ(reading.reader.nextPart(), -1);
    }
  }
}

TEST(Reading, ReadsStopAtThePartEnd) {
  PackageWriter w;
  w.addText(kPartNote, "12345");
  w.addText(kPartAuxText, "following");
  Opened o(w.bytes(), Input::kSeekable, false, kAllTypes);
  ASSERT_EQ(o.reader.nextPart(), kPartNote);
  char buf[100];
  EXPECT_LE(o.reader.readsome(buf, sizeof buf), 5);
  o.reader.clear();
  EXPECT_EQ(o.reader.nextPart(), kPartAuxText);
  EXPECT_EQ(o.reader.peek(), 'f');
  EXPECT_EQ(readAll(o.reader, 100), "following");
  EXPECT_EQ(o.reader.part().consumed(), w.bytes().size());
  EXPECT_TRUE(o.reader.eof());
}

std::string countingBytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i);
  return s;
}

TEST(Seeking, BackwardsOnlyOnSeekableInputWithoutHashing) {
  PackageWriter w;
  w.addHeader(makePackage("tool"));
  w.addImage(countingBytes(100));
  w.addText(kPartNote, "end");
  testing_support::TempRoot dir;
  const std::string path = dir / "/package.npk";
  std::ofstream(path, std::ios::binary) << w.bytes();

  struct Case {
    const char* name;
    bool file;
    Input input;
    bool hashing;
    bool backwards;
  } cases[] = {
      {"file", true, Input::kSeekable, false, true},
      {"file, hashing", true, Input::kSeekable, true, false},
      {"pipe", false, Input::kPipe, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ifstream file(path, std::ios::binary);
    TestSource pipe(w.bytes(), false, 1);
    std::istream pipeStream(&pipe);
    PackageReader r(c.file ? static_cast<std::istream&>(file) : pipeStream, c.hashing);
    r.wantedTypes = {21, 23};
    ASSERT_EQ(r.nextPart(), kPartImage);
    EXPECT_EQ(readAll(r, 10), countingBytes(10));
    EXPECT_EQ(r.tellg(), 10);
    r.seekg(2);
    EXPECT_EQ(static_cast<bool>(r), c.backwards);
    r.clear();
    if (c.backwards) {
      EXPECT_EQ(r.get(), 2);
      r.seekg(-1, std::ios::cur);
      EXPECT_EQ(r.get(), 2);
      r.seekg(10);
    }
    r.seekg(101);
    EXPECT_FALSE(r);
    r.clear();
    r.seekg(40, std::ios::cur);  // forward from 10
    ASSERT_TRUE(r);
    EXPECT_EQ(r.tellg(), 50);
    EXPECT_EQ(r.get(), 50);
    r.seekg(100);
    EXPECT_EQ(r.get(), std::char_traits<char>::eof());
    r.clear();
    ASSERT_EQ(r.nextPart(), kPartNote);
    EXPECT_EQ(readAll(r, 10), "end");
    if (c.hashing) {
      r.clear();
      EXPECT_EQ(r.nextPart(), -1);
      EXPECT_EQ(digestOf(r), sha1(w.body()));
    }
  }
}

TEST(Pipe, RealPipeWithHashing) {
  PackageWriter w;
  w.addSha256Switch();
  const Package want = describedPackage();
  w.addPackageHeader(want);
  w.addImage(std::string(20000, 'm'));
  w.addPayload({{0100644, 0, "etc/conf", "data"}});
  SigningDigest expected;
  w.addSignature(132, [&](const SigningDigest& d) {
    expected = d;
    return std::string();
  });
  const std::string file = w.bytes();
  ASSERT_LT(file.size(), 60000u);  // fits the pipe's buffer, so no writer thread is needed

  for (bool hashing : {false, true}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fds[1]);
    __gnu_cxx::stdio_filebuf<char> buf(fds[0], std::ios::in);
    std::istream in(&buf);
    PackageReader r(in, hashing);
    r.wantedTypes = {1, 2, 3, 4, 9, 16, 17, 19, 23, 24};
    ASSERT_EQ(r.nextPart(), kPartHeader);
    Package got;
    ASSERT_TRUE(readHeader(got, r));
    expectSameDescription(got, want);
    EXPECT_EQ(r.partType, kPartPayload);  // the image part was not wanted
    ASSERT_EQ(r.nextPart(), kPartSignature);
    if (hashing) {
      r.part().finishHash();
      EXPECT_EQ(digestOf(r), std::string(reinterpret_cast<char*>(expected.bytes), 32));
    }
    EXPECT_EQ(r.nextPart(), -1);
    EXPECT_EQ(r.part().consumed(), file.size());
  }
}

}  // namespace
}  // namespace installer
