// The "--show" table of installed packages, written straight to standard output.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "records/repository.h"

namespace installer {

// "Jan/05/2024 13:07:45" in UTC, or empty when the time cannot be broken down.
std::string buildTimeText(std::uint32_t buildTime);

void printListing(const Repository& repo, std::ostream& out);

}  // namespace installer
