// Packages whose requirements will be lost after the pending actions follow
// them: to be uninstalled when nothing can meet a requirement any more, to
// be disabled when only disabled packages could.
#pragma once

#include "records/repository.h"

namespace installer {

// Changes `action` fields until no requirement rates differently. Prints
// nothing.
void settleLostDependencies(Repository& repo);

}  // namespace installer
