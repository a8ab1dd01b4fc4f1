#include "txn/temporaries.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

class TemporariesTest : public ts::RouterDirsTest {
 protected:
  void SetUp() override {
    RouterDirsTest::SetUp();
    if (stopped()) return;
    ts::makeDirs("/flash/var/pdb");
    ts::makeDirs("/flash/bin");
    ts::makeDirs("/flash/lib");
  }

  // Every path the records of a list directory name: a line without a
  // slash is a name in the directory of the record's last full path.
  static std::multiset<std::string> listedIn(const std::string& dir) {
    std::multiset<std::string> paths;
    for (const std::string& name : ts::listDir(dir)) {
      char text[4096];
      const ssize_t size = readlink((dir + "/" + name).c_str(), text, sizeof text);
      EXPECT_GT(size, 0) << name << " is a record";
      if (size <= 0) continue;
      std::istringstream in(std::string(text, static_cast<std::size_t>(size)));
      std::string base;
      for (std::string line; std::getline(in, line);) {
        if (line.starts_with("/")) base = line.substr(0, line.rfind('/') + 1);
        paths.insert(line.starts_with("/") || line.starts_with("-") ? line : base + line);
      }
    }
    return paths;
  }

  static std::string create(TemporaryLog& log, const std::string& dir) {
    std::string path;
    const int fd = createTemporaryFile(log, dir, path);
    EXPECT_GE(fd, 0) << dir;
    if (fd >= 0) close(fd);
    return path;
  }
};

