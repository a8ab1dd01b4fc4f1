#include "upgrade/driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "apply/safe_names.h"
#include "apply/schedule.h"
#include "console/console.h"
#include "console/postlog.h"
#include "package/fd_input.h"
#include "package/format.h"
#include "package/reader.h"
#include "plan/planner.h"
#include "plan/relations.h"
#include "txn/checked_source.h"
#include "txn/file_io.h"
#include "upgrade/stream_install.h"

namespace installer {

namespace {

// Tried in this order; the first that yields a usable file is the only one used.
const char* const kDownloadDirs[] = {"/rw/pckg/.download/", "/flash/rw/pckg/", "/flash/var/pckg/"};

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Names that would draw control sequences on the console when reported.
bool holdsControlByte(const std::string& name) {
  return std::any_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

// The version floor of a downgrade run: the first unsigned decimal in the
// marker, or 0 when it holds none (also when the number does not fit).
Version readDowngradeFloor(std::istream& in) {
  char c = 0;
  while (in.get(c) && std::isspace(static_cast<unsigned char>(c))) {
  }
  if (!in) return 0;
  if (c == '+' && !in.get(c)) return 0;
  std::uint64_t value = 0;
  bool digits = false;
  while (std::isdigit(static_cast<unsigned char>(c))) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return 0;
    digits = true;
    if (!in.get(c)) break;
  }
  return digits ? static_cast<Version>(value) : 0;
}

// A download file open for reading, or not open. Read through a buffer that
// remembers a read error instead of throwing it. Opened without waiting:
// a FIFO put in a file's place after its stat would wait for a writer.
class DownloadFile {
 public:
  // The scan reads headers and seeks over the rest: a small block is read
  // after each seek. An install reads the whole file: large blocks.
  enum class Use { kHeaders, kWhole };
  DownloadFile(const std::string& path, Use use)
      : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)),
        buf_(fd_, use == Use::kHeaders ? kHeaderBlock : kWholeBlock),
        stream_(&buf_) {}
  ~DownloadFile() {
    if (fd_ >= 0) close(fd_);
  }
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  std::istream& stream() { return stream_; }
  // The file as it was opened, before a byte of it was read.
  bool identity(SourceIdentity& id) const { return fd_ >= 0 && identityOfOpenFile(fd_, id); }
  // A read failed: what the file holds is unknown.
  bool unreadable() const { return buf_.error() != 0; }

 private:
  static constexpr std::size_t kHeaderBlock = 8192;
  static constexpr std::size_t kWholeBlock = 65536;
  int fd_;
  FdInputBuf buf_;
  std::istream stream_;
};

// Reads the header of one package file, and for a bundle the headers of its
// members. False when the file is broken. `st` is the file's stat result, or
// null when stat failed.
bool readPackageFile(PackageFile& record, std::istream& file, const struct stat* st) {
  // No digest of the file is checked here (the signature is, when the file
  // is installed): without hashing the reader seeks over the payload
  // instead of reading and hashing all of it.
  PackageReader reader(file, false);
  if (st != nullptr &&
      static_cast<std::uint64_t>(st->st_size) != std::uint64_t{reader.totalLength}) {
    return false;
  }
  reader.wantedTypes = {kPartBundleHeader, kPartHeader, kPartExtraText, kPartArch,
                        kPartAuxText,      kPartNote,   kPartDepends,   kPartProvides,
                        kPartConflicts,    kPartImage};
  reader.nextPart();
  // Names become paths and database lines: an unsafe one makes the file
  // broken here, before planning works with it.
  if (!readHeader(record, reader) || !headerNamesAreSafe(record)) return false;
  if (!record.isBundle) return true;
  if (reader.partType == kPartImage) reader.nextPart();
  while (reader.partType == kPartHeader) {
    auto member = std::make_unique<Package>();
    // A refused member header may leave the reader where it stood, so the
    // loop ends here rather than read the same part again.
    if (!readHeader(*member, reader) || !headerNamesAreSafe(*member)) return false;
    record.members.push_back(std::move(member));
    if (reader.partType == kPartImage) reader.nextPart();
  }
  return !record.members.empty();
}

