// What a manifest kept by "--safe" was made against: a fingerprint of the
// installed packages' records, so that "--commit" can tell whether any run
// changed the packages since. It is taken from the database as it stands
// (every record's metadata files), so that no commit has to write anything
// more for it, and kept in the kept list beside the staged files.
#pragma once

#include <optional>
#include <string>

namespace installer {

// The fingerprint of the database now: sixteen hex digits over the name and
// contents of every record's metadata files, in name order. Anything but a
// regular file counts as missing.
std::string databaseFingerprint();

// Records `fingerprint` in the kept list of a "--safe" run, made before;
// false with errno when it could not be.
[[nodiscard]] bool stampKeptList(const std::string& fingerprint);

// The fingerprint the "--safe" run of the kept list recorded; none when it
// recorded none (an older version's list, or a manifest made by hand).
std::optional<std::string> keptListFingerprint();

}  // namespace installer
