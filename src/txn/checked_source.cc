#include "txn/checked_source.h"

#include <sys/stat.h>

namespace installer {
namespace {

std::int64_t nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

SourceIdentity identityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, static_cast<std::int64_t>(st.st_size), nanoseconds(st.st_mtim),
          nanoseconds(st.st_ctim)};
}

}  // namespace

bool identityOfOpenFile(int fd, SourceIdentity& identity) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  identity = identityOf(st);
  return true;
}

bool identityAt(const std::string& path, SourceIdentity& identity) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  identity = identityOf(st);
  return true;
}

bool isDownloadedPackage(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string dir = path.substr(0, slash);
  if (dir != "/rw/pckg/.download" && dir != "/flash/rw/pckg" && dir != "/flash/var/pckg") {
    return false;
  }
  const std::string name = path.substr(slash + 1);
  return !name.empty() && name[0] != '.' && (name.ends_with(".npk") || name.ends_with(".vpk"));
}

std::string changedSource(const CheckedSources& sources) {
  for (const auto& [path, checked] : sources) {
    SourceIdentity now;
    if (!identityAt(path, now) || !(now == checked)) return path;
  }
  return {};
}

}  // namespace installer
