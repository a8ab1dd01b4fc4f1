// The decoders of header parts and dependency lists: field layout, the
// optional flags word, the fixed order of the descriptive parts, and lists
// shorter than their count.
#include <gtest/gtest.h>

#include "package/reader.h"
#include "package/writer.h"
#include "support/package_fixture.h"

namespace installer {
namespace {

using namespace testing_support;

TEST(ReadHeader, HeaderDataLengths) {
  struct Case {
    std::size_t length;
    bool ok;
    std::uint32_t expectFlags;
  } cases[] = {
      {31, false, 0x55},   // too short for the fixed fields
      {32, true, 0x55},    // no flags word: the value is kept
      {35, true, 0x55},    // one byte short of the flags
      {36, true, 0x8003},  // the flags word
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

}  // namespace
}  // namespace installer
