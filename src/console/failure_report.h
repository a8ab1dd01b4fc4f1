// Reporting what the commit or recovery failed at: one line per failure,
// "rename PATH: reason", on the run's error stream.
#pragma once

#include <ostream>

#include "txn/failure.h"

namespace installer {

void reportFailures(std::ostream& err, const TxnFailures& failures);

}  // namespace installer
