// The package reader: file header, part walking over seekable and pipe-like
// inputs, hashing split between SHA-1 and SHA-256, copying, seeks.
#include "package/reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>
#include <fstream>
#include <sstream>

#include "package/writer.h"
#include "support/package_fixture.h"
#include "support/sandbox.h"

namespace installer {
namespace {

using namespace testing_support;

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
