#include "store/loader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <istream>
#include <locale>
#include <memory>
#include <sstream>
#include <streambuf>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/ignore.h"
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

// A directory itself, not a link to one.
bool isRealDirectory(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names of the database directory that stand for packages: hidden
// entries are never packages, and plain files there are leftovers of an
// interrupted run (a staged temporary file, the image-mode capture). A link
// in a package directory's place is no package either: what was loaded
// through it would be written back through it, somewhere outside the
// database. The listing says what most entries are; only the others are
// looked at. False when the database directory cannot be opened.
bool listPackageDirectories(std::vector<std::string>& names) {
  DIR* dir = opendir(kDatabaseDir);
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (entry->d_type == DT_DIR ||
        (entry->d_type == DT_UNKNOWN && isRealDirectory(kDatabaseDir + name))) {
      names.push_back(name);
    }
  }
  closedir(dir);
  return true;
}

// A file stream buffer that turns a read error into the end of the file
// and remembers it. The standard one throws from its underflow on a read
// error, and the package reader calls its buffer directly: one bad block
// of a kept image would end the process.
class GuardedFileBuf : public std::streambuf {
 public:
  explicit GuardedFileBuf(std::filebuf& inner) : inner_(inner) {}
  bool failed() const { return failed_; }

 protected:
  int_type underflow() override {
    return guarded([this] { return inner_.sgetc(); }, traits_type::eof());
  }
  int_type uflow() override {
    return guarded([this] { return inner_.sbumpc(); }, traits_type::eof());
  }
  std::streamsize xsgetn(char_type* s, std::streamsize n) override {
    return guarded([this, s, n] { return inner_.sgetn(s, n); }, std::streamsize{0});
  }
  std::streamsize showmanyc() override {
    return guarded([this] { return inner_.in_avail(); }, std::streamsize{-1});
  }
  int_type pbackfail(int_type c) override {
    return traits_type::eq_int_type(c, traits_type::eof())
               ? inner_.sungetc()
               : inner_.sputbackc(traits_type::to_char_type(c));
  }

 private:
  template <typename F, typename T>
  T guarded(F read, T atEnd) {
    if (failed_) return atEnd;
    try {
      return read();
    } catch (const std::ios_base::failure&) {
      failed_ = true;
      return atEnd;
    }
  }

  std::filebuf& inner_;
  bool failed_ = false;
};

