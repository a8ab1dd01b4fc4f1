// The upgrade run: package files from the download directories, planned,
// installed and kept as images.
#pragma once

#include <string>
#include <vector>

#include "console/run_output.h"
#include "plan/install_flags.h"
#include "records/package.h"
#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// What an upgrade run did with its package files, for a caller that shows
// the run's decisions; the reasons are the messages the run printed.
struct UpgradeTrace {
  struct File {
    std::string label;  // packageLabel
    std::string path;
    int result = -1;  // of installFromStream; -1 when not installed at all
  };
  std::vector<File> found;    // every usable file, in the order read
  std::vector<File> planned;  // those planning kept, in installation order
  bool failed = false;        // a file failed and the manifest was cancelled
};

// Why an upgrade run stopped with nothing installed, where its caller ends
// the run with a status of its own.
struct UpgradeStop {
  enum class Reason {
    kNone,
    kUnreadable,  // a package file could not be read (reported: "could not read PATH")
    kNoSpace,     // a file of a package cannot fit the flash (not reported)
  };
  Reason reason = Reason::kNone;
  std::string path;  // kUnreadable: the package file
};

// The packages installed, in installation order; empty after a failure
// (the manifest is then cancelled). The package files come from the first
// download directory that holds one, or from every one of `dirs` when
// given. `trace`, when given, receives what became of each file; `stop`
// why the run stopped, when it did for a reason its caller reports.
std::vector<Package> runUpgrade(Repository& repo, RunOutput& output, Manifest& m,
                                InstallFlags flags, const std::vector<std::string>& dirs = {},
                                UpgradeTrace* trace = nullptr, UpgradeStop* stop = nullptr);
// Appends the usable package files of `dir` to `list`. False, with the path
// in `unreadable` when given, as soon as a file could not be read.
bool scanPackageDir(RunOutput& output, const std::string& dir,
                    std::vector<std::unique_ptr<PackageFile>>& list,
                    std::string* unreadable = nullptr);

}  // namespace installer
