#include "store/loader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <locale>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "console/console.h"
#include "package/format.h"
#include "package/reader.h"
#include "store/file_text.h"
#include "store/metadata.h"

namespace installer {
namespace {

const char kDatabaseDir[] = "/flash/var/pdb/";
const char kImageDir[] = "/rw/pckg/.images/";
const char kScheduleDir[] = "/ram/pdb/";

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names of the database directory that stand for packages: hidden
// entries are never packages, and plain files there are leftovers of an
// interrupted run (a staged temporary file, the image-mode capture). The
// listing says what most entries are; only the others are looked at.
bool listPackageDirectories(std::vector<std::string>& names) {
  DIR* dir = opendir(kDatabaseDir);
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    const bool lookAtIt = entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK;
    if (entry->d_type == DT_DIR || (lookAtIt && isDirectory(kDatabaseDir + name))) {
      names.push_back(name);
    }
  }
  closedir(dir);
  return true;
}

// Reads the records of one kept package file: a single package, or a bundle
// followed by its members.
void loadImage(Repository& repo, const std::string& name, const std::string& path) {
  // Most packages keep no image: one open finds that out.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info;
  const bool directory = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  close(fd);
  if (directory) return;
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return;
  auto record = std::make_unique<InstalledPackage>(name);
  PackageReader reader(file, false);
  reader.wantedTypes = {kPartBundleHeader, kPartHeader,   kPartExtraText, kPartNote,
                        kPartDepends,      kPartProvides, kPartConflicts};
  if (reader.nextPart() == kPartBundleHeader) {
    // A broken bundle header still yields the bundle's record, named after
    // its directory and completed from its metadata.
    static_cast<void>(readHeader(*record, reader));
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
    static_cast<void>(readHeader(*record, reader));
  }
  repo.packages.push_back(std::move(record));
}

// The names in a directory, or none when it cannot be read: asked once
// where every package would otherwise try to open a file of its own there.
std::unordered_set<std::string> listEntries(const std::string& path) {
  std::unordered_set<std::string> entries;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) entries.insert(entry->d_name);
    closedir(dir);
  }
  return entries;
}

// "/ram/pdb/" + the name without characters other than letters, digits and
// "-"; the directory of the package's schedule file.
std::string scheduleDirName(const std::string& packageName) {
  std::string name;
  for (const char c : packageName) {
    if (std::isalnum(c, std::locale::classic()) || c == '-') name += c;
  }
  return name;
}

// `scheduled`, when given, lists "/ram/pdb/": a package without a directory
// there has no schedule file.
void readSchedule(InstalledPackage& p, const std::unordered_set<std::string>* scheduled) {
  const std::string dirName = scheduleDirName(p.name);
  if (scheduled != nullptr && scheduled->count(dirName) == 0) return;
  std::string text;
  if (!readFileText(kScheduleDir + dirName + "/schedule", text)) return;
  std::istringstream in(text);
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

// The records of the kept package files of every package directory; `dir`
// only says where the files are kept.
// Each package directory, listed once: which of its files exist.
using Listings = std::unordered_map<std::string, DirectoryListing>;

const DirectoryListing* listingOf(const Listings* listings, const std::string& name) {
  if (listings == nullptr) return nullptr;
  const auto found = listings->find(name);
  return found == listings->end() ? nullptr : &found->second;
}

void loadImages(Repository& repo, const std::vector<std::string>& names, const std::string& dir,
                ImageSource kind, const Listings* listings) {
  if (kind == ImageSource::kDatabase) {
    for (const std::string& name : names) {
      const DirectoryListing* listing = listingOf(listings, name);
      if (listing == nullptr || listing->has("image")) {
        loadImage(repo, name, kDatabaseDir + name + "/image");
      }
    }
    return;
  }
  const std::unordered_set<std::string> kept = listEntries(dir);
  for (const std::string& name : names) {
    if (kept.count(name) != 0) loadImage(repo, name, dir + name);
  }
}

void readMetadataListed(InstalledPackage& p, const std::unordered_set<std::string>* scheduled,
                        const Listings* listings) {
  const DirectoryListing* listing = listingOf(listings, p.name);
  if (p.version == 0) {
    readVersionFile(p, listing);
    readDependencyFiles(p, listing);
    readBundleFile(p, listing);
    readFilesFile(p, listing);
  } else {
    // A record from a kept package file still needs the list of files it
    // installed, so that replacing or removing it later removes them; its
    // header alone says whether it is a bundle.
    const bool isBundle = p.isBundle;
    readFilesFile(p, listing);
    p.isBundle = isBundle;
  }
  readStateFiles(p, listing);
  if (!isPlaceholder(p)) readSchedule(p, scheduled);
}

}  // namespace

void openRepository(Repository& repo, bool quiet, const std::string& arch) {
  repo.quiet = quiet;
  repo.arch = arch;
  // One listing of the database directory serves the three passes.
  std::vector<std::string> names;
  if (!listPackageDirectories(names)) {
    warn(repo, "could not open repo");
    return;
  }
  // Most of the files a package directory may hold are absent: one listing
  // of each directory says which to read.
  Listings listings;
  for (const std::string& name : names) {
    if (!listings[name].list(kDatabaseDir + name)) listings.erase(name);
  }
  loadImages(repo, names, kDatabaseDir, ImageSource::kDatabase, &listings);
  loadImages(repo, names, kImageDir, ImageSource::kImageDirectory, &listings);
  const std::unordered_set<std::string> scheduled = listEntries(kScheduleDir);
  for (auto& record : repo.packages) readMetadataListed(*record, &scheduled, &listings);
  // Names already loaded from a kept package file (a bundle's members among
  // them) are not loaded again from metadata. The listing names each
  // directory once, so the records added below need no checking.
  std::unordered_set<std::string> loaded;
  for (const auto& record : repo.packages) loaded.insert(record->name);
  for (const std::string& name : names) {
    if (loaded.count(name) != 0) continue;
    auto record = std::make_unique<InstalledPackage>(name);
    readMetadataListed(*record, &scheduled, &listings);
    repo.packages.push_back(std::move(record));
  }
}

bool scanImages(Repository& repo, const std::string& dir, ImageSource kind) {
  // The names always come from the database directory.
  std::vector<std::string> names;
  if (!listPackageDirectories(names)) return false;
  loadImages(repo, names, dir, kind, nullptr);
  return true;
}

void readMetadata(InstalledPackage& p) { readMetadataListed(p, nullptr, nullptr); }

std::string scheduleFilePath(const std::string& packageName) {
  return kScheduleDir + scheduleDirName(packageName) + "/schedule";
}

}  // namespace installer
