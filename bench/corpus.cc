// Benchmark inputs: trees, databases and candidate package files.
#include "corpus.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "../tests/support/dev_keys.h"
#include "package/signer.h"
#include "package/writer.h"
#include "store/metadata.h"
#include "txn/commit.h"
#include "txn/manifest.h"

namespace bench {
namespace {

using installer::Dependency;
using installer::InstalledPackage;
using installer::PackageFile;
using installer::Version;

constexpr Version kVersionBase = 0x07016600;  // 7.1 final
constexpr std::uint32_t kBuildTime = 1700000000;
constexpr std::size_t kChainLength = 10;
constexpr std::size_t kFilesPerDirectory = 50;

// splitmix64: small, fast and the same everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

Version minorVersion(std::size_t minor) {
  return kVersionBase + static_cast<Version>((minor - 1) << 16);
}

bool makeDirs(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const std::size_t slash = dir.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  return makeDirs(dir.substr(0, slash)) && (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST);
}

// Fills `out` with text: lines of words, the frequent words far more
// frequent than the rare ones, and many lines much like earlier ones, as in
// documentation, scripts and configuration.
class TextSource {
 public:
  explicit TextSource(std::uint64_t seed) {
    Random random(seed);
    for (std::string& word : words_) {
      const std::size_t length = 2 + random.next() % 8;
      for (std::size_t i = 0; i < length; ++i) {
        word += static_cast<char>('a' + random.next() % 26);
      }
    }
  }

  void fill(Random& random, std::string& out, std::size_t size) const {
    out.clear();
    std::array<std::size_t, 64> lineStarts{};
    std::size_t lines = 0;
    while (out.size() < size) {
      const std::uint64_t r = random.next();
      const std::size_t start = out.size();
      if (lines > 0 && r % 100 < kRepeatPercent) {
        // A line seen before, with a different last word.
        const std::size_t from = lineStarts[(r >> 8) % std::min(lines, lineStarts.size())];
        const std::size_t end = out.find('\n', from);
        const std::size_t cut = out.rfind(' ', end - 1);
        const std::size_t stop = cut == std::string::npos || cut < from ? end : cut;
        out.append(out, from, stop - from);
        out += ' ';
        out += words_[(r >> 20) % words_.size()];
      } else {
        const std::size_t count = 3 + (r >> 8) % 9;
        for (std::size_t w = 0; w < count; ++w) {
          const std::uint64_t u = random.next();
          // The product of three uniform numbers favours the first words.
          const std::size_t index =
              (((u & 0x3FF) * ((u >> 10) & 0x3FF)) >> 10) * ((u >> 20) & 0x3FF) >> 10;
          if (w > 0) out += ' ';
          out += words_[index % words_.size()];
        }
      }
      out += '\n';
      lineStarts[lines++ % lineStarts.size()] = start;
    }
    out.resize(size);
  }

