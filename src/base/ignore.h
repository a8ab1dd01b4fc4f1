// The one way a result is dropped on purpose: ignoreResult(call()), with the
// reason in a comment on the line before. Unlike a cast to void it also
// quiets the C library's warn_unused_result.
#pragma once

namespace installer {

template <typename T>
inline void ignoreResult(const T&) {}

}  // namespace installer
