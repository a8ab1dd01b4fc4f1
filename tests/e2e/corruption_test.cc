// Corrupted package files installed by the real installer: every byte of a
// package's header parts and a spread of its other bytes flipped one at a
// time, and the file cut at every part boundary and at other offsets. Each
// run must refuse the package -- the reason printed, in the image mode a
// non-zero status -- and leave the router's tree exactly as it was, with no
// temporary file behind; or install exactly what the intact package
// installs. FAULT_SWEEP_FULL=1 flips every byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/signature.h"
#include "support/fault_run.h"
#include "support/install_fixtures.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/versions.h"

namespace {

namespace ts = testing_support;
using installer::makeVersion;
using installer::PayloadEntry;
using testing_support::kV71;
using testing_support::kV72;

installer::Package header(installer::Version version) {
  installer::Package p = ts::fixtureHeader("tool", version);
  p.arch = "i386";
  p.note = "a tool";
  p.provides = {{"tooling", 0, 0, 1}};
  p.conflicts = {{"old-tool", 0, 0, 0}};
  return p;
}

// "tool" 7.2 as the package tool lays it out (the SHA-256 switch before the
// header, so that the header is signed too), replacing an installed 7.1.
std::string installed() {
  return ts::signedPackage(header(makeVersion(7, 1, installer::kStageFinal, 0)),
                           {ts::payloadEntry("bin/tool", "tool 7.1", 0100755),
                            ts::payloadEntry("share/doc/old", "old")});
}

std::string candidate() {
  return ts::signedPackage(
      header(makeVersion(7, 2, installer::kStageFinal, 0)),
      {ts::payloadEntry("bin/tool", "tool 7.2 " + std::string(300, 't'), 0100755),
       ts::payloadEntry("etc/tool.conf", "setting=1\n"),
       ts::payloadEntry("lib/libtool.so", std::string(3000, 'L'))});
}

constexpr char kDownload[] = "/rw/pckg/.download/tool-7.2.npk";

// Everything in the root but the message log, which every run writes, and
// the downloaded package file, which differs from case to case (a plain
// package file stays where it was downloaded).
ts::TreeState routerTree(const std::string& root) {
  return ts::without(ts::snapshotTree(root), {"/flash/postlog", kDownload});
}

struct Mode {
  std::string name;
  // Puts the package where the mode finds it and runs the installer.
  std::function<ts::RunResult(const std::string& root, const std::string& package)> run;
  bool failureStatus;  // a refusal ends with a non-zero status
};

ts::RunResult imageMode(const std::string& root, const std::string& package) {
  ts::RunOptions options = ts::withFault({});
  options.input = package;
  return ts::runInstaller({"-r", root, "-"}, options);
}

ts::RunResult upgradeRun(const std::string& root, const std::string& package) {
  ts::writeFile(root + kDownload, package);
  return ts::runInstaller({"-r", root}, ts::withFault({}));
}

struct Case {
  std::string label;
  std::string bytes;
};

// The byte ranges of the file: the file header and each part's header,
// with whether the part's data counts as a header part (everything but the
// payload and the signature data, which are sampled instead).
struct Layout {
  std::vector<std::size_t> headerBytes;
  std::vector<std::size_t> otherBytes;
  std::vector<std::size_t> boundaries;
};

Layout layoutOf(const std::string& file) {
  Layout layout;
  for (std::size_t i = 0; i < installer::kFileHeaderSize; ++i) layout.headerBytes.push_back(i);
  layout.boundaries.push_back(installer::kFileHeaderSize);
  for (const ts::PartSpan& span : ts::partSpans(file)) {
    const std::size_t headerAt = span.start - installer::kPartHeaderSize;
    for (std::size_t i = headerAt; i < span.start; ++i) layout.headerBytes.push_back(i);
    const bool described =
        span.type != installer::kPartPayload && span.type != installer::kPartSignature;
    for (std::size_t i = span.start; i < span.start + span.length && i < file.size(); ++i) {
      (described ? layout.headerBytes : layout.otherBytes).push_back(i);
    }
    layout.boundaries.push_back(span.start);
    layout.boundaries.push_back(span.start + span.length);
  }
  return layout;
}

std::vector<Case> corruptions(const std::string& good) {
  const Layout layout = layoutOf(good);
  std::vector<Case> cases;
  auto flip = [&](std::size_t at, unsigned char mask) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ mask);
    char label[64];
    std::snprintf(label, sizeof label, "byte %zu ^ 0x%02x", at, mask);
    cases.push_back({label, bytes});
  };
  for (std::size_t at : layout.headerBytes) {
    flip(at, 0xFF);
    flip(at, 0x01);
  }
  const std::size_t step = ts::fullSweep() ? 1 : layout.otherBytes.size() / 60 + 1;
  for (std::size_t i = 0; i < layout.otherBytes.size(); i += step) flip(layout.otherBytes[i], 0xFF);
  if (!layout.otherBytes.empty()) flip(layout.otherBytes.back(), 0xFF);

  std::vector<std::size_t> cuts = layout.boundaries;
  for (std::size_t at = 1; at < good.size(); at += ts::fullSweep() ? 1 : 37) cuts.push_back(at);
  cuts.push_back(0);
  cuts.push_back(good.size() - 1);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (std::size_t at : cuts) {
    if (at >= good.size()) continue;
    cases.push_back({"cut at " + std::to_string(at), good.substr(0, at)});
  }
  return cases;
}