// Whether a file of that name is to be tried at all.
bool isCandidateName(const std::string& name) {
  if (name.empty() || name[0] == '.' || holdsControlByte(name)) return false;
  return endsWith(name, ".npk") || endsWith(name, ".vpk");
}

// The record that stands for `name` after the upgrade: the first enabled one
// that is or provides it, else the last disabled one.
InstalledPackage* standIn(const Repository& repo, const std::string& name) {
  Dependency wanted;
  wanted.name = name;
  InstalledPackage* kept = nullptr;
  for (const auto& record : repo.packages) {
    if (record->name != name && !providesMatch(*record, wanted)) continue;
    kept = record.get();
    if (!record->disabled) break;
  }
  return kept;
}

// Packages that have to be enabled so that what was provided before the
// upgrade is still provided; each record once.
std::vector<InstalledPackage*> providersToEnable(const Repository& repo,
                                                 const std::set<std::string>& providedBefore) {
  std::vector<InstalledPackage*> list;
  for (const auto& name : providedBefore) {
    InstalledPackage* record = standIn(repo, name);
    if (record == nullptr || !record->disabled) continue;
    if (findConflicting(repo, *record) != nullptr) continue;
    if (std::find(list.begin(), list.end(), record) == list.end()) list.push_back(record);
  }
  return list;
}

// Stands between a failed run and its caller: nothing it staged is kept.
void abandonRun(Manifest& m, UpgradeTrace* trace) {
  cancelManifest(m);
  if (trace != nullptr) trace->failed = true;
}

// The version floor of a downgrade run when "/ram/DOWNGRADE" is there (and
// the downgrade flag with it); otherwise no floor.
Version downgradeFloor(InstallFlags& flags) {
  // A FIFO or a link at the marker's name is no marker, and is never
  // opened in a way that could wait.
  LineReader marker("/ram/DOWNGRADE");
  if (!marker.opened()) return kPreferNewest;
  flags |= kFlagDowngrade;
  // The number may follow blank lines; a marker is a few bytes, and no more
  // than a screenful is looked at.
  std::string text;
  std::string line;
  bool whole = false;
  while (text.size() < 4096 && marker.next(line, whole)) text += line + "\n";
  std::istringstream in(text);
  return readDowngradeFloor(in);
}

// The names provided by the packages enabled before the run: each must still
// be provided after it.
std::set<std::string> providedNames(const Repository& repo) {
  std::set<std::string> names;
  for (const auto& record : repo.packages) {
    if (record->disabled) continue;
    names.insert(record->name);
    for (const auto& entry : record->provides) names.insert(entry.name);
  }
  return names;
}

// Whether the user chose to have each package enabled or disabled.
KeptState userChoices(const Repository& repo) {
  KeptState kept;
  for (const auto& record : repo.packages) {
    if (record->userChoice) kept[record->name] = record->disabled;
  }
  return kept;
}

// The downloaded file itself becomes the kept image (or the boot image,
// with the image path a link to it).
void keepDownloadedImage(const Repository& repo, Manifest& m, const PackageFile& file,
                         bool bootImage) {
  const std::string imagePath = "/flash/var/pdb/" + file.name + "/image";
  if (bootImage) {
    // The boot image stays even when the package's own settling took its
    // record out again; the link goes only into a directory that stays.
    addMove(m, file.path, "/flash/bootimage");
    if (findRecord(repo, file.name) != nullptr) addLink(m, "/flash/bootimage", imagePath);
  } else {
    addMove(m, file.path, imagePath);
  }
}

}  // namespace

bool scanPackageDir(RunOutput& output, const std::string& dir,
                    std::vector<std::unique_ptr<PackageFile>>& list, std::string* unreadable) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return true;
  while (const dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (!isCandidateName(name)) continue;
    auto record = std::make_unique<PackageFile>();
    record->path = dir + name;
    // Only regular files are opened: opening a FIFO would wait for a writer.
    struct stat st;
    const bool known = stat(record->path.c_str(), &st) == 0;
    if (known && !S_ISREG(st.st_mode)) {
      reportError(output, "broken package %s", name.c_str());
      continue;
    }
    DownloadFile file(record->path, DownloadFile::Use::kHeaders);
    if (!file.isOpen()) continue;  // left out silently
    const bool usable = readPackageFile(*record, file.stream(), known ? &st : nullptr);
    if (file.unreadable()) {
      if (unreadable != nullptr) *unreadable = record->path;
      closedir(handle);
      return false;
    }
    if (!usable) {
      reportError(output, "broken package %s", name.c_str());
      continue;
    }
    list.push_back(std::move(record));
  }
  closedir(handle);
  return true;
}

