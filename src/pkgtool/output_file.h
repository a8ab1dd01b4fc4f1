// Whole-file output that never leaves a half-written file behind: the bytes
// go to a temporary file beside the target, which is renamed over it only
// once everything is written and synced.
#pragma once

#include <sys/types.h>

#include <string>

namespace installer {

// `mode` is applied as given (not filtered through the umask) when
// `exactMode` is set, else filtered through the umask like open(2) does.
[[nodiscard]] bool writeFileAtomically(const std::string& path, const std::string& bytes,
                                       mode_t mode, bool exactMode, std::string& error);

// The whole file; false with a one-line reason otherwise.
[[nodiscard]] bool readWholeFile(const std::string& path, std::string& bytes, std::string& error);

}  // namespace installer
