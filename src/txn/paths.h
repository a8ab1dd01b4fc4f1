// Path helpers shared by staging, the commit and the free-space estimate.
#pragma once

#include <string>

namespace installer {

// dirname() after dropping trailing slashes: "/a/b/" -> "/a", "a" -> ".", "/" -> ".".
std::string parentDir(const std::string& path);
// The nearest directory at or above `path` that exists now ("/" or "." when
// none does).
std::string existingDirAbove(std::string path);
// mkdir -p with mode 0777; reports nothing. False when the last mkdir failed
// for another reason than an existing entry.
[[nodiscard]] bool makeDirs(const std::string& path);

}  // namespace installer
