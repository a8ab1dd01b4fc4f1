// Reading a small database file whole, without setting up a stream for the
// many files that are absent (most packages have no "conflicts" file, say).
#pragma once

#include <dirent.h>

#include <string>
#include <string_view>
#include <vector>

namespace installer {

// What became of reading one file. Anything but a regular file where one is
// expected (a FIFO, a socket, a device, a directory) counts as missing and
// is never opened: opening a FIFO alone would wait for a writer for ever.
enum class FileRead {
  kRead,
  kMissing,
  kFailed,  // it is there and could not be read (errno tells why)
};

// Replaces `text` with the contents of `path`.
[[nodiscard]] FileRead readFileText(const std::string& path, std::string& text);
// kRead when `path` names a regular file (following links), without
// opening it.
[[nodiscard]] FileRead probeRegularFile(const std::string& path);

// The first file of the database that could not be read. Such a file is no
// broken package: what it holds is unknown, so the run must not act on it.
class ReadFailures {
 public:
  void note(const std::string& path) {
    if (first_.empty()) first_ = path;
  }
  bool any() const { return !first_.empty(); }
  const std::string& first() const { return first_; }

 private:
  std::string first_;
};

// The names in one directory with their kinds, listed once so that a file
// the listing lacks is not opened only to find it absent.
class DirectoryListing {
 public:
  // False when the directory cannot be listed; nothing is known then.
  [[nodiscard]] bool list(const std::string& dir);
  bool has(std::string_view name) const;
  // DT_REG, DT_DIR, ... as the listing says; DT_UNKNOWN when it does not
  // say, or the name is absent (has() tells which).
  unsigned char kind(std::string_view name) const;

 private:
  struct Entry {
    std::string name;
    unsigned char kind;
  };
  std::vector<Entry> entries_;
};

// readFileText of `dir` + `name`, kMissing at once when `listing` is given
// and lacks the name or lists it as no regular file. A file that cannot be
// read is noted in `failures` when given.
[[nodiscard]] FileRead readListedFile(const std::string& dir, std::string_view name,
                                      const DirectoryListing* listing, std::string& text,
                                      ReadFailures* failures = nullptr);
// probeRegularFile in the same way.
[[nodiscard]] FileRead probeListedFile(const std::string& dir, std::string_view name,
                                       const DirectoryListing* listing,
                                       ReadFailures* failures = nullptr);

}  // namespace installer
