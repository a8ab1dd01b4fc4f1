#include "pkgtool/audit.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>

#include "apply/install.h"
#include "package/format.h"
#include "package/payload.h"
#include "package/reader.h"
#include "pkgtool/regular_file.h"
#include "platform/hardware_class.h"
#include "txn/paths.h"

namespace installer {
namespace {

constexpr std::size_t kBlock = 16384;

// Files of the installer itself that may stand beside package files.
const std::set<std::string> kInstallerFiles = {"/flash/postlog", "/flash/bootimage",
                                               "/flash/PCKGS_CHANGED", "/flash/UPGRADED"};

std::string octal(unsigned mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

// The mode extraction gives a file: the entry's permission bits, or those
// of a fresh temporary file when the entry carries no mode at all.
unsigned installedMode(std::uint16_t entryMode) {
  return entryMode != 0 ? entryMode & 07777 : 0600;
}

// Compares `length` bytes of the payload with the file at `path`, consuming
// them either way; false when the payload ends first.
bool compareData(std::istream& payload, std::uint32_t length, const std::string& path, bool& same) {
  // Something else in a file's place (a FIFO, a device) differs from it,
  // and is not read.
  RegularFileStream disk;
  same = disk.open(path) == RegularOpen::kOpened;
  char wanted[kBlock];
  char found[kBlock];
  for (std::uint32_t left = length; left > 0;) {
    const auto step = static_cast<std::streamsize>(std::min<std::uint32_t>(left, kBlock));
    payload.read(wanted, step);
    if (payload.gcount() != step) return false;
    if (same) {
      disk.read(found, step);
      same = disk.gcount() == step && std::equal(wanted, wanted + step, found);
    }
    left -= static_cast<std::uint32_t>(step);
  }
  // A longer file on disk differs too.
  if (same) same = disk.peek() == std::char_traits<char>::eof();
  return true;
}

bool auditPayload(const InstalledPackage& p, PackageReader& reader,
                  std::vector<AuditFinding>& findings, std::set<std::string>& owned) {
  // A package kept as its file has no list of files in the database: every
  // file of its payload for this machine is its own.
  const bool listed = !p.files.empty();
  const std::optional<int> ourClass = listed ? std::nullopt : hardwareClass();
  InflateStreambuf inflate(reader.rdbuf());
  std::istream payload(&inflate);
  char skip[kBlock];
  while (true) {
    FileEntry entry;
    const EntryRead read = readFileEntry(payload, entry);
    if (read == EntryRead::kEnd) return true;
    if (read == EntryRead::kBroken) return false;
    const std::string path = installationPath(p, entry.name);
    const bool installed =
        listed ? p.files.contains(path)
               : entry.hardwareClass == 0 || (ourClass && *ourClass == entry.hardwareClass);
    if ((entry.mode & kModeTypeMask) != kModeRegular || !installed) {
      for (std::uint32_t left = entry.dataLength; left > 0;) {
        const auto step = static_cast<std::streamsize>(std::min<std::uint32_t>(left, kBlock));
        payload.read(skip, step);
        if (payload.gcount() != step) return false;
        left -= static_cast<std::uint32_t>(step);
      }
      continue;
    }
    struct stat st {};
    const bool present = lstat(path.c_str(), &st) == 0;
    bool same = false;
    if (!compareData(payload, entry.dataLength, path, same)) return false;
    owned.insert(path);
    // A listed file that is absent is found by findMissing.
    if (!present) {
      if (!listed) findings.push_back({"missing", path, p.name});
      continue;
    }
    if (!S_ISREG(st.st_mode) || !same) {
      findings.push_back({"changed", path, p.name + ": content differs"});
    } else if ((st.st_mode & 07777) != installedMode(entry.mode)) {
      findings.push_back({"mode", path,
                          p.name + ": mode " + octal(st.st_mode & 07777) + ", package has " +
                              octal(installedMode(entry.mode))});
    }
  }
}

}  // namespace

bool auditAgainstFile(const Repository& repo, std::istream& file,
                      std::vector<AuditFinding>& findings, std::set<std::string>& owned) {
  PackageReader reader(file, false);
  reader.wantedTypes = {kPartHeader, kPartBundleHeader, kPartPayload};
  reader.nextPart();
  const InstalledPackage* current = nullptr;
  bool sawHeader = false;
  while (reader.partType != kNoPart && !reader.fail()) {
    if (reader.partType == kPartHeader || reader.partType == kPartBundleHeader) {
      Package header;
      if (!readHeader(header, reader)) return false;
      sawHeader = true;
      current = findRecord(repo, header.name);
      // Another version than the installed one says nothing about its files.
      if (current != nullptr &&
          (current->version != header.version || current->buildTime != header.buildTime)) {
        current = nullptr;
      }
      continue;
    }
    if (reader.partType == kPartPayload && current != nullptr &&
        !auditPayload(*current, reader, findings, owned)) {
      return false;
    }
    reader.nextPart();
  }
  return sawHeader;
}

void findMissing(const InstalledPackage& p, std::vector<AuditFinding>& findings) {
  for (const std::string_view listed : p.files) {
    const std::string path(listed);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) findings.push_back({"missing", path, p.name});
  }
}

void findUnowned(const Repository& repo, const std::set<std::string>& owned,
                 std::vector<AuditFinding>& findings) {
  std::set<std::string> listed = owned;
  std::set<std::string> dirs;
  for (const std::string& path : owned) dirs.insert(parentDir(path));
  for (const auto& p : repo.packages) {
    for (const std::string_view view : p->files) {
      const std::string path(view);
      listed.insert(path);
      dirs.insert(parentDir(path));
    }
  }
  for (const std::string& dir : dirs) {
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) continue;
    std::set<std::string> names;
    while (const dirent* entry = readdir(handle)) names.insert(entry->d_name);
    closedir(handle);
    for (const std::string& name : names) {
      const std::string path = (dir == "/" ? "" : dir) + "/" + name;
      struct stat st {};
      if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        continue;
      }
      if (listed.count(path) == 0 && kInstallerFiles.count(path) == 0) {
        findings.push_back({"unowned", path, ""});
      }
    }
  }
}

}  // namespace installer
