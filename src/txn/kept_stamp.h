// What a manifest kept by "--safe" was made against: a fingerprint of the
// installed packages' records, so that "--commit" can tell whether any run
// changed the packages since. It is taken from the database as it stands
// (every record's metadata files), so that no commit has to write anything
// more for it, and kept in the kept list beside the staged files.
#pragma once

#include <optional>
#include <string>

#include "txn/checked_source.h"

namespace installer {

// The fingerprint of the database now: sixteen hex digits over the name and
// contents of every record's metadata files, in name order. Anything but a
// regular file counts as missing.
std::string databaseFingerprint();

// The fingerprint of the package files a kept manifest moves into place as
// they are: of their paths and contents, in path order; empty when there
// are none, so that a list stamped before such files were counted still
// compares equal. (Their contents, not their inodes: the kept files are met
// again after a restart, where a file system may number them anew.)
std::string sourcesFingerprint(CheckedSources sources);

// Records `fingerprint` in the kept list of a "--safe" run, made before;
// false with errno when it could not be.
[[nodiscard]] bool stampKeptList(const std::string& fingerprint);

// The fingerprint the "--safe" run of the kept list recorded; none when it
// recorded none (an older version's list, or a manifest made by hand).
std::optional<std::string> keptListFingerprint();

}  // namespace installer
