#include "txn/planning.h"

#include "txn/paths.h"

namespace installer {

std::uint64_t deviceOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_dev) : 0;
}

std::int64_t plannedUse(const Manifest& m, const std::string& dir) {
  if (m.planning == nullptr) return 0;
  const auto used = m.planning->usedOnDevice.find(deviceOf(dir));
  return used == m.planning->usedOnDevice.end() ? 0 : used->second;
}

void notePlannedUse(Manifest& m, const std::string& dir, std::int64_t bytes) {
  if (m.planning != nullptr) m.planning->usedOnDevice[deviceOf(dir)] += bytes;
}

bool statStagedSource(const Manifest& m, const std::string& source, struct stat& st) {
  if (m.planning != nullptr) {
    const auto planned = m.planning->sizes.find(source);
    if (planned != m.planning->sizes.end()) {
      if (stat(parentDir(source).c_str(), &st) != 0) return false;
      st.st_mode = S_IFREG | 0600;
      st.st_size = static_cast<off_t>(planned->second);
      return true;
    }
  }
  return stat(source.c_str(), &st) == 0;
}

}  // namespace installer
