// Placeholders that keep the installer linking until the modules that own
// these functions land; each owner deletes its function from here when it
// delivers the real one (and this file once it is empty).
#include "apply/schedule.h"
#include "db/loader.h"

namespace installer {

// Loading the repository: for now the database is empty.
void openRepository(Repository&, bool, const std::string&) {}

// The cleanup run: for now nothing is optional, so nothing is uninstalled.
bool cleanupPackages(Repository&, Manifest&) { return false; }

}  // namespace installer
