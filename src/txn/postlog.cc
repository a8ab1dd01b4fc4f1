#include "txn/postlog.h"

#include <unistd.h>

#include <fstream>
#include <string>

namespace installer {
namespace {

constexpr const char* kPostlogPath = "/flash/postlog";
constexpr std::size_t kReservedBytes = 4096;

}  // namespace

void preloadPostlog(Repository& repo) {
  {
    std::ifstream in(kPostlogPath, std::ios::binary);
    std::string line;
    // A last line without its newline was cut short (or is the reserved
    // space of an earlier run) and is left out.
    while (in && std::getline(in, line) && !in.eof()) repo.messages.push_back(line);
  }
  // Keep room on the flash for the new log while the install fills it.
  std::ofstream out(kPostlogPath, std::ios::binary | std::ios::trunc);
  if (out) out << std::string(kReservedBytes, '\0');
  repo.postlogPreloaded = true;
}

void writePostlog(Repository& repo) {
  if (!repo.postlogPreloaded && repo.messages.empty()) return;
  // After a preload the old lines are among the messages; the file is
  // rewritten from scratch instead of over the reserved zero bytes.
  const auto mode =
      std::ios::binary | (repo.postlogPreloaded ? std::ios::trunc : std::ios::app) | std::ios::out;
  std::ofstream out(kPostlogPath, mode);
  if (!out) return;
  sync();
  for (const std::string& line : repo.messages) out << line << '\n';
}

}  // namespace installer