class Corruption : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeRouterDirs(prepared_.path());
  }

  ts::SweepCounts sweep(const Mode& mode) {
    const std::string good = candidate();
    return sweep(mode, good, corruptions(good));
  }

  ts::SweepCounts sweep(const Mode& mode, const std::string& good, const std::vector<Case>& cases) {
    const ts::TreeState before = routerTree(prepared_.path());
    ts::CaseRoot clean(area_);
    ts::copyTree(prepared_.path(), clean.path());
    const ts::RunResult intact = mode.run(clean.path(), good);
    EXPECT_EQ(intact.status, 0) << intact.out << intact.err;
    const ts::TreeState after = routerTree(clean.path());
    EXPECT_NE(before, after);

    ts::SweepCounts counts;
    counts.name = "corruption, " + mode.name;
    for (const Case& c : cases) {
      if (c.bytes == good) continue;
      ts::CaseRoot root(area_);
      ts::copyTree(prepared_.path(), root.path());
      const ts::RunResult result = mode.run(root.path(), c.bytes);
      const ts::TreeState now = routerTree(root.path());
      ++counts.tried;
      const bool printed = result.out.find("ERROR: ") != std::string::npos ||
                           result.out.find("WARNING: ") != std::string::npos;
      const bool failed = mode.failureStatus ? result.status != 0 : result.status == 0;
      if (ts::sanitizerReported(result)) {
        counts.other.push_back(mode.name + ", " + c.label + ": sanitizer report\n" + result.err);
      } else if (now == before && failed && printed) {
        ++counts.refused;
      } else if (now == after && result.status == 0) {
        ++counts.acceptedIdentical;
        if (std::getenv("FAULT_SWEEP_VERBOSE") != nullptr) {
          std::printf("identical: %s, %s\n", mode.name.c_str(), c.label.c_str());
        }
      } else {
        counts.other.push_back(mode.name + ", " + c.label + ": status " +
                               std::to_string(result.status) +
                               (printed ? "" : ", no reason printed") + "\n" +
                               (now == before ? std::string("  tree unchanged\n")
                                              : ts::describeDifference(before, now)) +
                               result.out + result.err);
      }
    }
    counts.print();
    return counts;
  }

  ts::SweepArea area_;
  ts::CaseRoot prepared_{area_};
};

TEST_F(Corruption, ImageModeRefusesOrInstallsTheIntactPackage) {
  const ts::RunResult first = imageMode(prepared_.path(), installed());
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const ts::SweepCounts counts = sweep({"image mode", imageMode, true});
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

// An installed bundle, and its next version whose first member is the
// installed one (passed over as installed) while the second is new.
std::string suite(installer::Version version, const std::vector<ts::FixturePackage>& members) {
  installer::Package bundle = ts::fixtureHeader("suite", version);
  bundle.isBundle = true;
  return ts::bundleFile(bundle, members);
}

ts::FixturePackage member(const std::string& name, installer::Version version) {
  ts::FixturePackage p(ts::fixtureHeader(name, version));
  p.files = {ts::payloadEntry("bin/" + name, name + " " + std::to_string(version))};
  return p;
}

// Flips of the passed-over member's signature part: of its part header
// (`framing`) and of every byte of the Ed25519 signature it carries
// (`signature`).
void passedOverSignatureFlips(const std::string& good, std::vector<Case>& framing,
                              std::vector<Case>& signature) {
  for (const ts::PartSpan& span : ts::partSpans(good)) {
    if (span.type != installer::kPartSignature) continue;
    auto flip = [&](std::vector<Case>& into, std::size_t at, unsigned char mask) {
      std::string bytes = good;
      bytes[at] = static_cast<char>(bytes[at] ^ mask);
      into.push_back({"signature byte " + std::to_string(at), bytes});
    };
    for (std::size_t at = span.start - installer::kPartHeaderSize; at < span.start; ++at) {
      flip(framing, at, 0xFF);
      flip(framing, at, 0x01);
    }
    for (std::size_t i = installer::kEd25519Offset; i < installer::kFullSignatureSize; ++i) {
      flip(signature, span.start + i, 0x01);
    }
    return;  // the first member's
  }
}

class PassedOverMember : public Corruption {
 protected:
  void check(const Mode& mode) {
    const ts::RunResult first =
        imageMode(prepared_.path(), suite(kV71, {member("a", kV71), member("b", kV71)}));
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    ts::makeDirs(prepared_ / "/rw/pckg/.download");
    const std::string good = suite(kV72, {member("a", kV71), member("b", kV72)});
    std::vector<Case> framing;
    std::vector<Case> signature;
    passedOverSignatureFlips(good, framing, signature);
    ASSERT_FALSE(signature.empty());
    const ts::SweepCounts framed = sweep(mode, good, framing);
    for (const auto& failure : framed.other) ADD_FAILURE() << failure;
    // No flip of the signature itself is let through.
    const ts::SweepCounts signed_ = sweep(mode, good, signature);
    for (const auto& failure : signed_.other) ADD_FAILURE() << failure;
    EXPECT_EQ(signed_.refused, signed_.tried);
  }
};

TEST_F(PassedOverMember, ImageModeRefusesEveryFlipOfItsSignature) {
  check({"image mode, passed-over member", imageMode, true});
}

TEST_F(PassedOverMember, UpgradeRunRefusesEveryFlipOfItsSignature) {
  check({"upgrade run, passed-over member", upgradeRun, false});
}

TEST_F(Corruption, UpgradeRunRefusesOrInstallsTheIntactPackage) {
  const ts::RunResult first = imageMode(prepared_.path(), installed());
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ts::makeDirs(prepared_ / "/rw/pckg/.download");
  // A refused package leaves the upgrade run's status at 0: the reason is
  // printed, and the tree must not change.
  const ts::SweepCounts counts = sweep({"upgrade run", upgradeRun, false});
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

}  // namespace