 private:
  static constexpr std::uint64_t kRepeatPercent = 35;
  std::array<std::string, 1024> words_;
};

// Fills `out` with bytes that look like machine code: few opcodes, small
// register numbers, immediates that are mostly zero, and short sequences
// that recur.
void fillCode(Random& random, std::string& out, std::size_t size) {
  static constexpr unsigned char kOpcodes[16] = {0x48, 0x89, 0x8b, 0xe8, 0x0f, 0x83, 0xc7, 0x85,
                                                 0x74, 0x75, 0xff, 0x31, 0x01, 0x39, 0xeb, 0xc3};
  constexpr std::size_t kBlock = 16;
  out.resize(size);
  for (std::size_t i = 0; i < size; i += kBlock) {
    const std::size_t length = std::min(kBlock, size - i);
    const std::uint64_t choice = random.next();
    if (i >= 4096 && choice % 100 < 45) {
      // A sequence from the last 4 KiB, as compiled code repeats itself.
      const std::size_t back = kBlock * (1 + (choice >> 8) % (4096 / kBlock - 1));
      std::memmove(out.data() + i, out.data() + i - back, length);
      continue;
    }
    for (std::size_t j = 0; j < length; j += 4) {
      const std::uint64_t r = random.next();
      const unsigned char word[4] = {
          kOpcodes[r & 15], static_cast<unsigned char>((r >> 4) & 15),
          static_cast<unsigned char>((r >> 8) & 7),
          static_cast<unsigned char>(((r >> 13) & 7) == 0 ? (r >> 16) & 0xFF : 0)};
      std::memcpy(out.data() + i + j, word, std::min<std::size_t>(4, length - j));
    }
  }
}

bool writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

installer::SigningKeys devKeys() { return testing_support::devSigningKeys(); }

}  // namespace

bool forEachTreeFile(std::uint64_t files, std::uint64_t bytes, std::uint64_t seed,
                     const std::function<bool(const std::string&, const std::string&)>& visit) {
  if (files == 0) return true;
  Random random(seed);
  // Sizes vary from 0.2 to 1.8 times the mean, and add up to `bytes`.
  std::vector<double> weights(files);
  double total = 0;
  for (double& w : weights) {
    w = 0.2 + static_cast<double>(random.next() % 1601) / 1000.0;
    total += w;
  }
  std::vector<std::uint64_t> sizes(files);
  std::uint64_t assigned = 0;
  for (std::uint64_t i = 0; i < files; ++i) {
    sizes[i] = static_cast<std::uint64_t>(static_cast<double>(bytes) * weights[i] / total);
    assigned += sizes[i];
  }
  sizes.back() += bytes - assigned;

  const TextSource text(seed ^ 0x5EED);
  std::string data;
  for (std::uint64_t i = 0; i < files; ++i) {
    const std::uint64_t group = i / kFilesPerDirectory;
    // Seven files in ten are text.
    const bool isText = random.next() % 10 < 7;
    const auto size = static_cast<std::size_t>(sizes[i]);
    if (isText) {
      text.fill(random, data, size);
    } else {
      fillCode(random, data, size);
    }
    const std::string name = "usr/lib" + std::to_string(group / 20) + "/mod" +
                             std::to_string(group % 20) + "/file" + std::to_string(i) +
                             (isText ? ".txt" : ".so");
    if (!visit(name, data)) return false;
  }
  return true;
}

bool writeTree(const std::string& dir, std::uint64_t files, std::uint64_t bytes, std::uint64_t seed,
               std::string& error) {
  if (!makeDirs(dir)) {
    error = "cannot create " + dir;
    return false;
  }
  std::string lastDir;
  return forEachTreeFile(files, bytes, seed, [&](const std::string& name, const std::string& data) {
    const std::string path = dir + "/" + name;
    const std::string parent = path.substr(0, path.rfind('/'));
    if (parent != lastDir && !makeDirs(parent)) {
      error = "cannot create " + parent;
      return false;
    }
    lastDir = parent;
    if (!writeFile(path, data)) {
      error = "cannot write " + path;
      return false;
    }
    return true;
  });
}

std::string packageName(std::size_t index) {
  char name[24];  // "p" and any size_t
  std::snprintf(name, sizeof name, "p%05zu", index);
  return name;
}

std::vector<std::unique_ptr<InstalledPackage>> installedRecords(std::size_t count,
                                                                std::size_t filesPerPackage,
                                                                bool brokenChains) {
  std::vector<std::unique_ptr<InstalledPackage>> records;
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto p = std::make_unique<InstalledPackage>(packageName(i));
    p->version = kVersionBase;
    p->buildTime = kBuildTime;
    p->arch = "i386";
    if (i % kChainLength != 0) {
      p->depends.push_back(Dependency{packageName(i - 1), kVersionBase, 0, 0});
    } else if (brokenChains && (i / kChainLength) % 4 == 0) {
      p->depends.push_back(Dependency{"gone" + std::to_string(i), 0, 0, 0});
    }
    if (i % 5 == 0) p->provides.push_back(Dependency{"cap" + std::to_string(i / 5), 0, 0, 10});
    for (std::size_t f = 0; f < filesPerPackage; ++f) {
      p->files.insert("/flash/pkg/" + p->name + "/file" + std::to_string(f));
    }
    records.push_back(std::move(p));
  }
  return records;
}

std::vector<std::unique_ptr<PackageFile>> candidateRecords(std::size_t count,
                                                           std::size_t versionsPerName) {
  std::vector<std::unique_ptr<PackageFile>> candidates;
  candidates.reserve(count);
  const std::size_t names = std::max<std::size_t>(1, count / versionsPerName);
  // Versions of one name lie apart in the list, as directory listings
  // deliver them.
  for (std::size_t v = 0; v < versionsPerName; ++v) {
    for (std::size_t i = 0; i < names && candidates.size() < count; ++i) {
      auto p = std::make_unique<PackageFile>(packageName(i));
      p->version = minorVersion(2 + v);
      p->buildTime = kBuildTime + 1;
      p->arch = "i386";
      if (i % kChainLength != 0) {
        p->depends.push_back(Dependency{packageName(i - 1), p->version, 0, 0});
      }
      p->path = "/flash/var/pckg/" + p->name + "-7." + std::to_string(2 + v) + ".npk";
      candidates.push_back(std::move(p));
    }
  }
  return candidates;
}

