// A directory of the installed version that the new version has as a file,
// and a file it has as a directory: the old files make way in both modes,
// unless the directory holds what is not the package's to remove.
#include <dirent.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using ts::describe;
using ts::RouterRoot;

enum class Mode { kUpgrade, kImage };

const char* modeName(Mode mode) { return mode == Mode::kUpgrade ? "upgrade run" : "image mode"; }

// The names in a directory of the root, "." and ".." left out.
std::set<std::string> names(const RouterRoot& router, const std::string& inside) {
  std::set<std::string> found;
  if (DIR* dir = opendir((router / inside).c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") found.insert(name);
    }
    closedir(dir);
  }
  return found;
}

class SwapTest : public ts::ChrootRightsTest {
 protected:
  // Version 1 has "lib/foo" as a directory, version 2 as a file.
  static std::string version1(RouterRoot& router) {
    return router.build(
        describe("tool", "7.1"),
        {{"lib/foo/a", "a"}, {"lib/foo/b", "b"}, {"lib/foo/sub/c", "c"}, {"etc/bar", "bar 7.1"}});
  }
  static std::string version2(RouterRoot& router) {
    return router.build(describe("tool", "7.2"), {{"lib/foo", "foo 7.2"}, {"etc/bar", "bar 7.2"}});
  }

  static ts::RunResult install(RouterRoot& router, Mode mode, const std::string& package) {
    if (mode == Mode::kImage) {
      ts::RunOptions options;
      options.input = package;
      return ts::runInstaller({"-r", router.path(), "-"}, options);
    }
    router.download("tool.npk", package);
    ts::RunResult result = router.run();
    router.clearDownloads();
    return result;
  }
};

TEST_F(SwapTest, DirectoriesAndFilesChangePlacesOnUpgrade) {
  for (const Mode mode : {Mode::kUpgrade, Mode::kImage}) {
    RouterRoot router;
    router.install({{"tool.npk", version1(router)}});
    ASSERT_EQ(router.file("/flash/lib/foo/sub/c"), "c");
    const ts::RunResult result = install(router, mode, version2(router));
    EXPECT_EQ(result.status, 0) << modeName(mode) << result.out << result.err;
    EXPECT_EQ(router.file("/flash/lib/foo"), "foo 7.2") << modeName(mode);
    EXPECT_EQ(router.file("/flash/etc/bar"), "bar 7.2") << modeName(mode);
    // No backup of the old directory, nor of the files in it, stays behind.
    EXPECT_EQ(names(router, "/flash/lib"), std::set<std::string>{"foo"}) << modeName(mode);
    EXPECT_EQ(names(router, "/flash/etc"), std::set<std::string>{"bar"}) << modeName(mode);
    EXPECT_EQ(result.err, "") << modeName(mode);

    // And back: the files "lib/foo" and "etc/bar" become directories.
    const ts::RunResult back = install(
        router, mode,
        router.build(describe("tool", "7.3"), {{"lib/foo/a", "a 7.3"}, {"etc/bar/baz", "baz"}}));
    EXPECT_EQ(back.status, 0) << modeName(mode) << back.out << back.err;
    EXPECT_EQ(router.file("/flash/lib/foo/a"), "a 7.3") << modeName(mode);
    EXPECT_EQ(router.file("/flash/etc/bar/baz"), "baz") << modeName(mode);
    EXPECT_EQ(names(router, "/flash/lib"), std::set<std::string>{"foo"}) << modeName(mode);
    EXPECT_EQ(names(router, "/flash/lib/foo"), std::set<std::string>{"a"}) << modeName(mode);
    EXPECT_EQ(names(router, "/flash/etc"), std::set<std::string>{"bar"}) << modeName(mode);
    EXPECT_EQ(back.err, "") << modeName(mode);
  }
}

TEST_F(SwapTest, ADirectoryHoldingOtherFilesIsRefusedAndNothingChanges) {
  struct Case {
    const char* name;
    // What else comes into "/flash/lib/foo" before version 2.
    void (*prepare)(RouterRoot& router);
  };
  const Case cases[] = {
      {"unowned file",
       [](RouterRoot& router) { ts::writeFile(router / "/flash/lib/foo/sub/mine", "mine"); }},
      {"hidden unowned file",
       [](RouterRoot& router) { ts::writeFile(router / "/flash/lib/foo/.mine", "mine"); }},
      {"another package's file",
       [](RouterRoot& router) {
         router.install(
             {{"other.npk", router.build(describe("other", "7.1"), {{"lib/foo/other", "o"}})}});
       }},
  };
  const std::string message =
      "ERROR: could not replace directory /flash/lib/foo: it holds other files";
  for (const Case& c : cases) {
    for (const Mode mode : {Mode::kUpgrade, Mode::kImage}) {
      const std::string label = std::string(c.name) + ", " + modeName(mode);
      RouterRoot router;
      router.install({{"tool.npk", version1(router)}});
      c.prepare(router);
      const std::string flash = router.tree("/flash");
      const std::string ram = router.tree("/ram");
      const ts::RunResult result = install(router, mode, version2(router));
      EXPECT_EQ(result.status, 1) << label << result.out << result.err;
      EXPECT_NE(result.out.find(message + "\n"), std::string::npos) << label << result.out;
      EXPECT_EQ(router.tree("/flash"), flash) << label;
      EXPECT_EQ(router.tree("/ram"), ram) << label;
      if (mode == Mode::kImage) {
        EXPECT_NE(router.file("/flash/postlog").find(message + "\n"), std::string::npos) << label;
      }
    }
  }
}

}  // namespace
