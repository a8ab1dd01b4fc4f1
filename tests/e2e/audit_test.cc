// pkgtool audit on an installed router root: a changed byte, a removed
// file, a changed mode and a stray file are found, packages kept as their
// package file are checked against it, the others against a release.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>

#include "support/install_fixtures.h"
#include "support/router_root.h"
#include "support/sandbox.h"
#include "support/versions.h"

namespace {

namespace ts = testing_support;
using installer::kStageFinal;
using installer::makeVersion;
using installer::PayloadEntry;
using testing_support::kV71;

ts::FixturePackage package(const std::string& name, const std::vector<std::string>& files) {
  ts::FixturePackage p(ts::fixtureHeader(name, kV71));
  for (const std::string& file : files) {
    PayloadEntry e;
    e.name = file;
    e.data = "contents of " + file;
    e.mode = 0100755;
    p.files.push_back(e);
  }
  return p;
}

class Audit : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    root_ = installedRoot();
  }

  // A router with a plain package, an image-based one and a bundle.
  std::unique_ptr<ts::RouterRoot> installedRoot() {
    auto root = std::make_unique<ts::RouterRoot>();
    const std::string system = ts::packageFile(package("system", {"bin/system", "etc/system"}));
    ts::FixturePackage firmware = package("firmware", {"lib/firmware.bin"});
    firmware.image = "kept";
    installer::Package suite = ts::fixtureHeader("suite", kV71);
    suite.isBundle = true;
    root->install({{"system.npk", system},
                   {"firmware.npk", ts::packageFile(firmware)},
                   {"suite.npk", ts::bundleFile(suite, {package("a", {"bin/a"})})}});
    // The release: the plain package's file, as shipped.
    ts::writeFile(release_ / "/system.npk", system);
    return root;
  }

  ts::RunResult audit(bool withRelease = true) {
    std::vector<std::string> args = {"audit", "--root", root_->path()};
    if (withRelease) args.insert(args.end(), {"--against", release_.path()});
    ts::RunOptions options;
    options.timeoutSeconds = 20;  // a run that waits on a FIFO is killed
    return ts::runPkgtool(args, options);
  }

  std::unique_ptr<ts::RouterRoot> root_;
  ts::TempRoot release_;
};

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string joined;
    for (std::string w; words >> w;) joined += (joined.empty() ? "" : " ") + w;
    lines.push_back(joined);
  }
  return lines;
}

TEST_F(Audit, AnIntactRouterHasNoDifferencesAndNothingIsWritten) {
  const std::string before = ts::treeListing(root_->path(), true);
  const ts::RunResult r = audit();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "no differences\n");
  EXPECT_EQ(ts::treeListing(root_->path(), true), before);

  // Without the release the plain package cannot be compared; that is said,
  // and is no difference.
  const ts::RunResult alone = audit(false);
  EXPECT_EQ(alone.status, 0);
  EXPECT_EQ(wordsOf(alone.out),
            (std::vector<std::string>{
                "unchecked system-7.1 no package file to compare with (see --against)",
                "no differences"}));
}

TEST_F(Audit, FindsEachKindOfDifference) {
  struct Case {
    std::string name;
    std::function<void(const ts::RouterRoot&)> change;
    std::string finding;
  };
  const Case cases[] = {
      {"a changed byte",
       [](const ts::RouterRoot& r) {
         ts::writeFile(r / "/flash/bin/system", "contents of bin/systen", 0755);
       },
       "changed /flash/bin/system system: content differs"},
      {"a longer file",
       [](const ts::RouterRoot& r) {
         ts::writeFile(r / "/flash/etc/system", "contents of etc/system!", 0755);
       },
       "changed /flash/etc/system system: content differs"},
      {"a removed file", [](const ts::RouterRoot& r) { unlink((r / "/flash/etc/system").c_str()); },
       "missing /flash/etc/system system"},
      {"a changed mode",
       [](const ts::RouterRoot& r) { chmod((r / "/flash/bin/system").c_str(), 0644); },
       "mode /flash/bin/system system: mode 0644, package has 0755"},
      {"a kept image's file",
       [](const ts::RouterRoot& r) { ts::writeFile(r / "/flash/lib/firmware.bin", "other", 0755); },
       "changed /flash/lib/firmware.bin firmware: content differs"},
      {"a bundle member's file",
       [](const ts::RouterRoot& r) { ts::writeFile(r / "/flash/bin/a", "other", 0755); },
       "changed /flash/bin/a a: content differs"},
      // Never opened: it would wait for a writer.
      {"a FIFO in a file's place",
       [](const ts::RouterRoot& r) {
         unlink((r / "/flash/bin/system").c_str());
         mkfifo((r / "/flash/bin/system").c_str(), 0755);
       },
       "changed /flash/bin/system system: content differs"},
      {"a file no package lists",
       [](const ts::RouterRoot& r) { ts::writeFile(r / "/flash/bin/intruder", "x"); },
       "unowned /flash/bin/intruder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    root_ = installedRoot();
    c.change(*root_);
    const ts::RunResult r = audit();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(wordsOf(r.out), (std::vector<std::string>{c.finding, "1 difference"})) << r.out;
  }
}

// A FIFO among the release's package files is no package file, and is not
// waited on.
TEST_F(Audit, AFifoAmongThePackageFilesIsPassedOver) {
  ASSERT_EQ(mkfifo((release_ / "/waiting.npk").c_str(), 0644), 0);
  const ts::RunResult r = audit();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "no differences\n");
}

}  // namespace
