#include "pkgtool/installed.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/loader.h"

namespace installer {
namespace {

const char kDatabaseDir[] = "/flash/var/pdb/";
const char kImageDir[] = "/rw/pckg/.images/";
const char kBootImage[] = "/flash/bootimage";

bool isPresent(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

std::string linkText(const std::string& path) {
  char text[256];
  const ssize_t length = readlink(path.c_str(), text, sizeof text);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) return {};
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace

std::string runningArch() {
  const char* arch = std::getenv("arch");
  return arch != nullptr ? arch : "i386";
}

bool loadInstalled(Repository& repo, std::string& error) {
  // Loading itself only warns about a database it cannot read and goes on
  // with none; a query would then answer for an empty router.
  DIR* dir = opendir(kDatabaseDir);
  if (dir == nullptr) {
    error = std::string("cannot read the package database ") + kDatabaseDir + ": " +
            std::strerror(errno);
    return false;
  }
  closedir(dir);
  // A file that is there and cannot be read leaves what is installed
  // unknown: no answer is better than a wrong one.
  std::string unreadable;
  RunOutput quiet;
  if (openRepository(repo, quiet, true, runningArch(), &unreadable) == LoadOutcome::kUnreadable) {
    error = "cannot read " + unreadable;
    return false;
  }
  return true;
}

const char* disabledBy(const InstalledPackage& p) {
  if (!p.disabled) return nullptr;
  return p.userChoice ? "user" : "auto";
}

std::string keptImage(const InstalledPackage& p) {
  if (!p.bundle.name.empty() && p.bundle.minVersion != 0) return {};
  const std::string inDatabase = std::string(kDatabaseDir) + p.name + "/image";
  if (isPresent(inDatabase)) return inDatabase;
  const std::string inImageDir = kImageDir + p.name;
  if (isPresent(inImageDir)) return inImageDir;
  return {};
}

std::string bootImage(const InstalledPackage& p) {
  const std::string image = keptImage(p);
  if (!image.empty() && linkText(image) == kBootImage) return kBootImage;
  return {};
}

std::vector<const InstalledPackage*> membersOf(const Repository& repo, const InstalledPackage& p) {
  std::vector<const InstalledPackage*> members;
  if (!p.isBundle) return members;
  for (const auto& record : repo.packages) {
    if (record.get() != &p && record->bundle.name == p.name) members.push_back(record.get());
  }
  return members;
}

PathSet ownedFiles(const Repository& repo, const InstalledPackage& p) {
  PathSet files = p.files;
  for (const InstalledPackage* member : membersOf(repo, p)) {
    for (const std::string_view path : member->files) files.insert(path);
  }
  return files;
}

std::vector<const InstalledPackage*> ownersOf(const Repository& repo, const std::string& path) {
  std::vector<const InstalledPackage*> owners;
  for (const auto& record : repo.packages) {
    if (record->files.contains(path)) owners.push_back(record.get());
  }
  return owners;
}

}  // namespace installer
