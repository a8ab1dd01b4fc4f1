// The two inflate backends give the same delivered bytes, the same reads of
// the part and the same end on the same streams: valid ones with stored,
// fixed and dynamic blocks, cut ones, damaged ones, one asking for a preset
// dictionary, one followed by other bytes, and an empty part.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/payload.h"
#include "support/inflate_trace.h"

namespace installer {
namespace {

using testing_support::BlockKind;
using testing_support::InflateTrace;
using testing_support::mixedBytes;
using testing_support::sameReads;
using testing_support::traceInflate;
using testing_support::zlibStream;

std::vector<InflateBackend> backends() {
  std::vector<InflateBackend> all;
  for (InflateBackend b : {InflateBackend::kZlib, InflateBackend::kIsal}) {
    if (Inflater::available(b)) all.push_back(b);
  }
  return all;
}

// The trace of every backend, checked to be the same: the same bytes, the
// same end, the same reads of the part at (nearly) the same points.
InflateTrace agreedTrace(const std::string& part) {
  const InflateTrace first = traceInflate(part, backends().front());
  for (InflateBackend b : backends()) {
    SCOPED_TRACE(Inflater::name(b));
    const InflateTrace t = traceInflate(part, b);
    EXPECT_TRUE(t.delivered == first.delivered);
    EXPECT_EQ(t.endedCleanly, first.endedCleanly);
    EXPECT_EQ(t.failed, first.failed);
    EXPECT_TRUE(sameReads(t, first));
  }
  return first;
}

std::string withDictionaryFlag(std::string stream) {
  // FDICT set, and the check bits made right again so that only the flag
  // stands in the way.
  auto flg = static_cast<unsigned char>(stream[1]) | 0x20u;
  flg &= ~0x1Fu;
  const unsigned cmf = static_cast<unsigned char>(stream[0]);
  flg += 31 - (cmf * 256 + flg) % 31;
  stream[1] = static_cast<char>(flg);
  return stream;
}

TEST(InflateBackends, ConfiguredOneIsBuilt) {
  EXPECT_TRUE(Inflater::available(Inflater::configured()));
  EXPECT_NE(Inflater::create(), nullptr);
}

TEST(InflateBackends, AgreeOnATableOfStreams) {
  const std::string text = mixedBytes(70000, 1);
  const std::string small = mixedBytes(300, 2);
  const std::string all = zlibStream({{text.substr(0, 30000), BlockKind::kDynamic},
                                      {text.substr(30000, 20000), BlockKind::kStored},
                                      {text.substr(50000), BlockKind::kFixed}});
  std::string badChecksum = all;
  badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
  std::string badHeader = all;
  badHeader[1] = static_cast<char>(badHeader[1] + 1);
  std::string windowTooBig = all;
  windowTooBig[0] = static_cast<char>(0x88);  // CINFO 8: a 64 KiB window
  windowTooBig[1] = static_cast<char>(0x1C);  // with right check bits
  std::string badBlockType = zlibStream({{small, BlockKind::kFixed}});
  badBlockType[2] = static_cast<char>(badBlockType[2] | 0x06);  // BTYPE 3

  struct Case {
    const char* name;
    std::string part;
    std::string want;  // delivered bytes, or their start where it fails
    bool clean;
    bool failed;
  };
  const Case cases[] = {
      {"dynamic, stored and fixed blocks", all, text, true, false},
      {"stored only", zlibStream({{text, BlockKind::kStored}}), text, true, false},
      {"fixed only", zlibStream({{small, BlockKind::kFixed}}), small, true, false},
      {"empty stream", zlibStream({}), "", true, false},
      {"bytes after the end", all + "PK\x03\x04 trailing bytes", text, true, false},
      {"empty part", "", "", true, false},
      {"one byte", all.substr(0, 1), "", false, false},
      {"header only", all.substr(0, 2), "", false, false},
      {"preset dictionary flag", withDictionaryFlag(all), "", false, true},
      {"broken header check", badHeader, "", false, true},
      {"window too big", windowTooBig, "", false, true},
      {"invalid block type", badBlockType, "", false, true},
      {"not zlib at all", std::string(5000, '\xff'), "", false, true},
      // A wrong checksum is found at the end, but the backends may hold
      // back different amounts of the output before it.
      {"wrong checksum", badChecksum, text, false, true},
      {"cut before the checksum", all.substr(0, all.size() - 4), text, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (InflateBackend b : backends()) {
      SCOPED_TRACE(Inflater::name(b));
      const InflateTrace t = traceInflate(c.part, b);
      if (c.failed) {
        EXPECT_LT(t.delivered.size(), c.want.size() + (c.want.empty() ? 1 : 0));
        EXPECT_EQ(c.want.compare(0, t.delivered.size(), t.delivered), 0);
      } else {
        EXPECT_EQ(t.delivered.size(), c.want.size());
        EXPECT_TRUE(t.delivered == c.want);
      }
      EXPECT_EQ(t.endedCleanly, c.clean);
      EXPECT_EQ(t.failed, c.failed);
    }
    // Streams that do not fail read the same way on every backend.
    if (!c.failed) agreedTrace(c.part);
  }
}

TEST(InflateBackends, AgreeOnAStreamOfManyPieces) {
  // Some 4 MB in about 300 pieces of the part: enough reads for the
  // backends' different stops at the end of a piece to show.
  const std::string text = mixedBytes(4 << 20, 5);
  const InflateTrace t = agreedTrace(zlibStream({{text, BlockKind::kDynamic}}));
  EXPECT_TRUE(t.delivered == text);
  EXPECT_GT(testing_support::readPoints(t).size(), 100u);
}

// The next 4096 bytes of the part are read exactly where the bytes before
// them are decoded to the last byte they decide, and not as soon as the
// decoder has taken them all in (which would follow the library: zlib takes
// bytes as it needs them, ISA-L a whole piece at once). Streams of every
// block kind, and one of data that does not compress, where the pieces run
// dry at every point of the output.
TEST(InflateBackends, APieceIsReadWhereThePiecesBeforeItRunDry) {
  const std::string text = mixedBytes(300000, 8);
  std::string noise;
  for (std::uint32_t x = 7; noise.size() < 60000;) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>(x >> 23));
  }
  const std::string streams[] = {
      zlibStream({{text, BlockKind::kDynamic}}),
      zlibStream({{text.substr(0, 100000), BlockKind::kFixed},
                  {text.substr(100000, 30000), BlockKind::kStored},
                  {text.substr(130000), BlockKind::kDynamic}}),
      zlibStream({{noise, BlockKind::kDynamic}}),
  };
  for (const std::string& stream : streams) {
    std::vector<std::uint64_t> decided{0};  // the first piece is read at once
    for (std::size_t end = 4096; end < stream.size(); end += 4096) {
      const std::uint64_t x = testing_support::decidedOutput(stream, end);
      if (x != decided.back()) decided.push_back(x);
    }
    ASSERT_GT(decided.size(), 5u);
    for (InflateBackend b : backends()) {
      SCOPED_TRACE(Inflater::name(b));
      const std::vector<std::uint64_t> points =
          testing_support::readPoints(traceInflate(stream, b));
      ASSERT_EQ(points.size(), decided.size());
      for (std::size_t i = 0; i < points.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(points[i], decided[i]);
        EXPECT_GE(points[i] + testing_support::kReadPointSlack, decided[i]);
        if (b == InflateBackend::kZlib) {
          EXPECT_EQ(points[i], decided[i]);
        }
      }
    }
  }
}

TEST(InflateBackends, AgreeOnEveryCut) {
  const std::string text = mixedBytes(9000, 3);
  const std::string stream = zlibStream({{text.substr(0, 3000), BlockKind::kDynamic},
                                         {text.substr(3000, 3000), BlockKind::kStored},
                                         {text.substr(6000), BlockKind::kFixed}});
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    const InflateTrace t = agreedTrace(stream.substr(0, cut));
    EXPECT_FALSE(t.endedCleanly);
    EXPECT_EQ(text.compare(0, t.delivered.size(), t.delivered), 0);  // a prefix
  }
}