// The record naming a file exists before the file: a power cut that keeps
// the file keeps the record. Names come in batches, so a directory's files
// share few records, whichever order the directories come in.
TEST_F(TemporariesTest, EveryFileIsListedBeforeItExistsAndNamesComeInBatches) {
  TemporaryLog log;
  std::vector<std::string> made;
  for (int i = 0; i < 40; ++i) {
    const std::string dir = i % 3 == 0 ? "/flash/bin" : i % 3 == 1 ? "/flash/lib" : "/ram";
    std::string path;
    const int fd = createTemporaryFile(log, dir, path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(isTemporaryName(path)) << path;
    EXPECT_EQ(path.substr(0, dir.size() + 1), dir + "/");
    EXPECT_EQ(listedIn(kStagedListPath).count(path), 1u) << path << " is listed once";
    made.push_back(path);
  }
  EXPECT_EQ(std::set<std::string>(made.begin(), made.end()).size(), made.size());
  EXPECT_LT(log.records(), made.size() / 2) << "names are reserved in batches";

  // The reserved names never used are listed too, and cost nothing.
  EXPECT_TRUE(endRunTemporaries(log));
  for (const std::string& path : made) EXPECT_FALSE(ts::exists(path)) << path;
  EXPECT_FALSE(ts::exists(kStagedListPath));
  EXPECT_FALSE(temporariesListed(TemporaryList::kRun));
}

// Removing a list takes only what is ours: names of the temporary form and
// a plain file at the capture's name, never a withdrawn name (whichever
// record withdraws it), never a directory, never a path of another form.
TEST_F(TemporariesTest, RemovingAListTakesOnlyTheInstallersOwnFiles) {
  ts::makeDirs(kStagedListPath);
  struct Case {
    std::string path;
    std::string listed;  // the record's text
    bool file;           // a plain file (else a directory)
    bool removed;
    bool made = true;  // false: nothing is made at the path
  };
  const Case cases[] = {
      {"/flash/bin/tmpAbc123", "/flash/bin/tmpAbc123\n", true, true},
      {"/flash/bin/tmpWithd1", "/flash/bin/tmpWithd1\n-/flash/bin/tmpWithd1\n", true, false},
      {"/flash/bin/tmpDirec1", "/flash/bin/tmpDirec1\n", false, false},
      {kCaptureTemporary, std::string(kCaptureTemporary) + "\n", true, true},
      {"/flash/lib/tmpNever1", "/flash/lib/tmpNever1\n", false, false, false},
      // A name alone is in the directory of the record's last full path.
      {"/flash/lib/tmpShort2", "/flash/lib/tmpNever1\ntmpShort2\n", true, true},
      {"/flash/bin/tmpShort3", "/flash/lib/tmpNever1\n/flash/bin/tmpNever1\ntmpShort3\n", true,
       true},
      // Listed in one record, withdrawn in another (read in any order).
      {"/flash/bin/tmpWithd2", "/flash/bin/tmpWithd2\n", true, false},
      {"/flash/lib/tmpNever2", "/flash/lib/tmpNever2\n-/flash/bin/tmpWithd2\n", false, false,
       false},
  };
  int record = 0;
  for (const Case& c : cases) {
    if (c.made) {
      if (c.file) {
        ts::writeFile(c.path, "contents");
      } else {
        ts::makeDirs(c.path);
      }
    }
    const std::string name = std::string(kStagedListPath) + "/" + std::to_string(++record);
    ASSERT_EQ(symlink(c.listed.c_str(), name.c_str()), 0);
  }
  EXPECT_TRUE(temporariesListed(TemporaryList::kRun));
  EXPECT_TRUE(removeListedTemporaries(TemporaryList::kRun));
  for (const Case& c : cases) {
    if (!c.made) continue;
    EXPECT_EQ(ts::exists(c.path), !c.removed) << c.path;
  }
  EXPECT_FALSE(ts::exists(kStagedListPath));
}

// A list that names what no run could have made (another form of name, a
// place outside "/flash", "/ram" and "/tmp", a way out through "..") or
// holds a line no run writes is damaged: nothing it names is removed, the
// run's own temporaries beside it included, and the list stays.
TEST_F(TemporariesTest, ADamagedListRemovesNothing) {
  const std::string own = "/flash/bin/tmpAbc123";
  const struct {
    const char* name;
    std::string victim;  // a file that must survive
    std::string record;
  } cases[] = {
      {"a user's file", "/rw/data/config", "/rw/data/config\n"},
      {"a temporary's name outside the flash", "/rw/data/tmpAbc123", "/rw/data/tmpAbc123\n"},
      {"a way out through ..", "/rw/tmpAbc123", "/flash/../rw/tmpAbc123\n"},
      {"a name of another form", "/flash/bin/program", "/flash/bin/program\n"},
      {"a name with no path before it", "/flash/bin/tmpAlone1", "tmpAlone1\n"},
      {"a record without its newline", "/flash/bin/tmpNoEnd1", "/flash/bin/tmpNoEnd1"},
  };
  for (const auto& c : cases) {
    ts::makeDirs(kStagedListPath);
    ts::writeFile(own, "ours");
    ts::writeFile(c.victim, "keep");
    ASSERT_EQ(symlink((own + "\n").c_str(), (std::string(kStagedListPath) + "/1").c_str()), 0);
    ASSERT_EQ(symlink(c.record.c_str(), (std::string(kStagedListPath) + "/2").c_str()), 0);
    EXPECT_EQ(damagedList(TemporaryList::kRun), kStagedListPath) << c.name;
    EXPECT_FALSE(removeListedTemporaries(TemporaryList::kRun)) << c.name;
    EXPECT_EQ(ts::readFile(c.victim), "keep") << c.name;
    EXPECT_TRUE(ts::exists(own)) << c.name;
    EXPECT_TRUE(ts::exists(kStagedListPath)) << c.name;
    ts::removeTree(kStagedListPath);
    ts::removeTree(c.victim);
  }
  // The older text form alike; a last line cut by a kill names nothing.
  const std::string text = std::string(kStagedListPath).substr(0, 22);
  ts::writeFile(own, "ours");
  ts::writeFile("/rw/data/config", "keep");
  ts::writeFile(text, own + "\n/flash/bin/tmpCut");
  EXPECT_EQ(damagedList(TemporaryList::kRun), "");
  ts::writeFile(text, own + "\n/rw/data/config\n");
  EXPECT_EQ(damagedList(TemporaryList::kRun), text);
  EXPECT_FALSE(removeListedTemporaries(TemporaryList::kRun));
  EXPECT_TRUE(ts::exists(own));
  EXPECT_EQ(ts::readFile("/rw/data/config"), "keep");
}

// A FIFO at the older list's name is no list: nothing waits on it, and it
// is left as it is.
TEST_F(TemporariesTest, AFifoAtTheOlderListIsNoList) {
  const std::string text = std::string(kStagedListPath).substr(0, 22);
  ts::makeDirs(kStagedListDir);
  ASSERT_EQ(mkfifo(text.c_str(), 0600), 0);
  EXPECT_FALSE(temporariesListed(TemporaryList::kRun));
  EXPECT_TRUE(removeListedTemporaries(TemporaryList::kRun));
  EXPECT_EQ(damagedList(TemporaryList::kRun), "");
  EXPECT_TRUE(ts::exists(text));
}

// A directory at the capture's name is not the run's capture.
TEST_F(TemporariesTest, TheCaptureIsRemovedOnlyAsAPlainFile) {
  TemporaryLog log;
  ASSERT_TRUE(log.note(kCaptureTemporary));
  ts::makeDirs(std::string(kCaptureTemporary) + "/inside");
  EXPECT_TRUE(endRunTemporaries(log));
  EXPECT_TRUE(ts::exists(std::string(kCaptureTemporary) + "/inside"));
}

// Lists that older runs wrote as plain text files are still read.
TEST_F(TemporariesTest, OlderTextListsAreStillRead) {
  struct Case {
    TemporaryList list;
    const char* file;
  };
  for (const Case& c : {Case{TemporaryList::kRun, "/flash/var/pdb/.staged"},
                        Case{TemporaryList::kKept, "/flash/var/pdb/.staged-kept"}}) {
    ts::writeFile("/flash/bin/tmpOld001", "old run's");
    ts::writeFile("/flash/bin/tmpOld002", "withdrawn");
    ts::writeFile(c.file,
                  "/flash/bin/tmpOld001\n/flash/bin/tmpOld002\n-/flash/bin/tmpOld002\n/flash/bin/"
                  "tmpOl");  // cut short by a kill
    EXPECT_TRUE(temporariesListed(c.list)) << c.file;
    EXPECT_TRUE(removeListedTemporaries(c.list)) << c.file;
    EXPECT_FALSE(ts::exists("/flash/bin/tmpOld001")) << c.file;
    EXPECT_TRUE(ts::exists("/flash/bin/tmpOld002")) << c.file;
    EXPECT_FALSE(ts::exists(c.file));
    EXPECT_FALSE(temporariesListed(c.list)) << c.file;
    unlink("/flash/bin/tmpOld002");
  }
}

// "--safe" keeps its files under the kept list; an earlier kept list, whose
// manifest was just replaced, goes with its files.
TEST_F(TemporariesTest, ASafeRunKeepsItsFilesAndDropsTheEarlierKeptOnes) {
  TemporaryLog earlier;
  const std::string old = create(earlier, "/flash/bin");
  keepRunTemporaries(earlier);
  ASSERT_TRUE(ts::exists(old));
  ASSERT_TRUE(temporariesListed(TemporaryList::kKept));

  TemporaryLog run;
  const std::string kept = create(run, "/flash/lib");
  keepRunTemporaries(run);
  EXPECT_FALSE(ts::exists(old));
  EXPECT_TRUE(ts::exists(kept));
  EXPECT_FALSE(temporariesListed(TemporaryList::kRun));
  EXPECT_EQ(listedIn(kKeptListPath).count(kept), 1u);

  // The list starts again for what the run makes after.
  const std::string later = create(run, "/flash/lib");
  EXPECT_EQ(listedIn(kStagedListPath).count(later), 1u);
  EXPECT_TRUE(endRunTemporaries(run));
  EXPECT_TRUE(ts::exists(kept));
  EXPECT_TRUE(removeListedTemporaries(TemporaryList::kKept));
  EXPECT_FALSE(ts::exists(kept));
  EXPECT_FALSE(ts::exists(kKeptListPath));
}

// Whatever else sits at a list's name (only ever a directory of records)
// is no list: a run still lists its files there, a link is never followed
// into the files it points to, and removing the list removes only the
// thing at its name.
TEST_F(TemporariesTest, SomethingElseAtAListsNameIsNoList) {
  enum class Thing { kFile, kFifo, kLinkToUserFiles, kDanglingLink };
  struct Case {
    Thing thing;
    TemporaryList list;
  };
  const Case cases[] = {
      {Thing::kFile, TemporaryList::kRun},
      {Thing::kFifo, TemporaryList::kRun},
      {Thing::kLinkToUserFiles, TemporaryList::kRun},
      {Thing::kDanglingLink, TemporaryList::kRun},
      {Thing::kFile, TemporaryList::kKept},
      {Thing::kLinkToUserFiles, TemporaryList::kKept},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.thing) * 2 + static_cast<int>(c.list));
    const char* at = c.list == TemporaryList::kRun ? kStagedListPath : kKeptListPath;
    ts::makeDirs("/rw/data");
    ts::writeFile("/rw/data/config", "the user's");
    switch (c.thing) {
      case Thing::kFile:
        ts::writeFile(at, "not a list");
        break;
      case Thing::kFifo:
        ASSERT_EQ(mkfifo(at, 0600), 0);
        break;
      case Thing::kLinkToUserFiles:
        ASSERT_EQ(symlink("/rw/data", at), 0);
        break;
      case Thing::kDanglingLink:
        ASSERT_EQ(symlink("/rw/none", at), 0);
        break;
    }

    // A run lists its files in a list of its own, kept or removed as ever.
    TemporaryLog log;
    const std::string made = create(log, "/flash/bin");
    EXPECT_EQ(listedIn(kStagedListPath).count(made), 1u);
    if (c.list == TemporaryList::kKept) {
      keepRunTemporaries(log);
      EXPECT_EQ(listedIn(kKeptListPath).count(made), 1u);
    }
    EXPECT_TRUE(removeListedTemporaries(c.list));
    EXPECT_FALSE(ts::exists(made));
    EXPECT_FALSE(ts::exists(at));
    EXPECT_EQ(ts::readFile("/rw/data/config"), "the user's");
    EXPECT_EQ(ts::listDir("/rw/data").size(), 1u) << "nothing was written through the link";

    // Found at a start, the thing alone goes.
    ASSERT_EQ(symlink("/rw/data", at), 0);
    EXPECT_TRUE(temporariesListed(c.list));
    EXPECT_TRUE(removeListedTemporaries(c.list));
    EXPECT_FALSE(ts::exists(at));
    EXPECT_EQ(ts::readFile("/rw/data/config"), "the user's");
  }
}

// A root without a package database keeps no list and still stages.
TEST_F(TemporariesTest, NoDatabaseDirectoryMeansNoList) {
  ASSERT_EQ(rmdir("/flash/var/pdb"), 0);
  TemporaryLog log;
  const std::string path = create(log, "/ram");
  EXPECT_TRUE(ts::exists(path));
  EXPECT_FALSE(ts::exists(kStagedListPath));
}

}  // namespace
}  // namespace installer
