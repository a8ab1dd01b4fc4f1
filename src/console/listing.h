// The "--show" table of installed packages, written straight to standard output.
#pragma once

#include <ostream>

#include "records/repository.h"

namespace installer {

void printListing(const Repository& repo, std::ostream& out);

}  // namespace installer
