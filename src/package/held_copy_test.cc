// The held copy: bytes held up to the limit and spilled to the target
// beyond it, then written out whole or dropped; never opened for a stream
// that does not keep it and fits in memory, and a spilled target discarded
// when it is dropped.
#include "package/held_copy.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace installer {
namespace {

constexpr std::size_t kLimit = 16;

// Writes `before` (in blocks, then byte by byte for the last byte, as the
// reader does with single bytes), decides, then writes `after`.
struct CopyRun {
  std::stringbuf target;
  int opened = 0;
  int discarded = 0;
  bool haveTarget = true;
  HeldCopy copy{[this]() -> std::streambuf* {
                  ++opened;
                  return haveTarget ? &target : nullptr;
                },
                kLimit, [this] { ++discarded; }};

  void write(const std::string& bytes) {
    if (bytes.empty()) return;
    copy.sputn(bytes.data(), static_cast<std::streamsize>(bytes.size() - 1));
    copy.sputc(bytes.back());
  }
};

TEST(HeldCopy, KeepsOrDropsWhatCameBeforeTheDecision) {
  enum class Written { kNothing, kBefore, kAll };
  struct Case {
    const char* name;
    std::size_t before;
    bool keep;
    bool haveTarget;
    bool decided;
    HeldCopy::State state;
    Written written;
    int opened;
    int discarded;
  };
  const Case cases[] = {
      {"kept below the limit", 5, true, true, true, HeldCopy::State::kCopying, Written::kAll, 1, 0},
      {"kept at the limit", kLimit, true, true, true, HeldCopy::State::kCopying, Written::kAll, 1,
       0},
      {"kept beyond the limit", kLimit + 1, true, true, true, HeldCopy::State::kCopying,
       Written::kAll, 1, 0},
      {"dropped", 5, false, true, true, HeldCopy::State::kDropped, Written::kNothing, 0, 0},
      {"dropped beyond the limit", kLimit + 1, false, true, true, HeldCopy::State::kDropped,
       Written::kBefore, 1, 1},
      {"no target", 5, true, false, false, HeldCopy::State::kNoTarget, Written::kNothing, 1, 0},
      {"no target beyond the limit", kLimit + 1, false, false, false, HeldCopy::State::kNoTarget,
       Written::kNothing, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CopyRun run;
    run.haveTarget = c.haveTarget;
    const std::string before(c.before, 'b');
    const std::string after(3 * kLimit, 'a');
    run.write(before);
    EXPECT_EQ(c.keep ? run.copy.keep() : run.copy.drop(), c.decided);
    run.write(after);
    EXPECT_EQ(run.copy.state(), c.state);
    EXPECT_EQ(run.opened, c.opened);
    EXPECT_EQ(run.discarded, c.discarded);
    const std::string expected = c.written == Written::kAll      ? before + after
                                 : c.written == Written::kBefore ? before
                                                                 : "";
    EXPECT_EQ(run.target.str(), expected);
  }
}

TEST(HeldCopy, ADecisionIsMadeOnce) {
  CopyRun run;
  run.write("abc");
  ASSERT_TRUE(run.copy.keep());
  EXPECT_TRUE(run.copy.keep());
  EXPECT_FALSE(run.copy.drop());
  run.write("def");
  EXPECT_EQ(run.opened, 1);
  EXPECT_EQ(run.target.str(), "abcdef");
}

}  // namespace
}  // namespace installer
