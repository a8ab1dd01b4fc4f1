#include "records/repository.h"

#include <algorithm>

namespace installer {

Repository& getRepository() {
  static Repository* repository = new Repository();  // lives until exit, never destroyed
  return *repository;
}

namespace {

// Both return the number of records listed for the name before the change.
std::size_t forget(RecordIndex::Names& names, const std::string& name,
                   const InstalledPackage* record) {
  const auto named = names.find(name);
  if (named == names.end()) return 0;
  const std::size_t before = named->second.size();
  std::erase_if(named->second,
                [record](const RecordIndex::Entry& e) { return e.record == record; });
  if (named->second.empty()) names.erase(named);
  return before;
}

std::size_t note(RecordIndex::Names& names, const std::string& name,
                 const RecordIndex::Entry& entry) {
  std::vector<RecordIndex::Entry>& list = names[name];
  const std::size_t before = list.size();
  if (list.empty() || list.back().record != entry.record) list.push_back(entry);
  return before;
}

void addToIndex(RecordIndex& index, InstalledPackage& record) {
  const RecordIndex::Entry entry{index.nextOrder++, &record};
  note(index.byName, record.name, entry);
  note(index.byOffer, record.name, entry);
  for (const Dependency& offer : record.provides) note(index.byOffer, offer.name, entry);
  forEachConflictName(record, [&](const std::string& name) {
    const std::size_t before = note(index.byConflictName, name, entry);
    if (before == 1 && index.byConflictName[name].size() == 2) ++index.sharedConflictNames;
  });
}

void removeFromIndex(RecordIndex& index, const InstalledPackage& record) {
  forget(index.byName, record.name, &record);
  forget(index.byOffer, record.name, &record);
  for (const Dependency& offer : record.provides) forget(index.byOffer, offer.name, &record);
  forEachConflictName(record, [&](const std::string& name) {
    const std::size_t before = forget(index.byConflictName, name, &record);
    const auto left = index.byConflictName.find(name);
    const std::size_t after = left == index.byConflictName.end() ? 0 : left->second.size();
    if (before >= 2 && after < 2) --index.sharedConflictNames;
  });
}

const RecordIndex& currentIndex(const Repository& repo) {
  RecordIndex& index = repo.index;
  if (index.covered != repo.packages.size()) {
    index.byName.clear();
    index.byOffer.clear();
    index.byConflictName.clear();
    index.sharedConflictNames = 0;
    for (const auto& record : repo.packages) addToIndex(index, *record);
    index.covered = repo.packages.size();
  }
  return index;
}

}  // namespace

const std::vector<RecordIndex::Entry>* recordsOffering(const Repository& repo,
                                                       const std::string& name) {
  const RecordIndex& index = currentIndex(repo);
  const auto found = index.byOffer.find(name);
  return found == index.byOffer.end() ? nullptr : &found->second;
}

bool anyConflictNameShared(const Repository& repo) {
  return currentIndex(repo).sharedConflictNames != 0;
}

void recordsSharingConflictNames(const Repository& repo, const Package& p,
                                 std::vector<InstalledPackage*>& out) {
  out.clear();
  const RecordIndex& index = currentIndex(repo);
  std::vector<RecordIndex::Entry> entries;
  forEachConflictName(p, [&](const std::string& name) {
    const auto found = index.byConflictName.find(name);
    if (found != index.byConflictName.end()) {
      entries.insert(entries.end(), found->second.begin(), found->second.end());
    }
  });
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.order < b.order; });
  for (const RecordIndex::Entry& e : entries) {
    if (out.empty() || out.back() != e.record) out.push_back(e.record);
  }
}

int findPackage(const Repository& repo, const std::string& name) {
  const InstalledPackage* record = findRecord(repo, name);
  if (record == nullptr) return -1;
  for (std::size_t i = 0; i < repo.packages.size(); ++i) {
    if (repo.packages[i].get() == record) return static_cast<int>(i);
  }
  return -1;
}

InstalledPackage* findRecord(const Repository& repo, const std::string& name) {
  const RecordIndex& index = currentIndex(repo);
  const auto found = index.byName.find(name);
  return found == index.byName.end() ? nullptr : found->second.front().record;
}

void reindexRecords(Repository& repo) { repo.index.covered = RecordIndex::kStale; }

InstalledPackage& appendRecord(Repository& repo, std::unique_ptr<InstalledPackage> record) {
  InstalledPackage& added = *record;
  const bool current = repo.index.covered == repo.packages.size();
  repo.packages.push_back(std::move(record));
  if (current) {
    addToIndex(repo.index, added);
    repo.index.covered = repo.packages.size();
  } else {
    repo.index.covered = RecordIndex::kStale;
  }
  return added;
}

std::unique_ptr<InstalledPackage> takeRecord(Repository& repo, const InstalledPackage* record) {
  auto it = std::find_if(repo.packages.begin(), repo.packages.end(),
                         [record](const auto& p) { return p.get() == record; });
  if (it == repo.packages.end()) return nullptr;
  const bool current = repo.index.covered == repo.packages.size();
  std::unique_ptr<InstalledPackage> taken = std::move(*it);
  repo.packages.erase(it);
  if (current) {
    removeFromIndex(repo.index, *taken);
    repo.index.covered = repo.packages.size();
  } else {
    repo.index.covered = RecordIndex::kStale;
  }
  return taken;
}

void releaseFileLists(Repository& repo) {
  for (const auto& record : repo.packages) record->files.clear();
}

}  // namespace installer
