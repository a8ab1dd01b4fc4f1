// Where a second core is free, a large payload is read, hashed and inflated
// on a second thread. A run must then be the run of one thread to the byte:
// console, status, tree, and every call that changes the file system, in the
// same order. Runs pinned to one core are the reference.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "package/format.h"
#include "support/fault_run.h"
#include "support/inflate_trace.h"
#include "support/install_fixtures.h"
#include "support/router_root.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/versions.h"

namespace {

namespace ts = testing_support;
using installer::PayloadEntry;

// Enough data, little of it compressible, for the payload to be worth a
// second thread: many small files and a few large ones.
std::vector<PayloadEntry> manyFiles() {
  std::vector<PayloadEntry> files;
  for (std::uint32_t i = 0; i < 80; ++i) {
    const std::size_t size = i % 20 == 0 ? 90000 : 500 + (i * 977) % 6000;
    files.push_back(ts::payloadEntry("data/file" + std::to_string(i), ts::mixedBytes(size, i),
                                     i % 3 == 0 ? 0100755 : 0100644));
  }
  return files;
}

std::string byteFlipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
  return bytes;
}

// The calls of a run, with the random part of temporary names blotted out:
// two runs draw different names for the same files.
std::string callsOf(const std::string& log) {
  static const std::regex kRandom("(tmp|\\.)[A-Za-z0-9]{6}(?=/| |$)");
  std::string text;
  for (const ts::FaultCall& call : ts::readFaultLog(log)) {
    text += call.kind + " " + std::regex_replace(call.detail, kRandom, "$1XXXXXX") + "\n";
  }
  return text;
}

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
  ts::TreeState tree;
  std::string calls;
};

class TwoThreads : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    if (ts::usableCoresOfTest() < 2) {
      GTEST_SKIP() << "one core: the installer reads with one thread whatever the test does";
    }
  }

  // A run on a fresh router root: the package on standard input (image mode)
  // or, when `download` is set, in the download directory (upgrade run).
  static Outcome run(const std::string& package, bool oneCore, bool download,
                     const std::map<std::string, std::string>& env) {
    ts::TempRoot root;
    ts::makeRouterDirs(root.path());
    ts::TempRoot logs;
    ts::FaultPlan plan;
    plan.log = logs / "/calls";
    ts::RunOptions options = ts::withFault({}, plan);
    options.oneCore = oneCore;
    for (const auto& [key, value] : env) options.env[key] = value;
    std::vector<std::string> args = {"-r", root.path()};
    if (download) {
      ts::writeFile(root / (std::string(ts::kDownloadDir) + "big.npk"), package);
    } else {
      args.push_back("-");
      options.input = package;
    }
    const ts::RunResult result = ts::runInstaller(args, options);
    return {result.status, result.out, result.err,
            ts::without(ts::snapshotTree(root.path()), {"/flash/var/pdb/.last-run"}),
            callsOf(plan.log)};
  }
};

TEST_F(TwoThreads, RunsAsOneThreadDoesToTheByte) {
  const installer::Package header = ts::fixtureHeader("big", ts::kV71);
  const std::string plain = ts::signedPackage(header, manyFiles());
  ts::FixtureOptions imaged;
  imaged.image = ts::mixedBytes(70000, 99);
  const std::string imageBased = ts::signedPackage(header, manyFiles(), imaged);
  std::vector<PayloadEntry> unsafe = manyFiles();
  unsafe.insert(unsafe.begin(), ts::payloadEntry("../escape", "out"));
  const std::string unsafeName = ts::signedPackage(header, unsafe);

  auto payloadOf = [](const std::string& file) {
    ts::PartSpan payload;
    for (const ts::PartSpan& part : ts::partSpans(file)) {
      if (part.type == installer::kPartPayload) payload = part;
    }
    return payload;
  };
  const ts::PartSpan payload = payloadOf(plain);
  ASSERT_GT(payload.length, 128u * 1024) << "too small to be read by a second thread";
  const std::string middle = std::to_string(payload.start + payload.length / 2);
  // Two pieces into the payload: one thread stops at the first entry.
  const std::string early = std::to_string(payloadOf(unsafeName).start + 8192);

  struct Case {
    const char* name;
    std::string package;
    bool download = false;
    std::map<std::string, std::string> env;
  };
  const Case cases[] = {
      {"a package on standard input", plain, false, {}},
      {"an image-based one, copied as it is read", imageBased, false, {}},
      {"one in the download directory", plain, true, {}},
      {"cut in the middle of its payload",
       plain.substr(0, payload.start + payload.length / 2),
       false,
       {}},
      {"a bit flipped in its payload",
       byteFlipped(plain, payload.start + payload.length / 3),
       false,
       {}},
      {"a bit flipped, image-based", byteFlipped(imageBased, imageBased.size() / 2), false, {}},
      {"standard input unreadable in the middle",
       plain,
       false,
       {{"FAULT_UNREADABLE", "-"}, {"FAULT_READ_AFTER", middle}}},
      // The second thread reads ahead into the failing read; the run stops
      // at the bad name before it, as one thread does, and must not tell of
      // a read it never made.
      {"an unsafe name first, standard input unreadable further on",
       unsafeName,
       false,
       {{"FAULT_UNREADABLE", "-"}, {"FAULT_READ_AFTER", early}}},
      {"a file unreadable in the middle",
       plain,
       true,
       {{"FAULT_UNREADABLE", std::string(ts::kDownloadDir) + "big.npk"},
        {"FAULT_READ_AFTER", middle}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome one = run(c.package, true, c.download, c.env);
    const Outcome two = run(c.package, false, c.download, c.env);
    EXPECT_EQ(one.status, two.status);
    EXPECT_EQ(one.out, two.out);
    EXPECT_EQ(one.err, two.err);
    EXPECT_EQ(one.tree, two.tree) << ts::describeDifference(one.tree, two.tree);
    EXPECT_EQ(one.calls, two.calls);
    EXPECT_GT(one.calls.size(), 0u);
  }
}

}  // namespace
