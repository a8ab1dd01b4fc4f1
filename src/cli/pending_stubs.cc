// Placeholders that keep the installer linking until the modules that own
// these functions land; each owner deletes its function from here when it
// delivers the real one (and this file once it is empty).
#include "db/loader.h"

namespace installer {

// Loading the repository: for now the database is empty.
void openRepository(Repository&, bool, const std::string&) {}

}  // namespace installer
