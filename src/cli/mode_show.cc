#include <iostream>

#include "cli/modes.h"
#include "console/listing.h"

namespace installer {

ExitStatus runShowMode(Repository& repo) {
  printListing(repo, std::cout);
  return ExitStatus::kSuccess;
}

}  // namespace installer
