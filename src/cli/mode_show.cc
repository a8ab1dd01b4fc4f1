#include <iostream>

#include "cli/modes.h"
#include "console/listing.h"

namespace installer {

int runShowMode(Repository& repo) {
  printListing(repo, std::cout);
  return 0;
}

}  // namespace installer