// Reads the records of one kept package file: a single package, or a bundle
// followed by its members. `kind` says whether a regular file is there.
void loadImage(Repository& repo, const std::string& name, const std::string& path, FileRead kind,
               ReadFailures* failures) {
  if (kind == FileRead::kRead) {
    // The stream below cannot tell a file that cannot be opened from one
    // that is not there: the open is tried once without it.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
      close(fd);
    } else {
      kind = errno == ENOENT ? FileRead::kMissing : FileRead::kFailed;
    }
  }
  if (kind == FileRead::kFailed && failures != nullptr) failures->note(path);
  if (kind != FileRead::kRead) return;
  std::filebuf file;
  if (file.open(path, std::ios::in | std::ios::binary) == nullptr) return;
  GuardedFileBuf guarded(file);
  std::istream input(&guarded);
  auto record = std::make_unique<InstalledPackage>(name);
  PackageReader reader(input, false);
  reader.wantedTypes = {kPartBundleHeader, kPartHeader,   kPartExtraText, kPartNote,
                        kPartDepends,      kPartProvides, kPartConflicts};
  if (reader.nextPart() == kPartBundleHeader) {
    // A broken bundle header still yields the bundle's record, named after
    // its directory and completed from its metadata.
    ignoreResult(readHeader(*record, reader));
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
      appendRecord(repo, std::move(member));
    }
  } else {
    // A file that is no package still yields a record named after its
    // directory, which is then loaded from its metadata.
    ignoreResult(readHeader(*record, reader));
  }
  if (guarded.failed() && failures != nullptr) failures->note(path);
  appendRecord(repo, std::move(record));
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
// there has no schedule file. An empty schedule name makes the path
// "/ram/pdb//schedule", which is the file "schedule" of "/ram/pdb/" itself.
void readSchedule(InstalledPackage& p, const std::unordered_set<std::string>* scheduled,
                  ReadFailures* failures) {
  const std::string dirName = scheduleDirName(p.name);
  const std::string& listedName = dirName.empty() ? "schedule" : dirName;
  if (scheduled != nullptr && scheduled->count(listedName) == 0) return;
  const std::string path = kScheduleDir + dirName + "/schedule";
  std::string text;
  const FileRead read = readFileText(path, text);
  if (read == FileRead::kFailed && failures != nullptr) failures->note(path);
  if (read != FileRead::kRead) return;
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

// Each package directory, listed once: which of its files exist.
using Listings = std::unordered_map<std::string, DirectoryListing>;

const DirectoryListing* listingOf(const Listings* listings, const std::string& name) {
  if (listings == nullptr) return nullptr;
  const auto found = listings->find(name);
  return found == listings->end() ? nullptr : &found->second;
}

// Where kept package files are read from.
enum class ImageSource { kDatabase, kImageDirectory };

// The records of the kept package files of every package directory; `dir`
// only says where the files are kept.
void loadImages(Repository& repo, const std::vector<std::string>& names, const std::string& dir,
                ImageSource kind, const Listings* listings, ReadFailures* failures) {
  if (kind == ImageSource::kDatabase) {
    for (const std::string& name : names) {
      const std::string packageDirectory = kDatabaseDir + name + "/";
      const FileRead found =
          probeListedFile(packageDirectory, "image", listingOf(listings, name), nullptr);
      loadImage(repo, name, packageDirectory + "image", found, failures);
    }
    return;
  }
  const std::unordered_set<std::string> kept = listEntries(dir);
  for (const std::string& name : names) {
    if (kept.count(name) != 0)
      loadImage(repo, name, dir + name, probeRegularFile(dir + name), failures);
  }
}

void readMetadataListed(InstalledPackage& p, const std::unordered_set<std::string>* scheduled,
                        const Listings* listings, ReadFailures* failures) {
  const DirectoryListing* listing = listingOf(listings, p.name);
  if (p.version == 0) {
    readVersionFile(p, listing, failures);
    readDependencyFiles(p, listing, failures);
    readBundleFile(p, listing, failures);
    readFilesFile(p, listing, failures);
  } else {
    // A record from a kept package file still needs the list of files it
    // installed, so that replacing or removing it later removes them; its
    // header alone says whether it is a bundle.
    const bool isBundle = p.isBundle;
    readFilesFile(p, listing, failures);
    p.isBundle = isBundle;
  }
  readStateFiles(p, listing, failures);
  if (!isPlaceholder(p)) readSchedule(p, scheduled, failures);
}

}  // namespace

LoadOutcome openRepository(Repository& repo, RunOutput& output, bool quiet, const std::string& arch,
                           std::string* unreadable) {
  output.quiet = quiet;
  repo.arch = arch;
  // One listing of the database directory serves the three passes.
  std::vector<std::string> names;
  if (!listPackageDirectories(names)) {
    warn(output, "could not open repo");
    return LoadOutcome::kLoaded;
  }
  ReadFailures failures;
  // Most of the files a package directory may hold are absent: one listing
  // of each directory says which to read.
  Listings listings;
  for (const std::string& name : names) {
    if (!listings[name].list(kDatabaseDir + name)) listings.erase(name);
  }
  loadImages(repo, names, kDatabaseDir, ImageSource::kDatabase, &listings, &failures);
  loadImages(repo, names, kImageDir, ImageSource::kImageDirectory, &listings, &failures);
  const std::unordered_set<std::string> scheduled = listEntries(kScheduleDir);
  for (auto& record : repo.packages) {
    readMetadataListed(*record, &scheduled, &listings, &failures);
  }
  // The lists of the records read from kept package files come from their
  // metadata.
  reindexRecords(repo);
  // Names already loaded from a kept package file (a bundle's members among
  // them) are not loaded again from metadata. The listing names each
  // directory once, so the records added below need no checking.
  std::unordered_set<std::string> loaded;
  for (const auto& record : repo.packages) loaded.insert(record->name);
  for (const std::string& name : names) {
    if (loaded.count(name) != 0) continue;
    auto record = std::make_unique<InstalledPackage>(name);
    readMetadataListed(*record, &scheduled, &listings, &failures);
    appendRecord(repo, std::move(record));
  }
  if (failures.any()) {
    reportError(output, "could not read %s", failures.first().c_str());
    if (unreadable != nullptr) *unreadable = failures.first();
    return LoadOutcome::kUnreadable;
  }
  return LoadOutcome::kLoaded;
}

void readMetadata(InstalledPackage& p) { readMetadataListed(p, nullptr, nullptr, nullptr); }

std::string scheduleFilePath(const std::string& packageName) {
  return kScheduleDir + scheduleDirName(packageName) + "/schedule";
}

}  // namespace installer
