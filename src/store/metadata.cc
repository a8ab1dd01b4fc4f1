#include "store/metadata.h"

#include <cerrno>
#include <sstream>
#include <string_view>

#include "console/console.h"
#include "store/file_text.h"
#include "txn/staging.h"

namespace installer {
namespace {

// Closes the staged file and tells whether every byte reached it. The stream
// stays alive so that errno still describes the failure when it is reported.
bool closeStaged(StagedFile& file) {
  if (file.fail()) {
    const int error = errno;  // closing must not hide why the write failed
    file.close();
    errno = error;
    return false;
  }
  file.close();
  return !file.fail();
}

// Stages a one-line file; on failure reports `errorWord` and returns false.
bool writeLineFile(RunOutput& output, const InstalledPackage& p, Manifest& m,
                   const std::string& path, std::uint64_t sizeHint, const std::string& line,
                   const char* errorWord) {
  std::unique_ptr<StagedFile> file = createStagedFile(m, path, sizeHint, 0);
  *file << line << '\n' << std::flush;
  if (!closeStaged(*file)) {
    reportWriteFailure(output, p, errorWord);
    return false;
  }
  return true;
}

void markBroken(InstalledPackage& p) { p.action = PendingAction::kUninstall; }

}  // namespace

bool writeDependencyFile(Manifest& m, const std::string& path, const std::vector<Dependency>& list,
                         bool withPriority) {
  std::unique_ptr<StagedFile> file = createStagedFile(m, path, 1024, 0);
  for (const Dependency& d : list) {
    *file << d.name << ' ' << d.minVersion << ' ' << d.maxVersion;
    if (withPriority) *file << ' ' << d.priority;
    *file << '\n';
  }
  *file << std::flush;
  return closeStaged(*file);
}

bool writeStateFiles(RunOutput& output, const InstalledPackage& p, Manifest& m) {
  const std::string dir = packageDir(p);
  if (p.disabled) {
    if (!writeLineFile(output, p, m, dir + "disabled", 8, p.userChoice ? "user" : "auto",
                       "meta/disabled")) {
      return false;
    }
  } else {
    stageRemoval(m, dir + "disabled");
  }
  if (!p.disabled && p.userChoice) {
    if (!writeLineFile(output, p, m, dir + "enabled", 8, "user", "meta/enabled")) return false;
  } else {
    stageRemoval(m, dir + "enabled");
  }
  return true;
}

bool writeMetadata(RunOutput& output, const InstalledPackage& p, Manifest& m) {
  const std::string dir = packageDir(p);
  // A package kept whole as its image, or one that asks for no metadata,
  // gets its state files only.
  if (!p.imageBased && (p.flags & kFlagNoMetadata) == 0) {
    if (!writeLineFile(output, p, m, dir + "version", 32,
                       std::to_string(p.version) + ' ' + std::to_string(p.buildTime),
                       "meta/version")) {
      return false;
    }
    if (!writeDependencyFile(m, dir + "deps", p.depends, false)) {
      reportWriteFailure(output, p, "meta/deps");
      return false;
    }
    // An empty list leaves whatever an earlier version wrote in place.
    if (!p.provides.empty() && !writeDependencyFile(m, dir + "provides", p.provides, true)) {
      reportWriteFailure(output, p, "meta/provides");
      return false;
    }
    if (!p.conflicts.empty() && !writeDependencyFile(m, dir + "conflicts", p.conflicts, false)) {
      reportWriteFailure(output, p, "meta/conflicts");
      return false;
    }
    if (!p.bundle.name.empty()) {
      if (!writeLineFile(output, p, m, dir + "bundle", 16, p.bundle.name, "meta/bundle"))
        return false;
    } else {
      stageRemoval(m, dir + "bundle");
    }
    if (!p.isBundle) {
      std::unique_ptr<StagedFile> file = createStagedFile(m, dir + "files", 4096, 0);
      for (const std::string_view path : p.files) {
        const std::string_view line = path.starts_with('/') ? path.substr(1) : path;
        // A newline would split the entry into other paths that a later
        // uninstall would remove; such an entry cannot be recorded.
        if (line.empty() || line.find('\n') != std::string::npos) continue;
        *file << line << '\n';
      }
      *file << std::flush;
      if (!closeStaged(*file)) {
        reportWriteFailure(output, p, "meta/files");
        return false;
      }
    }
  }
  return writeStateFiles(output, p, m);
}

namespace {

// The entries of a dependency file already read.
bool parseDependencyFile(const std::string& text, std::vector<Dependency>& list,
                         bool withPriority) {
  std::istringstream in(text);
  // Entries are read as a stream of blank-separated words: line breaks carry
  // no meaning.
  for (;;) {
    Dependency d;
    if (!(in >> d.name)) return true;
    if (!(in >> d.minVersion >> d.maxVersion)) return false;
    if (withPriority && !(in >> d.priority)) return false;
    list.push_back(std::move(d));
  }
}

// A missing file reads as an empty one.
bool readListedDependencyFile(const std::string& dir, std::string_view name,
                              const DirectoryListing* listing, std::vector<Dependency>& list,
                              bool withPriority, ReadFailures* failures) {
  std::string text;
  return readListedFile(dir, name, listing, text, failures) != FileRead::kRead ||
         parseDependencyFile(text, list, withPriority);
}

}  // namespace

bool readDependencyFile(const std::string& path, std::vector<Dependency>& list, bool withPriority) {
  std::string text;
  switch (readFileText(path, text)) {
    case FileRead::kMissing:
      return true;
    case FileRead::kFailed:
      return false;
    case FileRead::kRead:
      break;
  }
  return parseDependencyFile(text, list, withPriority);
}

void readVersionFile(InstalledPackage& p, const DirectoryListing* listing, ReadFailures* failures) {
  std::string text;
  if (readListedFile(packageDir(p), "version", listing, text, failures) != FileRead::kRead) {
    markBroken(p);
    return;
  }
  std::istringstream in(text);
  if (!(in >> p.version >> p.buildTime)) markBroken(p);
}

void readDependencyFiles(InstalledPackage& p, const DirectoryListing* listing,
                         ReadFailures* failures) {
  const std::string dir = packageDir(p);
  if (!readListedDependencyFile(dir, "deps", listing, p.depends, false, failures)) markBroken(p);
  if (!readListedDependencyFile(dir, "provides", listing, p.provides, true, failures)) {
    markBroken(p);
  }
  if (!readListedDependencyFile(dir, "conflicts", listing, p.conflicts, false, failures)) {
    markBroken(p);
  }
}

void readBundleFile(InstalledPackage& p, const DirectoryListing* listing, ReadFailures* failures) {
  std::string text;
  if (readListedFile(packageDir(p), "bundle", listing, text, failures) != FileRead::kRead) return;
  std::istringstream in(text);
  std::string word;
  if (!(in >> word)) return;
  p.bundle.name = word;
  p.bundle.minVersion = 0;
  p.bundle.maxVersion = 0;
  // Loaded from its metadata alone, a member has lost its bundle: members
  // of a kept bundle come from the bundle's image instead.
  p.action = PendingAction::kUninstall;
}

void readFilesFile(InstalledPackage& p, const DirectoryListing* listing, ReadFailures* failures) {
  // A record without the file is a bundle's: opening it answers both.
  std::string text;
  p.isBundle = readListedFile(packageDir(p), "files", listing, text, failures) != FileRead::kRead;
  if (p.isBundle) return;
  std::string_view rest = text;
  std::string path;  // one buffer for the lines that lack their slash
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.empty()) continue;
    // The file lists the set in its order, so each path goes to the end.
    if (line.starts_with('/')) {
      p.files.insert(line);
      continue;
    }
    path.assign(1, '/');
    path += line;
    p.files.insert(path);
  }
}

void readStateFiles(InstalledPackage& p, const DirectoryListing* listing, ReadFailures* failures) {
  const std::string dir = packageDir(p);
  p.userChoice = false;
  std::string text;
  if (readListedFile(dir, "disabled", listing, text, failures) == FileRead::kRead) {
    p.disabled = true;
    p.userChoice = text.substr(0, text.find('\n')) != "auto";
    return;
  }
  p.disabled = false;
  // Only its presence counts: its content is not read.
  if (probeListedFile(dir, "enabled", listing, failures) == FileRead::kRead) p.userChoice = true;
}

}  // namespace installer
