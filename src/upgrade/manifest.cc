#include "upgrade/manifest.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace installer {
namespace {

void removeTarget(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno != EISDIR) return;
  // A package directory: its plain entries go, then the directory itself.
  // Hidden names and subdirectories are left, and then so is the directory.
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      unlink((path + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

void makeLink(const std::string& path, const std::string& text) {
  makeDirs(parentDir(path));
  unlink(path.c_str());
  if (symlink(text.c_str(), path.c_str()) != 0) std::perror("symlink");
}

void moveIntoPlace(const std::string& path, const ManifestEntry& entry, bool showProgress) {
  makeDirs(parentDir(path));
  if (rename(entry.source.c_str(), path.c_str()) == 0) return;
  if (errno != EXDEV) {
    std::perror("rename");
    return;
  }
  const int error = copyFile(entry.source, path, showProgress);
  if (error != 0) {
    errno = error;
    std::perror("copy");
    return;
  }
  // A staged source is our own temporary file; once its contents are live it
  // would only hold space (RAM, when it sits in "/ram").
  if (entry.op == ManifestOp::kMoveStaged) unlink(entry.source.c_str());
}

}  // namespace

void setEntry(Manifest& m, const std::string& path, ManifestOp op, const std::string& source) {
  auto it = m.entries.find(path);
  if (it == m.entries.end()) {
    m.entries.emplace(path, ManifestEntry{op, source});
    return;
  }
  if (it->second.op == ManifestOp::kMoveStaged) unlink(it->second.source.c_str());
  it->second.op = op;
  it->second.source = source;
}

void addMove(Manifest& m, const std::string& source, const std::string& target) {
  setEntry(m, target, ManifestOp::kMove, source);
}

void addLink(Manifest& m, const std::string& linkText, const std::string& path) {
  setEntry(m, path, ManifestOp::kLink, linkText);
}

void cancelManifest(Manifest& m) {
  for (const auto& [path, entry] : m.entries) {
    if (entry.op == ManifestOp::kMoveStaged) unlink(entry.source.c_str());
  }
  m.entries.clear();
}

void commitManifest(const Manifest& m, bool showProgress) {
  // Removals and links first: a move may land where something was removed.
  for (const auto& [path, entry] : m.entries) {
    if (entry.op == ManifestOp::kRemove) removeTarget(path);
    if (entry.op == ManifestOp::kLink) makeLink(path, entry.source);
  }
  for (const auto& [path, entry] : m.entries) {
    if (entry.op == ManifestOp::kMove || entry.op == ManifestOp::kMoveStaged) {
      moveIntoPlace(path, entry, showProgress);
    }
  }
  // The renames are done; make them reach the flash before the run ends.
  sync();
}

std::string parentDir(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return ".";  // "" or only slashes
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

void makeDirs(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return;
  const std::string parent = parentDir(path);
  if (parent == path || path == "/" || path == ".") return;
  makeDirs(parent);
  mkdir(path.c_str(), 0777);
}

}  // namespace installer
