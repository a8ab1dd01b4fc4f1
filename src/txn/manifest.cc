#include "txn/manifest.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "txn/paths.h"

namespace installer {
namespace {

bool inDatabase(const std::string& path) { return path.starts_with("/flash/var/pdb/"); }

// A path that is already gone, or never was, needs no removal.
bool alreadyGone(int error) { return error == ENOENT || error == ENOTDIR; }

// Each step below reports its own failure on standard error and answers
// whether the entry was carried out.
bool removeTarget(const std::string& path) {
  if (unlink(path.c_str()) == 0) return true;
  if (errno != EISDIR) {
    // The old file stays in place: say so, as a failed move does.
    if (alreadyGone(errno)) return true;
    std::perror("unlink");
    return false;
  }
  // A package directory: its plain entries go, then the directory itself.
  // Hidden names and subdirectories are left, and then so is the directory.
  bool ok = true;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      if (unlink((path + "/" + name).c_str()) != 0 && errno != EISDIR && !alreadyGone(errno)) {
        std::perror("unlink");
        ok = false;
      }
    }
    closedir(dir);
  }
  if (rmdir(path.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST && !alreadyGone(errno)) {
    std::perror("rmdir");
    ok = false;
  }
  return ok;
}

bool makeLink(const std::string& path, const std::string& text) {
  const std::string dir = parentDir(path);
  // A directory that could not be made makes symlink fail, which is reported.
  static_cast<void>(makeDirs(dir));
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    // A directory in the way stays; symlink says why.
    if (symlink(text.c_str(), path.c_str()) == 0) return true;
    std::perror("symlink");
    return false;
  }
  // The link is made under a fresh name beside the path and renamed over
  // it, so that the path holds its old entry or the new link at every
  // moment, also when the run ends in between.
  std::string temporary = dir + "/tmpXXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    std::perror("symlink");
    return false;
  }
  close(fd);
  unlink(temporary.c_str());
  if (symlink(text.c_str(), temporary.c_str()) != 0) {
    std::perror("symlink");
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    std::perror("symlink");
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

// The caller has made the directory of `path`.
bool moveIntoPlace(const std::string& path, const ManifestEntry& entry, Spinner* spinner) {
  if (rename(entry.source.c_str(), path.c_str()) == 0) return true;
  if (errno != EXDEV) {
    std::perror("rename");
    return false;
  }
  const int error = copyFile(entry.source, path, spinner);
  if (error != 0) {
    errno = error;
    std::perror("copy");
    return false;
  }
  // A staged source is our own temporary file; once its contents are live it
  // would only hold space (RAM, when it sits in "/ram").
  if (entry.op == ManifestOp::kMoveStaged) unlink(entry.source.c_str());
  return true;
}

}  // namespace

void setEntry(Manifest& m, const std::string& path, ManifestOp op, std::string source) {
  // One walk of the tree finds the entry or the place for it.
  auto it = m.entries.lower_bound(path);
  if (it == m.entries.end() || it->first != path) {
    m.entries.emplace_hint(it, path, ManifestEntry{op, std::move(source)});
    return;
  }
  if (it->second.op == ManifestOp::kMoveStaged) unlink(it->second.source.c_str());
  it->second.op = op;
  it->second.source = std::move(source);
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
  m.stagingMemo = {};
}

bool commitManifest(const Manifest& m, Spinner* spinner) {
  bool ok = true;
  // The package database goes last. Until its files change it describes
  // what was installed before, so a commit cut short (power lost) before or
  // while it changes is done again by the next run, instead of leaving
  // packages recorded as new whose files are partly old.
  for (const bool database : {false, true}) {
    // Removals and links first: a move may land where something was removed.
    for (const auto& [path, entry] : m.entries) {
      if (inDatabase(path) != database) continue;
      if (entry.op == ManifestOp::kRemove) ok = removeTarget(path) && ok;
      if (entry.op == ManifestOp::kLink) ok = makeLink(path, entry.source) && ok;
    }
    // Files of one directory follow each other in path order: their
    // directory is made, or found to exist, once.
    std::string madeDir;
    for (const auto& [path, entry] : m.entries) {
      if (inDatabase(path) != database) continue;
      if (entry.op == ManifestOp::kMove || entry.op == ManifestOp::kMoveStaged) {
        std::string dir = parentDir(path);
        if (dir != madeDir) {
          // A directory that could not be made is tried again for the next file.
          madeDir = makeDirs(dir) ? std::move(dir) : std::string();
        }
        ok = moveIntoPlace(path, entry, spinner) && ok;
      }
    }
  }
  // The renames are done; make them reach the flash before the run ends.
  sync();
  return ok;
}

}  // namespace installer
