// Reading a small database file whole, without setting up a stream for the
// many files that are absent (most packages have no "conflicts" file, say).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace installer {

// Replaces `text` with the contents of `path`; false when the file cannot be
// opened. A read error ends the text where it happened.
[[nodiscard]] bool readFileText(const std::string& path, std::string& text);

// The names in one directory, listed once so that a file the listing lacks
// is not opened only to find it absent.
class DirectoryListing {
 public:
  // False when the directory cannot be listed; nothing is known then.
  [[nodiscard]] bool list(const std::string& dir);
  bool has(std::string_view name) const;

 private:
  std::vector<std::string> names_;
};

// readFileText of `dir` + `name`; false at once when `listing` is given and
// lacks the name.
[[nodiscard]] bool readListedFile(const std::string& dir, std::string_view name,
                                  const DirectoryListing* listing, std::string& text);

}  // namespace installer
