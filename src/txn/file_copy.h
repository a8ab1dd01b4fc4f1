// The commit's copy for moves that cross file systems.
#pragma once

#include <functional>
#include <string>

#include "txn/temporaries.h"

namespace installer {

// For a move that crosses file systems: copies `source` (a regular file,
// with its permission bits) into a new temporary file in `dir`, noted in
// `log`, calling `onBlock` (when set) after each block. Returns 0 and sets
// `copy`, else an errno value (nothing is left).
[[nodiscard]] int copyToTemporary(TemporaryLog& log, const std::string& source,
                                  const std::string& dir, std::string& copy,
                                  const std::function<void()>& onBlock);

}  // namespace installer
