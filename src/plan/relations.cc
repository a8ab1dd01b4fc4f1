#include "plan/relations.h"

namespace installer {

namespace {

// The first member of `bundle` named `name`, or null.
const Package* memberNamed(const Package& bundle, const std::string& name) {
  for (const auto& member : bundle.members) {
    if (member->name == name) return member.get();
  }
  return nullptr;
}

// The first provides entry of `p` named `name`, or null.
const Dependency* offerNamed(const Package& p, const std::string& name) {
  for (const Dependency& offer : p.provides) {
    if (offer.name == name) return &offer;
  }
  return nullptr;
}

}  // namespace

int comparePackages(const Package& a, const Package& b) {
  int sign = 1;
  const Package* older = &a;
  const Package* newer = &b;
  if (a.name != b.name) {
    // A bundle stands for its members: compare the member that carries the
    // other package's name.
    if (const Package* member = memberNamed(a, b.name)) {
      older = member;
    } else if (const Package* other = memberNamed(b, a.name)) {
      older = other;
      newer = &a;
      sign = -1;
    } else {
      return 0;
    }
  }
  if (older->version != newer->version) return older->version > newer->version ? sign : -sign;
  if (older->buildTime != newer->buildTime) {
    return older->buildTime > newer->buildTime ? sign : -sign;
  }
  return 0;
}

bool conflictsWith(const Package& a, const Package& b) {
  if (isPlaceholder(a) || isPlaceholder(b)) return false;
  for (const Dependency& entry : a.conflicts) {
    if (satisfies(b, entry)) return true;
  }
  // b offers a's own name: a negative priority means b replaces a.
  if (const Dependency* offer = offerNamed(b, a.name)) return offer->priority < 0;
  for (const Dependency& mine : a.provides) {
    if (mine.name == b.name) return mine.priority >= 0;
    // Two providers of one capability: the higher priority pushes the other out.
    if (const Dependency* theirs = offerNamed(b, mine.name))
      return mine.priority > theirs->priority;
  }
  for (const Dependency& entry : a.conflicts) {
    if (providesMatch(b, entry)) return true;
  }
  if (memberNamed(b, a.name) != nullptr) return true;
  for (const auto& member : a.members) {
    if (conflictsWith(*member, b)) return true;
  }
  return false;
}

std::vector<InstalledPackage*> findProviders(const Repository& repo, const Dependency& d,
                                             bool includeDisabled) {
  std::vector<InstalledPackage*> providers;
  // Every record that meets d carries its name, as its own or as one it
  // provides.
  const std::vector<RecordIndex::Entry>* named = recordsOffering(repo, d.name);
  if (named == nullptr) return providers;
  for (const RecordIndex::Entry& entry : *named) {
    InstalledPackage* record = entry.record;
    if (isPlaceholder(*record)) continue;
    if (!satisfies(*record, d) && !providesMatch(*record, d)) continue;
    if (record->disabled && !includeDisabled) continue;
    providers.push_back(record);
  }
  return providers;
}

std::vector<InstalledPackage*> ProviderIndex::findProviders(const Dependency& d,
                                                            bool includeDisabled) const {
  return installer::findProviders(repo_, d, includeDisabled);
}

InstalledPackage* findConflicting(const Repository& repo, const Package& candidate) {
  std::vector<InstalledPackage*> related;
  recordsSharingConflictNames(repo, candidate, related);
  for (InstalledPackage* record : related) {
    if (!record->disabled && conflictsWith(*record, candidate)) return record;
  }
  return nullptr;
}

}  // namespace installer