namespace {

// The candidate files of a run: those of the first download directory that
// holds one, or of every one of `dirs` when given.
// False, with the path in `unreadable`, when a file could not be read.
bool findPackageFiles(RunOutput& output, const std::vector<std::string>& dirs,
                      std::vector<std::unique_ptr<PackageFile>>& files, std::string& unreadable) {
  if (!dirs.empty()) {
    for (const std::string& dir : dirs) {
      if (!scanPackageDir(output, dir, files, &unreadable)) return false;
    }
    return true;
  }
  for (const char* dir : kDownloadDirs) {
    if (!scanPackageDir(output, dir, files, &unreadable)) return false;
    if (!files.empty()) break;
  }
  return true;
}

// A package file that could not be read stops the run: what it holds is
// unknown, so nothing of the run is kept.
std::vector<Package> stopUnreadable(RunOutput& output, Manifest& m, const std::string& path,
                                    UpgradeTrace* trace, UpgradeStop* stop) {
  reportError(output, "could not read %s", path.c_str());
  if (stop != nullptr) *stop = {UpgradeStop::Reason::kUnreadable, path};
  abandonRun(m, trace);
  return {};
}

}  // namespace

std::vector<Package> runUpgrade(Repository& repo, RunOutput& output, Manifest& m,
                                InstallFlags flags, const std::vector<std::string>& dirs,
                                UpgradeTrace* trace, UpgradeStop* stop) {
  const Version threshold = downgradeFloor(flags);
  std::vector<std::unique_ptr<PackageFile>> files;
  if (std::string path; !findPackageFiles(output, dirs, files, path)) {
    return stopUnreadable(output, m, path, trace, stop);
  }
  std::vector<PackageFile*> plan;
  for (const auto& file : files) plan.push_back(file.get());
  planPackages(output, plan, threshold, true);
  if (trace != nullptr) {
    for (const auto& file : files) trace->found.push_back({packageLabel(*file), file->path});
    for (const PackageFile* file : plan)
      trace->planned.push_back({packageLabel(*file), file->path});
  }

  const KeptState keptState = userChoices(repo);
  const std::set<std::string> providedBefore = providedNames(repo);
  // The old log is taken in (and room kept for the new one) only by a run
  // that will write it.
  if (!plan.empty()) {
    if (m.planning != nullptr) {
      planPostlogPreload(m);
    } else {
      preloadPostlog(output);
    }
  }

  std::vector<Package> installed;
  for (std::size_t index = 0; index < plan.size(); ++index) {
    const PackageFile& file = *plan[index];
    DownloadFile input(file.path, DownloadFile::Use::kWhole);
    if (!input.isOpen()) continue;
    SourceIdentity opened;
    const bool identified = input.identity(opened);
    const StreamOutcome outcome =
        installFromStream({repo, output, m, keptState, flags}, input.stream());
    const StreamInstall result = outcome.status;
    const bool bootImage = outcome.bootImage;
    if (input.unreadable()) return stopUnreadable(output, m, file.path, trace, stop);
    if (trace != nullptr) trace->planned[index].result = static_cast<int>(result);
    if (result != StreamInstall::kInstalled) {
      if (result == StreamInstall::kNoSpace && stop != nullptr) {
        stop->reason = UpgradeStop::Reason::kNoSpace;
      }
      abandonRun(m, trace);
      return {};
    }
    if (file.imageBased) {
      keepDownloadedImage(repo, m, file, bootImage);
      // A file whose identity cannot be had cannot be vouched for at the
      // commit: it is refused there.
      m.checkedSources.push_back({file.path, identified ? opened : SourceIdentity{}});
    }
    installed.push_back(static_cast<const Package&>(file));
  }

  enablePackages(output, m, providersToEnable(repo, providedBefore), Verbosity::kReport);
  if (repo.packages.empty()) {
    reportError(output, "router installation failed!!!");
    abandonRun(m, trace);
    return {};
  }
  return installed;
}

}  // namespace installer
