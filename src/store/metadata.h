// The package database on flash: one directory per installed package holding
// small text files. Writing goes through the manifest; reading fills records.
#pragma once

#include <string>
#include <vector>

#include "console/run_output.h"
#include "records/package.h"
#include "store/file_text.h"
#include "txn/manifest.h"

namespace installer {

// Stages "version", "deps", "provides", "conflicts", "bundle", "files" and
// the state files of `p`. False after a write failure, already reported.
[[nodiscard]] bool writeMetadata(RunOutput& output, const InstalledPackage& p, Manifest& m);
[[nodiscard]] bool writeDependencyFile(Manifest& m, const std::string& path,
                                       const std::vector<Dependency>& list, bool withPriority);
// Stages "disabled" (content "user" or "auto") or "enabled" ("user") for
// the record's current state, removing the other; false after a write
// failure, already reported.
[[nodiscard]] bool writeStateFiles(RunOutput& output, const InstalledPackage& p, Manifest& m);

// Appends the entries of a "deps"/"provides"/"conflicts" file; false when
// malformed or unreadable (entries read before the fault stay). A missing
// file is empty.
[[nodiscard]] bool readDependencyFile(const std::string& path, std::vector<Dependency>& list,
                                      bool withPriority);

// The per-file reading rules; each marks the record for uninstall where the
// file is broken. `listing`, when given, lists the package's directory: a
// file it lacks counts as absent without being looked for. A file that is
// there and cannot be read is noted in `failures`, when given.
void readVersionFile(InstalledPackage& p, const DirectoryListing* listing = nullptr,
                     ReadFailures* failures = nullptr);
void readDependencyFiles(InstalledPackage& p, const DirectoryListing* listing = nullptr,
                         ReadFailures* failures = nullptr);
void readBundleFile(InstalledPackage& p, const DirectoryListing* listing = nullptr,
                    ReadFailures* failures = nullptr);
void readFilesFile(InstalledPackage& p, const DirectoryListing* listing = nullptr,
                   ReadFailures* failures = nullptr);
void readStateFiles(InstalledPackage& p, const DirectoryListing* listing = nullptr,
                    ReadFailures* failures = nullptr);

}  // namespace installer
