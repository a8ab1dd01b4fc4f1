// Plain file calls that the transaction, the post-install log and the tools
// share: writing a whole buffer, and opening a file that must be our own.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace installer {

// Writes every byte, going on after interruptions and short writes. False
// with errno set (EIO when the system wrote nothing and named no error).
[[nodiscard]] bool writeAll(int fd, std::string_view bytes);

// Opens `path` with `flags` (close-on-exec added) when it is a regular file
// or, with O_CREAT, becomes one: a symbolic link in its place is not
// followed (what is written would land wherever it points), and anything
// else there (a FIFO, a device) is refused without being waited on. -1
// otherwise.
int openOwnRegularFile(const char* path, int flags, mode_t mode);

}  // namespace installer
