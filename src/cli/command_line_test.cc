#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace installer {
namespace {

// The options that parsing changed, as one line: easy to state per case.
std::string summary(const RunOptions& o) {
  std::ostringstream text;
  if (o.cleanup) text << "cleanup ";
  if (o.imageFromInput) text << "image ";
  if (o.quiet) text << "quiet ";
  if (o.show) text << "show ";
  if (o.installFlags != 0) text << "flags=" << o.installFlags << " ";
  if (!o.commitNow) text << "safe ";
  if (!o.root.empty()) text << "root=" << o.root << " ";
  return text.str();
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  ParseOutcome outcome;
  std::string options;
  std::string printed = "";
};

TEST(CommandLine, OptionsInTableOrder) {
  const char* resuming = "\nResuming upgrade...\n";
  const Case cases[] = {
      {"no arguments", {}, ParseOutcome::kRun, ""},
      {"every setting",
       {"-q", "-down", "--safe", "-r", "/root", "--show"},
       ParseOutcome::kRun,
       "quiet show flags=2 safe root=/root "},
      {"ignored options", {"-b", "--force", "--noupgrade", "-i"}, ParseOutcome::kRun, ""},
      {"cleanup", {"-r", "/x", "--cleanup"}, ParseOutcome::kRun, "cleanup root=/x "},
      {"dash", {"-q", "-"}, ParseOutcome::kRun, "image quiet "},
      {"safe then dash", {"--safe", "-"}, ParseOutcome::kRun, "image safe "},
      {"show then dash", {"--show", "-"}, ParseOutcome::kRun, "image show "},
      {"r consumes its value even an option",
       {"-r", "--commit"},
       ParseOutcome::kRun,
       "root=--commit "},
      {"r as the last argument", {"-q", "-r"}, ParseOutcome::kUsage, "quiet "},
      {"unknown argument", {"--show", "-x", "--commit"}, ParseOutcome::kUsage, "show "},
      {"exact comparison only", {"--show=1"}, ParseOutcome::kUsage, ""},
      {"empty argument", {""}, ParseOutcome::kUsage, ""},
      {"commit", {"--show", "--commit"}, ParseOutcome::kCommit, "show "},
      {"root before commit", {"-r", "/x", "--commit"}, ParseOutcome::kCommit, "root=/x "},
      {"root before cancel", {"-r", "/x", "--cancel"}, ParseOutcome::kCancel, "root=/x "},
      // Whatever follows an option that ends the command line is refused,
      // a root above all: it must never be dropped silently.
      {"root after cleanup", {"--cleanup", "-r", "/x"}, ParseOutcome::kUsage, "cleanup "},
      {"root after dash", {"-", "-r", "/x"}, ParseOutcome::kUsage, "image "},
      {"root after commit", {"--commit", "-r", "/x"}, ParseOutcome::kUsage, ""},
      {"root after cancel", {"--cancel", "-r", "/x"}, ParseOutcome::kUsage, ""},
      {"option after dash", {"-", "--safe"}, ParseOutcome::kUsage, "image "},
      {"unknown after commit", {"--commit", "--bogus"}, ParseOutcome::kUsage, ""},
      {"commit after cancel", {"--cancel", "--commit"}, ParseOutcome::kUsage, ""},
      {"reinstall prints at once",
       {"--reinstall", "--bogus"},
       ParseOutcome::kUsage,
       "flags=32 ",
       resuming},
      {"reinstall twice",
       {"--reinstall", "-down", "--reinstall"},
       ParseOutcome::kRun,
       "flags=34 ",
       std::string(resuming) + resuming},
      {"reinstall after the dash is not acted on",
       {"-", "--reinstall"},
       ParseOutcome::kUsage,
       "image "},
  };
  for (const auto& c : cases) {
    RunOptions options;
    std::ostringstream out;
    EXPECT_EQ(parseCommandLine(c.args, options, out), c.outcome) << c.name;
    EXPECT_EQ(summary(options), c.options) << c.name;
    EXPECT_EQ(out.str(), c.printed) << c.name;
    EXPECT_EQ(options.arch, "i386") << c.name;
  }
}

}  // namespace
}  // namespace installer
