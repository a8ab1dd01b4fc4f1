// The record of the calls by which a run changed the file system, as the
// fault library writes it (FAULT_RECORD=FILE), and its reader.
//
// The file is a sequence of events in the order the calls returned; only
// calls that succeeded are recorded. Each event is one line of fields
// separated by one blank, the first field its sequence number (from 1), the
// second the call:
//
//   N open FD FLAGS CREATED MODE PATH   every open that gave a descriptor,
//                                       read-only ones too (so that later
//                                       calls on FD can be placed): open,
//                                       openat, creat, fopen, opendir;
//                                       FLAGS in hex, CREATED 1 when the
//                                       call made the file, MODE (octal) the
//                                       file's mode after the call
//   N mkstemp FD MODE PATH              the name mkstemp/mkostemp made
//   N write FD OFFSET LENGTH            write, pwrite, writev (not on the
//                                       descriptors 0 to 2, nor on pipes):
//                                       followed by the LENGTH bytes
//                                       written, as they are, and a newline
//   N truncate FD LENGTH                ftruncate
//   N truncate-path LENGTH PATH         truncate
//   N rename FROM TO                    rename, renameat, renameat2
//   N link FROM TO                      link, linkat
//   N symlink PATH TEXT                 symlink, symlinkat
//   N unlink PATH                       unlink, unlinkat, remove of a file
//   N rmdir PATH                        rmdir, unlinkat(AT_REMOVEDIR),
//                                       remove of a directory
//   N mkdir MODE PATH                   mkdir, mkdirat (MODE as made)
//   N chmod MODE PATH                   chmod, fchmodat
//   N fchmod FD MODE
//   N fsync FD [SIZE] | fdatasync FD [SIZE] | syncfs FD | sync
//   N sync_file_range FD OFFSET LENGTH FLAGS
//   N close FD [SIZE]                   close, fclose, closedir
//   N dup FD COPY                       dup, dup2, dup3, fcntl(F_DUPFD...)
//   N chroot PATH | chdir PATH          where later paths lead
//
// SIZE, where given, is the size of the file (-1: not a regular file) when
// the call was made: a replay that saw other writes than the file got
// (through a path the library does not see) refuses the record.
//
// A record holds the calls of one process. Paths are absolute, as the process saw them when it made
// the call (below its changed root after a chroot): relative names and names relative to a
// directory descriptor are resolved by the library. Paths and link texts
// are escaped: each byte up to 0x20, "%" and each byte from 0x7f is written
// as "%" and two hex digits. Modes are octal, offsets and lengths decimal.
// Descriptors are the process's numbers; an event on a descriptor means the
// file it was opened on, which the reader of the record follows by the open
// events. A name relative to a descriptor the library did not see opened
// reads "?fdN/NAME": such a record cannot be replayed. "rename-exchange"
// stands for renameat2 with RENAME_EXCHANGE, which a replay refuses too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace powercut {

enum class CallKind {
  kOpen,
  kMkstemp,
  kWrite,
  kTruncate,
  kTruncatePath,
  kRename,
  kLink,
  kSymlink,
  kUnlink,
  kRmdir,
  kMkdir,
  kChmod,
  kFchmod,
  kFsync,
  kFdatasync,
  kSyncfs,
  kSync,
  kSyncFileRange,
  kClose,
  kDup,
  kChroot,
  kChdir,
};

struct Call {
  long seq = 0;
  CallKind kind = CallKind::kSync;
  int fd = -1;
  int flags = 0;  // open flags; sync_file_range flags
  bool created = false;
  unsigned mode = 0;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::int64_t size = -1;  // the file's size, for fsync, fdatasync, close
  std::string path;        // the path, or the source of rename and link
  std::string path2;       // the target of rename and link, the text of a symlink
  std::string data;        // the bytes of a write
};

const char* callName(CallKind kind);

// One event as a line of the record (for writes without their data), for
// messages.
std::string describe(const Call& call);

struct RecordOrError {
  std::vector<Call> calls;
  std::string error;  // empty when the whole record was read
};
RecordOrError readCallRecord(const std::string& path);
RecordOrError parseCallRecord(const std::string& text);

// The escaping of paths in the record, for writers of hand-made records.
std::string escapeField(const std::string& text);
std::optional<std::string> unescapeField(const std::string& text);

}  // namespace powercut
