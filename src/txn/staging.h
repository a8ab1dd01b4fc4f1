// Staging single files: new contents go to temporary files that the manifest
// moves into place at commit; removals and claims are manifest entries too.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "txn/manifest.h"
#include "txn/planning.h"

namespace installer {

// An output stream on a staged temporary file, written through the
// descriptor that mkstemp returned. close() flushes, applies the mode and
// closes; the stream state then tells whether every byte was stored.
class StagedFile : public std::ostream {
 public:
  // `written`, when given, grows by every byte that reaches the file.
  StagedFile(int fd, std::uint32_t mode, std::uint64_t* written = nullptr);
  // A file of a planning manifest: counts the bytes written into
  // `planning.sizes[source]` and stores nothing.
  StagedFile(Planning& planning, const std::string& source, std::uint32_t mode);
  ~StagedFile() override;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  void close();

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::uint32_t mode_;
  Planning* planning_ = nullptr;
  std::string source_;
};

// Creates a temporary file for `destination`, beside it when `sizeHint`
// bytes fit there with 64 KiB to spare, else in "/ram" (or "/tmp"), and
// records it as a kMoveStaged entry; for a planning manifest the file is
// only counted. When no temporary file can be made,
// nothing is recorded and the returned stream is already failed (errno
// tells why). A non-zero mode is applied when the stream is closed.
std::unique_ptr<StagedFile> createStagedFile(Manifest& m, const std::string& destination,
                                             std::uint64_t sizeHint, std::uint32_t mode);

// Stages the removal of an existing path; for a missing path, drops any
// pending entry instead (deleting the file staged for it in this run).
void stageRemoval(Manifest& m, const std::string& path);

// Whether `path` may become a new package directory: a pending removal of it
// is dropped, any other pending entry refuses it, and an existing non-directory
// (a link to a directory too) refuses it.
[[nodiscard]] bool claimPath(Manifest& m, const std::string& path);

}  // namespace installer
