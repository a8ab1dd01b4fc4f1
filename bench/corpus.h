// Deterministic inputs of the benchmarks: file trees of a given size and
// compressibility, installed-package databases, and candidate package files
// with several versions per name and dependency chains.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "records/package.h"
#include "records/repository.h"

namespace bench {

// Calls `visit` with the relative path and contents of each file of the
// tree that writeTree writes, in order.
bool forEachTreeFile(std::uint64_t files, std::uint64_t bytes, std::uint64_t seed,
                     const std::function<bool(const std::string&, const std::string&)>& visit);

// Writes `files` regular files holding `bytes` bytes in all below `dir`
// (created), about 50 to a directory. Most files are text, the others look
// like program code; the whole tree deflates to about 0.3 of its size. The
// same arguments always give the same tree.
bool writeTree(const std::string& dir, std::uint64_t files, std::uint64_t bytes, std::uint64_t seed,
               std::string& error);

// "p00042".
std::string packageName(std::size_t index);

// The installed records of a database of `count` packages with
// `filesPerPackage` files each: version 7.1, in dependency chains of ten
// (each package needs the one before it), every fifth one providing a
// capability. With `brokenChains`, the first package of every fourth chain
// needs a package that is not installed, so that settling the scheduled
// actions uninstalls that whole chain.
std::vector<std::unique_ptr<installer::InstalledPackage>> installedRecords(
    std::size_t count, std::size_t filesPerPackage, bool brokenChains);

// `count` candidate package records: `versionsPerName` versions (7.2 and up)
// of the first count / versionsPerName installed names, each needing at
// least the same version of the package before it in its chain.
std::vector<std::unique_ptr<installer::PackageFile>> candidateRecords(std::size_t count,
                                                                      std::size_t versionsPerName);

// Writes the database of `records` (metadata through the installer's own
// writer, and each package's files) into the router root `root`. Runs in a
// child process that changes its root directory, so it needs the right to.
bool writeDatabase(const std::string& root,
                   const std::vector<std::unique_ptr<installer::InstalledPackage>>& records,
                   std::string& error);

// Writes each candidate as a signed package file with a small payload into
// `dir`, named NAME-VERSION.npk.
bool writeCandidateFiles(const std::string& dir,
                         const std::vector<std::unique_ptr<installer::PackageFile>>& candidates,
                         std::string& error);

// Writes a signed bundle "suite" of version 7.MINOR with `members` members
// (m00000, m00001, ...), each with one small file, in dependency chains of
// ten (each member needs the one before it), every fifth one providing a
// capability. From minor 2 on every hundredth member (one that no member
// needs) is left out, so that an upgrade also uninstalls members that the
// bundle no longer brings.
bool writeBundleFile(const std::string& path, std::size_t members, std::size_t minor,
                     std::string& error);

}  // namespace bench
