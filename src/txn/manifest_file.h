// The manifest file ("/ram/MANIFEST"): one "U path", "L path text" or
// "M path source" line per entry, kept for a later "--commit" or "--cancel".
#pragma once

#include <string>

#include "txn/manifest.h"

namespace installer {

// Writes the manifest file through a temporary file renamed into place.
// False when it could not be written completely or holds an entry that would
// not read back as itself (a newline in a field, a blank in a target path).
// A planning manifest is never written.
[[nodiscard]] bool writeManifest(Manifest& m, const std::string& path);
// Adds the entries of a manifest file; every move reads back as kMove.
[[nodiscard]] bool readManifest(Manifest& m, const std::string& path);

}  // namespace installer