bool writeDatabase(const std::string& root,
                   const std::vector<std::unique_ptr<InstalledPackage>>& records,
                   std::string& error) {
  for (const char* dir : {"/flash/var/pdb", "/ram", "/tmp", "/rw/pckg", "/dev"}) {
    if (!makeDirs(root + dir)) {
      error = "cannot create " + root + dir;
      return false;
    }
  }
  const pid_t child = fork();
  if (child < 0) {
    error = "fork failed";
    return false;
  }
  if (child == 0) {
    // The metadata writer works on the router's absolute paths.
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(2);
    installer::RunOutput output;  // reports go to its console
    installer::Manifest manifest;
    std::string content(100, 'x');
    for (const auto& record : records) {
      const std::string dir = "/flash/pkg/" + record->name;
      if (!makeDirs(dir)) _exit(3);
      for (const std::string_view path : record->files) {
        if (!writeFile(std::string(path), content)) _exit(4);
      }
      if (!installer::writeMetadata(output, *record, manifest)) _exit(5);
    }
    if (installer::commitManifest(manifest) != installer::CommitOutcome::kCommitted) _exit(6);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "writing the database into " + root + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

// Appends a full signature by the development keys; false when it could not
// be made.
bool addDevSignature(installer::PackageWriter& writer, const installer::SigningKeys& keys) {
  bool signedOk = true;
  writer.addSignature(132, [&](const installer::SigningDigest& digest) {
    std::vector<std::uint8_t> signature;
    std::string reason;
    if (!installer::makeSignature(keys, installer::SignatureForm::kFull, digest.bytes,
                                  digest.sha256, signature, reason)) {
      signedOk = false;
    }
    return std::string(signature.begin(), signature.end());
  });
  return signedOk;
}

bool writeCandidateFiles(const std::string& dir,
                         const std::vector<std::unique_ptr<PackageFile>>& candidates,
                         std::string& error) {
  if (!makeDirs(dir)) {
    error = "cannot create " + dir;
    return false;
  }
  const installer::SigningKeys keys = devKeys();
  for (const auto& candidate : candidates) {
    installer::PackageWriter writer;
    writer.addSha256Switch();
    writer.addPackageHeader(*candidate);
    installer::PayloadEntry entry;
    entry.name = "pkg/" + candidate->name + "/file0";
    entry.data = "version " + std::to_string(candidate->version) + "\n";
    writer.addPayload({entry});
    const bool signedOk = addDevSignature(writer, keys);
    const std::string base = candidate->path.substr(candidate->path.rfind('/') + 1);
    if (!signedOk || !writeFile(dir + "/" + base, writer.bytes())) {
      error = "cannot write " + dir + "/" + base;
      return false;
    }
  }
  return true;
}

bool writeBundleFile(const std::string& path, std::size_t members, std::size_t minor,
                     std::string& error) {
  const installer::SigningKeys keys = devKeys();
  installer::PackageWriter writer;
  installer::Package bundle("suite");
  bundle.version = minorVersion(minor);
  bundle.buildTime = kBuildTime;
  bundle.arch = "i386";
  bundle.isBundle = true;
  writer.addPackageHeader(bundle);
  writer.addImage("");
  bool signedOk = true;
  for (std::size_t i = 0; i < members; ++i) {
    if (minor >= 2 && i % 100 == 99) continue;
    installer::Package member("m" + packageName(i).substr(1));
    member.version = bundle.version;
    member.buildTime = kBuildTime;
    member.arch = "i386";
    if (i % kChainLength != 0) {
      member.depends.push_back(Dependency{"m" + packageName(i - 1).substr(1), kVersionBase, 0, 0});
    }
    if (i % 5 == 0) member.provides.push_back(Dependency{"cap" + std::to_string(i / 5), 0, 0, 10});
    writer.addHeader(member);
    writer.addSha256Switch();
    writer.addDescription(member);
    installer::PayloadEntry entry;
    entry.name = "pkg/" + member.name + "/file0";
    entry.data = "version " + std::to_string(member.version) + "\n";
    writer.addPayload({entry});
    signedOk = addDevSignature(writer, keys) && signedOk;
  }
  if (!signedOk || !writeFile(path, writer.bytes())) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace bench
