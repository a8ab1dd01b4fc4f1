#include "console/failure_report.h"

namespace installer {

void reportFailures(std::ostream& err, const TxnFailures& failures) {
  for (const TxnFailure& failure : failures) err << describe(failure) << '\n';
  err << std::flush;
}

}  // namespace installer
