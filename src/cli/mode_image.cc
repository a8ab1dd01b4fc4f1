#include "cli/modes.h"

namespace installer {

// Placeholder until installing from a stream lands.
int runImageMode(Repository&, const RunOptions&) { return 1; }

}  // namespace installer
