#include "txn/kept_stamp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/hash.h"
#include "txn/file_io.h"
#include "txn/temporaries.h"

namespace installer {
namespace {

constexpr const char* kDatabaseDir = "/flash/var/pdb";
// The files of a record that say what is installed and in which state; the
// kept package file ("image") changes only with the version.
constexpr const char* kRecordFiles[] = {"version", "deps",  "provides", "conflicts",
                                        "bundle",  "files", "disabled", "enabled"};

// FNV-1a, 64 bits: a change of any byte shows; no one is expected to forge
// it (whoever writes the database can change the packages directly).
// The SHA-256 of a regular file's bytes in hex; "!" when it cannot be read.
// A link or anything else at the name is no package file.
std::string contentDigest(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return "!";
  struct stat st;
  std::unique_ptr<Hasher> hash = Hasher::create(Hasher::Kind::kSha256);
  bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && hash != nullptr;
  char block[65536];
  while (whole) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got == 0) break;
    if (got < 0) {
      whole = errno == EINTR;
      continue;
    }
    hash->update(block, static_cast<std::size_t>(got));
  }
  close(fd);
  if (!whole) return "!";
  std::uint8_t digest[32];
  hash->finish(digest);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

class Fingerprint {
 public:
  void add(std::string_view bytes) {
    for (const char c : bytes) {
      hash_ ^= static_cast<unsigned char>(c);
      hash_ *= 0x100000001b3ULL;
    }
  }
  // A field with its length, so that no two sequences of fields run together.
  void field(std::string_view bytes) {
    add(std::to_string(bytes.size()));
    add(":");
    add(bytes);
  }
  std::string hex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4) text += kDigits[(hash_ >> shift) & 0xF];
    return text;
  }

 private:
  std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

std::string stampPath() { return std::string(kKeptListPath) + "/" + kKeptStampName; }

}  // namespace

std::string sourcesFingerprint(CheckedSources sources) {
  if (sources.empty()) return {};
  std::sort(sources.begin(), sources.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  Fingerprint print;
  for (const auto& source : sources) {
    print.field(source.first);
    print.field(contentDigest(source.first));
  }
  return print.hex();
}

std::string databaseFingerprint() {
  std::vector<std::string> names;
  if (DIR* dir = opendir(kDatabaseDir)) {
    while (const dirent* entry = readdir(dir)) {
      // Hidden names are the installer's own: the journal, the lists.
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  Fingerprint print;
  std::string line;
  for (const std::string& name : names) {
    print.field(name);
    for (const char* file : kRecordFiles) {
      const std::string path = std::string(kDatabaseDir) + "/" + name + "/" + file;
      LineReader in(path.c_str());
      if (!in.opened()) {
        print.field("-");
        continue;
      }
      print.field(file);
      bool whole = false;
      while (in.next(line, whole)) {
        print.field(line);
        if (!whole) print.add("$");
      }
      if (in.failed()) print.field("!");
    }
  }
  return print.hex();
}

bool stampKeptList(const std::string& fingerprint) {
  const std::string path = stampPath();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  return symlink(fingerprint.c_str(), path.c_str()) == 0;
}

std::optional<std::string> keptListFingerprint() {
  char text[64];
  const ssize_t size = readlink(stampPath().c_str(), text, sizeof text);
  if (size <= 0 || static_cast<std::size_t>(size) >= sizeof text) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace installer
