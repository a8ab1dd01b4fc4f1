// Package files that a commit moves into place as they are (a downloaded
// image-based package becomes its kept image): their signature was checked
// as they were read, and the commit must move exactly those bytes. Whoever
// can write the download directory could put another file at the name, or
// write into it, between the check and the rename (after "--safe", until
// the "--commit"); the file's identity taken when it was opened tells.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace installer {

// What changes when a file is replaced or written to: its inode, its size,
// and its change and modification times to the nanosecond.
struct SourceIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;   // nanoseconds
  bool operator==(const SourceIdentity&) const = default;
};

using CheckedSources = std::vector<std::pair<std::string, SourceIdentity>>;

// The identity of the open file `fd`; false when it cannot be had.
[[nodiscard]] bool identityOfOpenFile(int fd, SourceIdentity& identity);
// The identity of what stands at `path` now, a link itself (a rename moves
// the link, not what it points to); false when nothing does.
[[nodiscard]] bool identityAt(const std::string& path, SourceIdentity& identity);

// Whether a package file stands directly in a download directory: the
// upgrade run moves image-based ones into place as they are.
bool isDownloadedPackage(const std::string& path);

// The reason given for a checked source that changed.
inline constexpr const char* kChangedSinceChecked = "changed since its signature was checked";

// The first of `sources` that is no longer the file that was checked;
// empty when every one still is.
std::string changedSource(const CheckedSources& sources);

}  // namespace installer
