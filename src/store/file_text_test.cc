#include "store/file_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/sandbox.h"

// GCC 12 at -O3 warns that the std::string it builds for "text" + string
// may overlap its source (a false -Wrestrict from the inlined
// basic_string::_M_replace, GCC bug 105329): a literal and a fresh heap
// buffer cannot overlap. Silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace installer {
namespace {

namespace ts = testing_support;

// What is found at a path decides the outcome; nothing but a regular file
// is ever opened, so a FIFO cannot make the read wait.
TEST(FileText, OnlyRegularFilesAreRead) {
  ts::TempRoot dir;
  ts::writeFile(dir / "/plain", "text\n");
  ASSERT_EQ(mkfifo((dir / "/fifo").c_str(), 0600), 0);
  ts::makeDirs(dir / "/directory");
  ASSERT_EQ(symlink("plain", (dir / "/link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "/dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop", (dir / "/loop").c_str()), 0);
  struct Case {
    const char* name;
    FileRead outcome;
  };
  const Case cases[] = {
      {"plain", FileRead::kRead},          {"link", FileRead::kRead},
      {"missing", FileRead::kMissing},     {"fifo", FileRead::kMissing},
      {"directory", FileRead::kMissing},   {"dangling", FileRead::kMissing},
      {"plain/below", FileRead::kMissing}, {"loop", FileRead::kFailed},
  };
  DirectoryListing listing;
  ASSERT_TRUE(listing.list(dir.path()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / ("/" + std::string(c.name));
    std::string text = "before";
    EXPECT_EQ(readFileText(path, text), c.outcome);
    EXPECT_EQ(text, c.outcome == FileRead::kRead ? "text\n" : "before");
    EXPECT_EQ(probeRegularFile(path), c.outcome);
    // The listing answers the same, asking the file system only where it
    // cannot tell by itself.
    ReadFailures failures;
    EXPECT_EQ(readListedFile(dir.path() + "/", c.name, &listing, text, &failures), c.outcome);
    EXPECT_EQ(probeListedFile(dir.path() + "/", c.name, &listing, &failures), c.outcome);
    EXPECT_EQ(failures.any(), c.outcome == FileRead::kFailed);
  }
}

}  // namespace
}  // namespace installer
