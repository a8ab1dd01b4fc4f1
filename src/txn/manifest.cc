#include "txn/manifest.h"

#include <unistd.h>

#include <limits>

#include "txn/planning.h"

namespace installer {

std::string sourceOf(std::string_view path, const ManifestEntry& entry) {
  std::string source(path.substr(0, entry.besideLength));
  source += entry.source;
  return source;
}

void ManifestEntries::clear() {
  map_.clear();
  arena_.clear();
}

void ManifestEntries::setSource(std::string_view path, ManifestEntry& entry,
                                std::string_view source) {
  entry.besideLength = 0;
  if (entry.op == ManifestOp::kMoveStaged) {
    // Only the name is kept when the file's directory is one of the
    // target's own: "/flash/tmpAB12CD" for "/flash/bin/tool".
    const std::size_t slash = source.rfind('/');
    if (slash != std::string_view::npos && slash + 1 < source.size() &&
        slash < std::numeric_limits<std::uint16_t>::max() && slash + 1 < path.size() &&
        path.substr(0, slash + 1) == source.substr(0, slash + 1)) {
      entry.besideLength = static_cast<std::uint16_t>(slash + 1);
      source.remove_prefix(slash + 1);
    }
  }
  entry.source = arena_.keep(source);
}

ManifestEntries::iterator ManifestEntries::add(iterator hint, std::string_view path, ManifestOp op,
                                               std::string_view source) {
  const std::string_view key = arena_.keep(path);
  auto it = map_.emplace_hint(hint, key, ManifestEntry{op, 0, {}});
  setSource(key, it->second, source);
  return it;
}

void ManifestEntries::change(iterator it, ManifestOp op, std::string_view source) {
  it->second.op = op;
  setSource(it->first, it->second, source);
}

void setEntry(Manifest& m, std::string_view path, ManifestOp op, std::string_view source) {
  // One walk of the tree finds the entry or the place for it.
  auto it = m.entries.lower_bound(path);
  if (it == m.entries.end() || it->first != path) {
    m.entries.add(it, path, op, source);
    return;
  }
  if (it->second.op == ManifestOp::kMoveStaged) deleteStagedFile(m, path, it->second);
  m.entries.change(it, op, source);
}

void addMove(Manifest& m, const std::string& source, const std::string& target) {
  setEntry(m, target, ManifestOp::kMove, source);
}

void addLink(Manifest& m, const std::string& linkText, const std::string& path) {
  setEntry(m, path, ManifestOp::kLink, linkText);
}

void deleteStagedFile(const Manifest& m, std::string_view path, const ManifestEntry& entry) {
  if (m.planning == nullptr) unlink(sourceOf(path, entry).c_str());
}

void cancelManifest(Manifest& m) {
  for (const auto& [path, entry] : m.entries) {
    if (entry.op == ManifestOp::kMoveStaged) deleteStagedFile(m, path, entry);
  }
  m.entries.clear();
  m.stagingMemo = {};
  m.headroom = {};
  // The counts stay: a planned file still open goes on counting into them.
  if (m.planning != nullptr) m.planning->usedOnDevice.clear();
  endRunTemporaries(m.temporaries);
}

}  // namespace installer
