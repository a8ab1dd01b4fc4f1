// The manifest file ("/ram/MANIFEST"): one "U path", "L path text" or
// "M path source" line per entry, kept for a later "--commit" or "--cancel".
#pragma once

#include <cstddef>
#include <string>

#include "txn/manifest.h"

namespace installer {

// Writes the manifest file through a temporary file renamed into place.
// False when it could not be written completely or holds an entry that would
// not read back as itself (a newline in a field, a blank in a target path).
// A planning manifest is never written.
[[nodiscard]] bool writeManifest(Manifest& m, const std::string& path);
enum class ManifestLoad {
  kLoaded,     // read to its end (or to an empty line, which ends it)
  kMissing,    // no manifest there: nothing, or no regular file
  kReadError,  // the file could not be read to its end
  kMalformed,  // a line has too few fields: reading stopped there
};

struct ManifestRead {
  ManifestLoad load = ManifestLoad::kMissing;
  // The lines taken in before the end, the read error or the malformed line
  // (skipped lines of an unknown kind included).
  std::size_t lines = 0;
};

// Adds the entries of a manifest file; every move reads back as kMove. The
// entries of the lines read before a read error or a malformed line stay
// in `m`, and a later line for a path replaces an earlier one.
[[nodiscard]] ManifestRead readManifest(Manifest& m, const std::string& path);

}  // namespace installer