TEST(InflateBackends, AgreeOnEveryFlippedBit) {
  const std::string text = mixedBytes(6000, 4);
  const std::string stream = zlibStream({{text.substr(0, 2000), BlockKind::kDynamic},
                                         {text.substr(2000, 500), BlockKind::kStored},
                                         {text.substr(2500), BlockKind::kFixed}});
  const InflateBackend first = backends().front();
  for (std::size_t bit = 0; bit < stream.size() * 8; ++bit) {
    SCOPED_TRACE(bit);
    std::string damaged = stream;
    damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
    const InflateTrace want = traceInflate(damaged, first);
    for (InflateBackend b : backends()) {
      SCOPED_TRACE(Inflater::name(b));
      const InflateTrace t = traceInflate(damaged, b);
      // Both end cleanly or neither does. A clean end means the same bytes
      // read the same way; otherwise how much arrives may differ, but not
      // what.
      EXPECT_EQ(t.endedCleanly, want.endedCleanly);
      if (want.endedCleanly) {
        EXPECT_TRUE(t.delivered == want.delivered);
        EXPECT_TRUE(sameReads(t, want));
      } else {
        const std::size_t common = std::min(t.delivered.size(), want.delivered.size());
        EXPECT_EQ(t.delivered.compare(0, common, want.delivered, 0, common), 0);
      }
    }
    if (::testing::Test::HasFailure()) break;  // one failing bit says enough
  }
}

}  // namespace
}  // namespace installer
