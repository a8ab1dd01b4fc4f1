#include "txn/manifest.h"

#include <unistd.h>

namespace installer {

void setEntry(Manifest& m, const std::string& path, ManifestOp op, std::string source) {
  // One walk of the tree finds the entry or the place for it.
  auto it = m.entries.lower_bound(path);
  if (it == m.entries.end() || it->first != path) {
    m.entries.emplace_hint(it, path, ManifestEntry{op, std::move(source)});
    return;
  }
  if (it->second.op == ManifestOp::kMoveStaged) deleteStagedFile(m, it->second.source);
  it->second.op = op;
  it->second.source = std::move(source);
}

void addMove(Manifest& m, const std::string& source, const std::string& target) {
  setEntry(m, target, ManifestOp::kMove, source);
}

void addLink(Manifest& m, const std::string& linkText, const std::string& path) {
  setEntry(m, path, ManifestOp::kLink, linkText);
}

void deleteStagedFile(const Manifest& m, const std::string& source) {
  if (!m.planOnly) unlink(source.c_str());
}

void cancelManifest(Manifest& m) {
  for (const auto& [path, entry] : m.entries) {
    if (entry.op == ManifestOp::kMoveStaged) deleteStagedFile(m, entry.source);
  }
  m.entries.clear();
  m.stagingMemo = {};
  // The counts stay: a planned file still open goes on counting into them.
  m.planned.usedOnDevice.clear();
  endRunTemporaries(m.temporaries);
}

}  // namespace installer
