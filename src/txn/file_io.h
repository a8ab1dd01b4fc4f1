// Plain file calls that the transaction, the post-install log and the tools
// share: writing a whole buffer, replacing a file whole, and opening a file
// that must be our own.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace installer {

// Writes every byte, going on after interruptions and short writes. False
// with errno set (EIO when the system wrote nothing and named no error).
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

// Where replacing a file through a temporary one failed.
enum class [[nodiscard]] ReplaceStep{kDone, kWrite, kMode, kClose, kRename};

// Puts `bytes` in place at `path` whole, so that a reader finds either the
// old file or the complete new one: writes them to `fd`, an open temporary
// file named `temporary` on the same file system, applies `mode` (0 leaves
// the mode as it is), flushes the file to the storage, closes it and renames
// it over `path`. Whatever the outcome `fd` is closed; on a failure the
// temporary is removed and errno tells why.
ReplaceStep replaceFromTemporary(int fd, const std::string& temporary, const std::string& path,
                                 std::string_view bytes, mode_t mode);

// Opens `path` with `flags` (close-on-exec added) when it is a regular file
// or, with O_CREAT, becomes one: a symbolic link in its place is not
// followed (what is written would land wherever it points), and anything
// else there (a FIFO, a device) is refused without being waited on. -1
// otherwise.
int openOwnRegularFile(const char* path, int flags, mode_t mode);

// Reads a control file (a journal, a list, a manifest) line by line. Only a
// regular file is opened (openOwnRegularFile): a FIFO or a link planted at
// the path reads as no file at all, and nothing waits on it.
class LineReader {
 public:
  explicit LineReader(const char* path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool opened() const { return fd_ >= 0; }
  // The next line without its newline. False at the end of the file, or on
  // a read error (failed() tells), with `line` empty. A last line without
  // its newline is returned with `whole` false.
  [[nodiscard]] bool next(std::string& line, bool& whole);
  bool failed() const { return failed_; }

 private:
  bool fill();

  int fd_ = -1;
  std::string buffer_;
  std::size_t at_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

}  // namespace installer
