#include "cli/modes.h"
#include "console/listing.h"

namespace installer {

ExitStatus runShowMode(const Repository& repo, RunOutput& output) {
  printListing(repo, *output.stream);
  return ExitStatus::kSuccess;
}

}  // namespace installer
