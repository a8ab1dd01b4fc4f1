#include "console/listing.h"

#include <ctime>
#include <iomanip>
#include <string>

#include "console/visible_text.h"

namespace installer {

std::string buildTimeText(std::uint32_t buildTime) {
  const std::time_t seconds = static_cast<std::time_t>(buildTime);
  std::tm parts;
  if (gmtime_r(&seconds, &parts) == nullptr) return {};
  char text[128];
  // The process never leaves the C locale, so month names stay English.
  const std::size_t length = std::strftime(text, sizeof text, "%b/%d/%Y %H:%M:%S", &parts);
  return std::string(text, length);
}

void printListing(const Repository& repo, std::ostream& out) {
  out << std::setw(16) << "Name"
      << "    " << std::setw(13) << "Version"
      << " " << std::setw(20) << "Built" << std::setw(40) << "Note" << std::endl;
  out << std::string(94, '-') << std::endl;
  for (const auto& p : repo.packages) {
    out << std::setw(16) << visibleText(p->name) << " " << std::setw(1) << (p->disabled ? "X" : " ")
        << std::setw(2) << (p->bundle.name.empty() ? "  " : "B ") << std::setw(13)
        << versionText(p->version) << " " << std::setw(20) << buildTimeText(p->buildTime) << " "
        << std::setw(40) << visibleText(p->note) << '\n';
  }
  // One flush for the whole table rather than one write per package.
  out << std::flush;
}

}  // namespace installer
