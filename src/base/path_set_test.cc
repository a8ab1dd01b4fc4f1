#include "base/path_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace installer {
namespace {

std::vector<std::string> contents(const PathSet& set) {
  return std::vector<std::string>(set.begin(), set.end());
}

std::vector<std::string> contents(const std::set<std::string>& model) {
  return std::vector<std::string>(model.begin(), model.end());
}

// The set against std::set after every step: contents, order, size, and
// lookups of paths it holds and of some it does not.
void expectSame(const PathSet& set, const std::set<std::string>& model,
                const std::vector<std::string>& absent = {}) {
  EXPECT_EQ(set.size(), model.size());
  EXPECT_EQ(set.empty(), model.empty());
  EXPECT_EQ(contents(set), contents(model));
  for (const std::string& path : model) EXPECT_TRUE(set.contains(path)) << path;
  for (const std::string& path : absent) {
    EXPECT_EQ(set.contains(path), model.count(path) != 0) << path;
  }
}

struct InsertCase {
  const char* name;
  std::vector<std::string> inserts;
};

TEST(PathSet, InsertsInAnyOrderMatchAnOrderedSet) {
  const InsertCase cases[] = {
      {"none", {}},
      {"ascending", {"/flash/a", "/flash/b", "/flash/c/d"}},
      {"ascending with repeats", {"/flash/a", "/flash/a", "/flash/b", "/flash/b", "/flash/b"}},
      {"descending", {"/flash/z", "/flash/y", "/flash/x", "/flash/a"}},
      {"repeat of an early path", {"/a", "/b", "/c", "/a", "/d", "/b"}},
      {"repeats inside the unsorted tail", {"/m", "/c", "/c", "/a", "/c", "/a", "/z"}},
      {"out of order then in order again", {"/b", "/a", "/c", "/d", "/a", "/e"}},
      {"the empty path", {"/a", "", "/b", ""}},
      {"prefixes", {"/a/b/c", "/a/b", "/a", "/a/b-c", "/a/b/"}},
  };
  for (const InsertCase& c : cases) {
    SCOPED_TRACE(c.name);
    PathSet set;
    std::set<std::string> model;
    for (const std::string& path : c.inserts) {
      set.insert(path);
      model.insert(path);
    }
    expectSame(set, model, {"/", "/flash", "/q", "/a/b/c/d"});
  }
}

// Lookups and reads between inserts: each ordered read must see every
// insert before it, and inserts after a read must still land in order.
TEST(PathSet, RandomInsertsAndReadsMatchAnOrderedSet) {
  std::mt19937 random(16);
  const std::string pieces[] = {"/flash", "/bin", "/lib", "/a", "/b-c", "/\x80", "/\xff", "/x.so"};
  PathSet set;
  std::set<std::string> model;
  for (int step = 0; step < 3000; ++step) {
    std::string path;
    const int depth = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < depth; ++i) path += pieces[random() % std::size(pieces)];
    if (random() % 8 == 0) path += std::string(random() % 300, 'p');  // spills into new blocks
    set.insert(path);
    model.insert(path);
    if (step % 97 == 0) expectSame(set, model, {path + "/", path.substr(0, path.size() - 1)});
  }
  expectSame(set, model);
}

TEST(PathSet, ByteOrderIsUnsigned) {
  PathSet set;
  for (const char* path : {"/a/\xff", "/a/b/c", "/a/b\x80", "/a/B", "/a/b-c", "/a/b", "/a/b/"}) {
    set.insert(path);
  }
  // '-' (0x2d) before '/' (0x2f); bytes from 0x80 after every ASCII byte.
  EXPECT_EQ(contents(set), (std::vector<std::string>{"/a/B", "/a/b", "/a/b-c", "/a/b/", "/a/b/c",
                                                     "/a/b\x80", "/a/\xff"}));
}

// Paths of every length around the size of a block and of the length
// prefix, in order and out of order, with short paths between them.
TEST(PathSet, PathsOfAnyLengthKeepTheirBytes) {
  std::vector<std::string> paths;
  for (const std::size_t length :
       {std::size_t{126}, std::size_t{127}, std::size_t{128}, std::size_t{4095}, std::size_t{4096},
        std::size_t{8190}, std::size_t{8191}, std::size_t{8192}, std::size_t{16383},
        std::size_t{16384}, std::size_t{40000}}) {
    // Appended, not "/" + ...: GCC 12 warns wrongly (-Wrestrict) on that form.
    std::string path = "/";
    path += std::to_string(length);
    path += '/';
    path.resize(length, static_cast<char>('a' + length % 26));
    paths.push_back(path);
    paths.push_back("/short/" + std::to_string(length));
  }
  for (const bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "reversed" : "as listed");
    PathSet set;
    std::set<std::string> model;
    if (reversed) {
      for (auto it = paths.rbegin(); it != paths.rend(); ++it) set.insert(*it);
    } else {
      for (const std::string& path : paths) set.insert(path);
    }
    model.insert(paths.begin(), paths.end());
    expectSame(set, model);
  }
  // A long path first of all: the first block is not the small one then.
  PathSet set;
  set.insert(std::string(20000, 'l'));
  set.insert("/after");
  EXPECT_EQ(contents(set), (std::vector<std::string>{"/after", std::string(20000, 'l')}));
}

// Enough paths to fill many blocks; each block ends with a path that did
// not fit and went on to the next one.
TEST(PathSet, ManyPathsAcrossBlocks) {
  PathSet set;
  std::set<std::string> model;
  for (int i = 0; i < 20000; ++i) {
    const std::string path = "/flash/share/some/longer/path/" + std::to_string(100000 + i * 7);
    set.insert(path);
    model.insert(path);
  }
  expectSame(set, model, {"/flash/share/some/longer/path/100001", "/flash"});
}

TEST(PathSet, ClearEmptiesAndTheSetIsReusable) {
  PathSet set{"/c", "/a", "/b"};
  set.clear();
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.contains("/a"));
  EXPECT_TRUE(set.begin() == set.end());
  set.insert("/z");
  set.insert("/a");
  set.insert("/z");
  EXPECT_EQ(contents(set), (std::vector<std::string>{"/a", "/z"}));
}

TEST(PathSet, CopiesAreEqualAndIndependent) {
  PathSet original{"/b", "/a", "/b", "/c"};
  const PathSet copy = original;
  PathSet assigned;
  assigned.insert("/old");
  assigned = original;
  original.insert("/d");
  original.clear();
  EXPECT_EQ(copy, (PathSet{"/a", "/b", "/c"}));
  EXPECT_EQ(assigned, copy);
  EXPECT_NE(copy, (PathSet{"/a", "/b"}));
  EXPECT_NE(copy, (PathSet{"/a", "/b", "/d"}));

  PathSet moved = std::move(assigned);
  EXPECT_EQ(moved, copy);
}

}  // namespace
}  // namespace installer
