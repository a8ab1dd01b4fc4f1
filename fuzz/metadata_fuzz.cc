// Fuzz target: the package database readers. The input describes a database
// under "/flash/var/pdb/" (metadata files, kept images, schedules, the second
// image directory) in a throwaway root; the repository is loaded from it and
// listed. Every dependency file that reads as well-formed must read back the
// same after it is written out again, as the next run would read it.
//
// Input: records of [kind (1 byte)] [length (2 bytes, little-endian)] [bytes];
// the kinds are the files of kFiles below, and a switch to another package
// name (the bytes, made safe) for the records that follow.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/listing.h"
#include "fuzz_support.h"
#include "records/repository.h"
#include "store/loader.h"
#include "store/metadata.h"
#include "throwaway_root.h"
#include "txn/manifest.h"
#include "txn/paths.h"

namespace {

enum Where { kInPackageDir, kSchedule, kImageDir };

struct FileKind {
  const char* name;
  Where where;
};

const FileKind kFiles[] = {
    {"version", kInPackageDir},   {"deps", kInPackageDir},    {"provides", kInPackageDir},
    {"conflicts", kInPackageDir}, {"bundle", kInPackageDir},  {"files", kInPackageDir},
    {"disabled", kInPackageDir},  {"enabled", kInPackageDir}, {"image", kInPackageDir},
    {"schedule", kSchedule},      {"kept image", kImageDir},
};
constexpr std::size_t kKinds = sizeof kFiles / sizeof kFiles[0];
constexpr int kMaxPackages = 8;

std::string safeName(const std::string& bytes) {
  std::string name;
  for (char c : bytes) {
    if (c != '/' && c != '\0' && name.size() < 16) name += c;
  }
  if (name.empty() || name == "." || name == ".." || name[0] == '.') name = "p" + name;
  return name;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  // A directory that cannot be made shows as a file that cannot be written,
  // which the loader must take in its stride like any other.
  static_cast<void>(installer::makeDirs(installer::parentDir(path)));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool sameList(const std::vector<installer::Dependency>& a,
              const std::vector<installer::Dependency>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].minVersion != b[i].minVersion ||
        a[i].maxVersion != b[i].maxVersion || a[i].priority != b[i].priority) {
      return false;
    }
  }
  return true;
}

void checkRoundTrip(const std::string& path, bool withPriority) {
  std::vector<installer::Dependency> list;
  if (!installer::readDependencyFile(path, list, withPriority)) return;
  installer::Manifest m;
  FUZZ_CHECK(installer::writeDependencyFile(m, "/flash/var/pdb/out/deps", list, withPriority));
  FUZZ_CHECK(m.entries.size() == 1);
  std::vector<installer::Dependency> again;
  const auto& [written, entry] = *m.entries.begin();
  FUZZ_CHECK(
      installer::readDependencyFile(installer::sourceOf(written, entry), again, withPriority));
  FUZZ_CHECK(sameList(list, again));
  installer::cancelManifest(m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::enterThrowawayRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::clearRouterTree();
  for (const char* dir : {"/flash/var/pdb", "/ram", "/tmp"}) {
    if (!installer::makeDirs(dir)) return 0;
  }

  std::string name = "pkg";
  int names = 1;
  std::vector<std::pair<std::string, bool>> dependencyFiles;
  for (std::size_t at = 0; at + 3 <= size;) {
    const std::uint8_t kind = data[at];
    const std::size_t length =
        std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
    const std::string bytes(reinterpret_cast<const char*>(data) + at + 3, length);
    at += 3 + length;
    if (kind % (kKinds + 1) == kKinds) {
      if (names++ < kMaxPackages) name = safeName(bytes);
      continue;
    }
    const FileKind& file = kFiles[kind % (kKinds + 1)];
    std::string path;
    switch (file.where) {
      case kInPackageDir:
        path = "/flash/var/pdb/" + name + "/" + file.name;
        break;
      case kSchedule:
        path = installer::scheduleFilePath(name);
        break;
      case kImageDir:
        path = "/rw/pckg/.images/" + name;
        break;
    }
    writeBytes(path, bytes);
    const std::string fileName = file.name;
    if (fileName == "deps" || fileName == "conflicts" || fileName == "provides") {
      dependencyFiles.emplace_back(path, fileName == "provides");
    }
  }

  for (const auto& [path, withPriority] : dependencyFiles) checkRoundTrip(path, withPriority);

  installer::Repository repo;
  installer::RunOutput output;
  // The fuzzed files are all readable: only their contents vary.
  FUZZ_CHECK(installer::openRepository(repo, output, true, "i386") ==
             installer::LoadOutcome::kLoaded);
  std::ostringstream listing;
  installer::printListing(repo, listing);
  return 0;
}
