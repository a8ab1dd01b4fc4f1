#include "console/console.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "support/package_records.h"

namespace installer {
namespace {

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";
const std::string kErase = "\r" + std::string(79, ' ') + "\r";

using testing_support::OutputCapture;

InstalledPackage makePackage(const std::string& name, Version version) {
  InstalledPackage p(name);
  p.version = version;
  return p;
}

TEST(Messages, KindsPrefixesAndLog) {
  RunOutput output;
  OutputCapture out(output);
  inform(output, "installed %s", "foo-1.0");
  warn(output, "can not %s %s: %s depends on it", "disable", "foo-1.0", "bar");
  reportError(output, "not enough space for upgrade");
  printMessage(output, nullptr, "%d%%", 50);
  EXPECT_EQ(out.take(),
            "installed foo-1.0\n"
            "WARNING: can not disable foo-1.0: bar depends on it\n"
            "ERROR: not enough space for upgrade\n"
            "50%\n");
  EXPECT_EQ(output.messages,
            (std::vector<std::string>{"installed foo-1.0",
                                      "WARNING: can not disable foo-1.0: bar depends on it",
                                      "ERROR: not enough space for upgrade", "50%"}));
}

TEST(Messages, ExpansionIsCutAt255BytesPrefixNotCounted) {
  RunOutput output;
  OutputCapture out(output);
  const std::string longText(300, 'x');
  warn(output, "%s", longText.c_str());
  inform(output, "%s", std::string(255, 'y').c_str());
  EXPECT_EQ(out.take(), "WARNING: " + std::string(255, 'x') + "\n" + std::string(255, 'y') + "\n");
  ASSERT_EQ(output.messages.size(), 2u);
  EXPECT_EQ(output.messages[0].size(), 9u + 255u);
}

TEST(Messages, QuietWritesAndLogsNothing) {
  RunOutput output;
  output.quiet = true;
  output.messages.push_back("earlier");
  OutputCapture out(output);
  inform(output, "a");
  warn(output, "b");
  reportError(output, "c");
  setStatusLine(output, "status");
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(output.messages, std::vector<std::string>{"earlier"});
  EXPECT_EQ(output.statusLine, "");
}

TEST(StatusLine, DrawsOnlyChangesAndPadsOverLongerText) {
  RunOutput output;
  OutputCapture out(output);
  setStatusLine(output, "");  // nothing shown: nothing to remove
  EXPECT_EQ(out.take(), "");

  setStatusLine(output, "sixsix");
  EXPECT_EQ(out.take(), kHide + "\rsixsix\r" + kShow);
  setStatusLine(output, "sixsix");
  EXPECT_EQ(out.take(), "");

  setStatusLine(output, "abc");
  EXPECT_EQ(out.take(), kHide + "\rabc   \r" + kShow);
  setStatusLine(output, "longer");
  EXPECT_EQ(out.take(), kHide + "\rlonger\r" + kShow);
  setStatusLine(output, "");
  EXPECT_EQ(out.take(), kHide + "\r      \r" + kShow);
  EXPECT_EQ(output.statusLine, "");
  EXPECT_TRUE(output.messages.empty());
}

TEST(StatusLine, WarningRedrawsTheBarBelowIt) {
  RunOutput output;
  const std::string bar = "installing foo-1.0 [" + std::string(56, '#') + "]";
  OutputCapture out(output);
  setStatusLine(output, bar);
  out.take();
  warn(output, "could not open repo");
  EXPECT_EQ(out.take(), kErase + "WARNING: could not open repo\n" + bar);
  EXPECT_EQ(output.statusLine, bar);
  EXPECT_EQ(output.messages, std::vector<std::string>{"WARNING: could not open repo"});
}

TEST(StatusLine, ErrorAndPlainMessageRemoveTheBar) {
  RunOutput output;
  const std::string bar(77, '#');
  OutputCapture out(output);
  setStatusLine(output, bar);
  out.take();
  reportError(output, "broken package %s", "foo.npk");
  EXPECT_EQ(out.take(),
            kHide + "\r" + std::string(77, ' ') + "\r" + kShow + "ERROR: broken package foo.npk\n");
  EXPECT_EQ(output.statusLine, "");

  setStatusLine(output, "enabling foo-1.0...");
  out.take();
  inform(output, "enabled %s", "foo-1.0");
  EXPECT_EQ(out.take(), kHide + "\r" + std::string(19, ' ') + "\r" + kShow + "enabled foo-1.0\n");
}

TEST(ProgressLine, BarFillsInProportionAndIs77Long) {
  const InstalledPackage foo = makePackage("foo", makeVersion(1, 0, 0x66, 0));
  struct Case {
    std::uint64_t consumed, total;
    std::size_t hashes;
  };
  // Head "installing foo-1.0 [" is 20 characters: the bar is 56 wide.
  const Case cases[] = {{0, 100, 0}, {50, 100, 28},  {99, 100, 55}, {100, 100, 56},
                        {1, 3, 18},  {250, 100, 56}, {0, 0, 56},    {4294967295u, 4294967296u, 55}};
  for (const Case& c : cases) {
    const std::string line = installProgressLine(foo, c.consumed, c.total);
    EXPECT_EQ(line, "installing foo-1.0 [" + std::string(c.hashes, '#') +
                        std::string(56 - c.hashes, ' ') + "]")
        << c.consumed << "/" << c.total;
    EXPECT_EQ(line.size(), 77u);
  }
}

TEST(ProgressLine, HeadShowsDisabledAndBundleLabel) {
  InstalledPackage p = makePackage("foo", makeVersion(1, 0, 0x66, 0));
  p.disabled = true;
  std::string line = installProgressLine(p, 0, 10);
  EXPECT_EQ(line.substr(0, 33), "installing  (disabled) foo-1.0 [ ");
  EXPECT_EQ(line.size(), 77u);

  // A bundle member is shown under the bundle's label, never as disabled.
  p.bundle.name = "basepack";
  p.bundle.minVersion = makeVersion(7, 1, 0x66, 3);
  line = installProgressLine(p, 10, 10);
  EXPECT_EQ(line, "installing basepack-7.1.3 [" + std::string(49, '#') + "]");
}

TEST(ProgressLine, LongHeadNeverGrowsTheLine) {
  const InstalledPackage p = makePackage(std::string(63, 'n'), makeVersion(1, 0, 0x66, 0));
  // 11 + 63 + 4 + 2 = 80 characters of head: no room for a bar.
  EXPECT_EQ(installProgressLine(p, 5, 10), "installing " + p.name + "-1.0 []");
}

// The progress of one package draws exactly what drawing its whole line
// after every file would, including after a message has taken the console.
TEST(ProgressLine, RedrawsOnlyWhatChangedAndAfterAMessage) {
  const InstalledPackage foo = makePackage("foo", makeVersion(1, 0, 0x66, 0));
  struct Step {
    std::uint64_t consumed;
    bool messageBefore;
  };
  // 56 columns of bar over 1,000 bytes: several steps share a fill.
  const Step steps[] = {{0, false},   {1, false},   {10, false},   {17, false},  {18, false},
                        {18, true},   {19, false},  {500, false},  {500, false}, {501, true},
                        {999, false}, {1000, true}, {1000, false}, {1200, false}};
  RunOutput model;
  OutputCapture modelOut(model);
  RunOutput output;
  OutputCapture out(output);
  InstallProgress progress(foo);
  for (const Step& step : steps) {
    if (step.messageBefore) {
      inform(model, "note");
      inform(output, "note");
    }
    setStatusLine(model, installProgressLine(foo, step.consumed, 1000));
    progress.show(output, step.consumed, 1000);
    EXPECT_EQ(out.take(), modelOut.take()) << step.consumed;
    EXPECT_EQ(output.statusLine, model.statusLine);
  }

  output.quiet = true;
  progress.show(output, 0, 1000);
  EXPECT_EQ(out.take(), "");
}

TEST(Reports, WriteFailureMessagesByErrno) {
  RunOutput output;
  const InstalledPackage foo = makePackage("foo", makeVersion(1, 0, 0x66, 0));
  struct Case {
    int error;
    std::string line;
  };
  const Case cases[] = {
      {28, "ERROR: installation of foo-1.0 failed: disk is too small"},
      {5, "ERROR: installation of foo-1.0 failed: disk error"},
      {EACCES,
       std::string("ERROR: installation of foo-1.0 failed: could not create meta/version: ") +
           std::strerror(EACCES)},
  };
  for (const Case& c : cases) {
    OutputCapture out(output);
    errno = c.error;
    reportWriteFailure(output, foo, "meta/version");
    EXPECT_EQ(out.take(), c.line + "\n");
    EXPECT_EQ(output.messages.back(), c.line);
  }
}

TEST(Reports, BrokenPackageUsesBundleLabel) {
  RunOutput output;
  InstalledPackage member = makePackage("wireless", makeVersion(7, 1, 0x66, 0));
  member.bundle.name = "basepack";
  member.bundle.minVersion = member.bundle.maxVersion = makeVersion(7, 2, 0x66, 0);
  OutputCapture out(output);
  reportBrokenPackage(output, member);
  EXPECT_EQ(out.take(), "ERROR: installation of basepack-7.2 failed: broken package\n");
}

}  // namespace
}  // namespace installer
