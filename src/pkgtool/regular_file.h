// Package files and installed files opened by pkgtool: only regular files.
// A FIFO would make the open (or the first read) wait for a writer for ever,
// and a device could deliver bytes without end.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "package/fd_input.h"

namespace installer {

enum class RegularOpen {
  kOpened,
  kNotRegular,  // there, but a FIFO, a device, a directory or a socket
  kFailed,      // missing or unreadable (errno tells why)
};

// A read-only stream over one regular file. The kind is checked on the
// opened descriptor, so nothing can be put in the file's place between the
// check and the reads.
class RegularFileStream : public std::istream {
 public:
  RegularFileStream() : std::istream(nullptr) {}
  ~RegularFileStream() override;
  RegularFileStream(const RegularFileStream&) = delete;
  RegularFileStream& operator=(const RegularFileStream&) = delete;

  [[nodiscard]] RegularOpen open(const std::string& path);
  // The file's size when it was opened.
  std::uint64_t size() const { return size_; }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::unique_ptr<FdInputBuf> buffer_;
};

}  // namespace installer
