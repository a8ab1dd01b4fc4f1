// What a step of the commit or of recovery failed at: the call, the path it
// was made on and the system's error. The transaction reports nothing
// itself; the mode that owns the run prints these, each naming its path.
#pragma once

#include <string>
#include <vector>

namespace installer {

struct TxnFailure {
  const char* operation = "";  // "rename", "symlink", "journal", ...; "" for
                               // a failure that is no call (see `reason`)
  std::string path;
  int error = 0;                 // errno of the call
  const char* reason = nullptr;  // instead of the error's text, when set
};

using TxnFailures = std::vector<TxnFailure>;

// "rename PATH: reason", the reason being the error's text; "PATH: reason"
// for a failure that names no call.
std::string describe(const TxnFailure& failure);

// Adds a failure to `failures` when the caller asked for them.
void noteFailure(TxnFailures* failures, TxnFailure failure);

}  // namespace installer
