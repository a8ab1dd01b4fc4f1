#include "cli/modes.h"
#include "console/listing.h"

namespace installer {

ExitStatus runShowMode(Repository& repo) {
  printListing(repo, *repo.out);
  return ExitStatus::kSuccess;
}

}  // namespace installer
