#include "records/repository.h"

#include <algorithm>

namespace installer {

Repository& getRepository() {
  static Repository* repository = new Repository();  // lives until exit, never destroyed
  return *repository;
}

int findPackage(const Repository& repo, const std::string& name) {
  for (std::size_t i = 0; i < repo.packages.size(); ++i) {
    if (repo.packages[i]->name == name) return static_cast<int>(i);
  }
  return -1;
}

InstalledPackage* findRecord(const Repository& repo, const std::string& name) {
  const int index = findPackage(repo, name);
  return index < 0 ? nullptr : repo.packages[static_cast<std::size_t>(index)].get();
}

std::unique_ptr<InstalledPackage> takeRecord(Repository& repo, const InstalledPackage* record) {
  auto it = std::find_if(repo.packages.begin(), repo.packages.end(),
                         [record](const auto& p) { return p.get() == record; });
  if (it == repo.packages.end()) return nullptr;
  std::unique_ptr<InstalledPackage> taken = std::move(*it);
  repo.packages.erase(it);
  return taken;
}

void releaseFileLists(Repository& repo) {
  for (const auto& record : repo.packages) record->files.clear();
}

}  // namespace installer
