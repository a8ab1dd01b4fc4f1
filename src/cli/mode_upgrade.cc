#include "cli/modes.h"

namespace installer {

// Placeholder until the upgrade driver lands: nothing to do.
int runUpgradeMode(Repository&, const RunOptions&) { return 0; }

}  // namespace installer
