// A sandbox router root for runs of the real installer: packages are built
// by the package tool from descriptions, put into a download directory, and
// the installer runs with "-r" on the root.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/sandbox.h"

namespace testing_support {

inline constexpr char kDownloadDir[] = "/rw/pckg/.download/";
inline constexpr char kFlashRwDir[] = "/flash/rw/pckg/";
inline constexpr char kFlashVarDir[] = "/flash/var/pckg/";

// Files of a package, by their path inside the package ("bin/tool").
using PackageFiles = std::map<std::string, std::string>;

// A description for the package tool with a fixed build time; `lines` add
// fields ("provides: net").
std::string describe(const std::string& name, const std::string& version,
                     const std::vector<std::string>& lines = {});

class RouterRoot {
 public:
  // A root with the database directory, "/ram" and "/rw".
  RouterRoot();

  const std::string& path() const { return root_.path(); }
  std::string operator/(const std::string& inside) const { return root_ / inside; }

  // A package file signed with the development keys, built from a
  // description and files; `image` adds an image part with those bytes.
  // Empty when the package tool refused (the test has then failed).
  std::string build(const std::string& description, const PackageFiles& files = {},
                    const std::string* image = nullptr);

  // Puts a package file into a download directory.
  void download(const std::string& fileName, const std::string& bytes,
                const std::string& dir = kDownloadDir);
  // Empties every download directory.
  void clearDownloads();

  // The installer with "-r" on this root, then `args`.
  RunResult run(const std::vector<std::string>& args = {}, RunOptions options = {});
  // The installer run inside the root (for "--commit" and "--cancel").
  RunResult runInside(const std::vector<std::string>& args);

  // Downloads the files, runs an upgrade that must succeed, and clears the
  // download directories again: for building up an installed system.
  void install(const std::vector<std::pair<std::string, std::string>>& files);

  // Listing of everything under `inside`, without the message log and the
  // lock file that every run writes.
  std::string tree(const std::string& inside = "/flash") const;

  // The contents of a file inside the root, or "<missing>".
  std::string file(const std::string& inside) const;
  bool exists(const std::string& inside) const;

 private:
  TempRoot root_;
  TempRoot work_;
  int builds_ = 0;
};

// The message lines of a run's standard output: status lines and their
// erasures dropped, each line as it reads on the console at its end.
std::vector<std::string> messageLines(const std::string& out);

}  // namespace testing_support
