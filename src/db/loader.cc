#include "db/loader.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <locale>
#include <memory>
#include <vector>

#include "console/console.h"
#include "db/metadata.h"
#include "package/format.h"
#include "package/reader.h"

namespace installer {
namespace {

const char kDatabaseDir[] = "/flash/var/pdb/";
const char kImageDir[] = "/rw/pckg/.images/";

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names of the database directory that stand for packages: hidden
// entries are never packages, and plain files there are leftovers of an
// interrupted run (a staged temporary file, the image-mode capture).
template <typename Visit>
bool forEachPackageDirectory(Visit visit) {
  DIR* dir = opendir(kDatabaseDir);
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (!isDirectory(kDatabaseDir + name)) continue;
    visit(name);
  }
  closedir(dir);
  return true;
}

// Reads the records of one kept package file: a single package, or a bundle
// followed by its members.
void loadImage(Repository& repo, const std::string& name, const std::string& path) {
  if (isDirectory(path)) return;
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return;
  auto record = std::make_unique<InstalledPackage>(name);
  PackageReader reader(file, false);
  reader.wantedTypes = {kPartBundleHeader, kPartHeader,   kPartExtraText, kPartNote,
                        kPartDepends,      kPartProvides, kPartConflicts};
  if (reader.nextPart() == kPartBundleHeader) {
    readHeader(*record, reader);
    Dependency bundle;
    bundle.name = record->name;
    bundle.minVersion = record->version;
    bundle.maxVersion = record->version;
    while (reader.partType == kPartHeader) {
      auto member = std::make_unique<InstalledPackage>();
      // A refused member header leaves the reader where it stood: going on
      // would read the same header forever.
      if (!readHeader(*member, reader)) break;
      member->bundle = bundle;
      repo.packages.push_back(std::move(member));
    }
  } else {
    // A file that is no package still yields a record named after its
    // directory, which is then loaded from its metadata.
    readHeader(*record, reader);
  }
  repo.packages.push_back(std::move(record));
}

void readSchedule(InstalledPackage& p) {
  std::ifstream in(scheduleFilePath(p.name));
  std::string word;
  if (!(in >> word)) return;
  if (word == actionWord(PendingAction::kUninstall)) {
    p.action = PendingAction::kUninstall;
  } else if (word == actionWord(PendingAction::kEnable)) {
    p.action = PendingAction::kEnable;
    p.userChoice = true;
  } else if (word == actionWord(PendingAction::kDisable)) {
    p.action = PendingAction::kDisable;
    p.userChoice = true;
  }
}

}  // namespace

void openRepository(Repository& repo, bool quiet, const std::string& arch) {
  repo.quiet = quiet;
  repo.arch = arch;
  if (!scanImages(repo, kDatabaseDir, ImageSource::kDatabase)) {
    warn(repo, "could not open repo");
    return;
  }
  scanImages(repo, kImageDir, ImageSource::kImageDirectory);
  std::vector<std::string> names;
  if (!forEachPackageDirectory([&names](const std::string& name) { names.push_back(name); })) {
    return;
  }
  for (auto& record : repo.packages) readMetadata(*record);
  // Names already loaded from a kept package file (a bundle's members among
  // them) are not loaded again from metadata.
  for (const std::string& name : names) {
    if (findPackage(repo, name) != -1) continue;
    auto record = std::make_unique<InstalledPackage>(name);
    readMetadata(*record);
    repo.packages.push_back(std::move(record));
  }
}

bool scanImages(Repository& repo, const std::string& dir, ImageSource kind) {
  // The names always come from the database directory; `dir` only says
  // where the package files are kept.
  return forEachPackageDirectory([&](const std::string& name) {
    const std::string path =
        kind == ImageSource::kDatabase ? kDatabaseDir + name + "/image" : dir + name;
    loadImage(repo, name, path);
  });
}

void readMetadata(InstalledPackage& p) {
  if (p.version == 0) {
    readVersionFile(p);
    readDependencyFiles(p);
    readBundleFile(p);
    readFilesFile(p);
  } else {
    // A record from a kept package file still needs the list of files it
    // installed, so that replacing or removing it later removes them; its
    // header alone says whether it is a bundle.
    const bool isBundle = p.isBundle;
    readFilesFile(p);
    p.isBundle = isBundle;
  }
  readStateFiles(p);
  if (!isPlaceholder(p)) readSchedule(p);
}

std::string scheduleFilePath(const std::string& packageName) {
  std::string name;
  for (const char c : packageName) {
    if (std::isalnum(c, std::locale::classic()) || c == '-') name += c;
  }
  return "/ram/pdb/" + name + "/schedule";
}

}  // namespace installer
