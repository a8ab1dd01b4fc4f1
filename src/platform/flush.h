// Making what a run wrote reach the storage: one flush per file system
// instead of one per file.
#pragma once

#include <string>

namespace installer {

// Flushes every change (file data and names) of the file system that holds
// `path`, which must exist. False, with errno set, when it could not be done.
[[nodiscard]] bool flushFileSystemOf(const std::string& path);

}  // namespace installer
