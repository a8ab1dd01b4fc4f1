#include "store/file_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace installer {
namespace {

bool isAbsence(int error) { return error == ENOENT || error == ENOTDIR; }

FileRead statKind(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0)
    return isAbsence(errno) ? FileRead::kMissing : FileRead::kFailed;
  return S_ISREG(info.st_mode) ? FileRead::kRead : FileRead::kMissing;
}

// Reads an open regular file to its end.
FileRead readOpened(int fd, std::string& text) {
  text.clear();
  char block[4096];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FileRead::kFailed;
    if (got == 0) return FileRead::kRead;
    text.append(block, static_cast<std::size_t>(got));
  }
}

// Opens what the caller knows or has checked to be a regular file. Should
// something else have taken its place meanwhile, O_NONBLOCK keeps the open
// from waiting and the check after it refuses the file.
FileRead readRegular(const std::string& path, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return isAbsence(errno) ? FileRead::kMissing : FileRead::kFailed;
  struct stat info;
  FileRead result = FileRead::kMissing;
  if (fstat(fd, &info) != 0) {
    result = FileRead::kFailed;
  } else if (S_ISREG(info.st_mode)) {
    result = readOpened(fd, text);
  }
  const int error = errno;
  close(fd);
  errno = error;
  return result;
}

FileRead noted(FileRead result, const std::string& path, ReadFailures* failures) {
  if (result == FileRead::kFailed && failures != nullptr) failures->note(path);
  return result;
}

// What the listing says of a name without asking the file system: kMissing
// when it lacks the name or lists it as no regular file, kRead for a regular
// file, kFailed when only asking can tell (a link, or an unknown kind).
FileRead listedKind(const DirectoryListing& listing, std::string_view name) {
  if (!listing.has(name)) return FileRead::kMissing;
  switch (listing.kind(name)) {
    case DT_REG:
      return FileRead::kRead;
    case DT_LNK:
    case DT_UNKNOWN:
      return FileRead::kFailed;
    default:
      return FileRead::kMissing;
  }
}

}  // namespace

FileRead readFileText(const std::string& path, std::string& text) {
  const FileRead kind = statKind(path);
  if (kind != FileRead::kRead) return kind;
  return readRegular(path, text);
}

FileRead probeRegularFile(const std::string& path) { return statKind(path); }

bool DirectoryListing::list(const std::string& dir) {
  entries_.clear();
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return false;
  while (const dirent* entry = readdir(handle)) entries_.push_back({entry->d_name, entry->d_type});
  closedir(handle);
  return true;
}

bool DirectoryListing::has(std::string_view name) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [name](const Entry& e) { return e.name == name; });
}

unsigned char DirectoryListing::kind(std::string_view name) const {
  for (const Entry& e : entries_) {
    if (e.name == name) return e.kind;
  }
  return DT_UNKNOWN;
}

FileRead readListedFile(const std::string& dir, std::string_view name,
                        const DirectoryListing* listing, std::string& text,
                        ReadFailures* failures) {
  const std::string path = dir + std::string(name);
  if (listing == nullptr) return noted(readFileText(path, text), path, failures);
  switch (listedKind(*listing, name)) {
    case FileRead::kMissing:
      return FileRead::kMissing;
    case FileRead::kRead:
      return noted(readRegular(path, text), path, failures);
    case FileRead::kFailed:
      break;
  }
  return noted(readFileText(path, text), path, failures);
}

FileRead probeListedFile(const std::string& dir, std::string_view name,
                         const DirectoryListing* listing, ReadFailures* failures) {
  const std::string path = dir + std::string(name);
  if (listing != nullptr) {
    const FileRead listed = listedKind(*listing, name);
    if (listed != FileRead::kFailed) return listed;
  }
  return noted(probeRegularFile(path), path, failures);
}

}  // namespace installer
