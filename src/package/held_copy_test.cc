// The held copy: bytes held up to the limit, then written out whole or
// dropped; never opened for a stream that does not keep it.
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
  bool haveTarget = true;
  HeldCopy copy{[this]() -> std::streambuf* {
                  ++opened;
                  return haveTarget ? &target : nullptr;
                },
                kLimit};

  void write(const std::string& bytes) {
    if (bytes.empty()) return;
    copy.sputn(bytes.data(), static_cast<std::streamsize>(bytes.size() - 1));
    copy.sputc(bytes.back());
  }
};

TEST(HeldCopy, KeepsOrDropsWhatCameBeforeTheDecision) {
  struct Case {
    const char* name;
    std::size_t before;
    bool keep;
    bool haveTarget;
    bool decided;
    HeldCopy::State state;
    bool written;  // the target holds every byte
    int opened;
  };
  const Case cases[] = {
      {"kept below the limit", 5, true, true, true, HeldCopy::State::kCopying, true, 1},
      {"kept at the limit", kLimit, true, true, true, HeldCopy::State::kCopying, true, 1},
      {"one byte beyond the limit", kLimit + 1, true, true, false, HeldCopy::State::kTooLong, false,
       0},
      {"dropped", 5, false, true, true, HeldCopy::State::kDropped, false, 0},
      {"dropped beyond the limit", kLimit + 1, false, true, false, HeldCopy::State::kTooLong, false,
       0},
      {"no target", 5, true, false, false, HeldCopy::State::kNoTarget, false, 1},
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
    EXPECT_EQ(run.target.str(), c.written ? before + after : "");
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
