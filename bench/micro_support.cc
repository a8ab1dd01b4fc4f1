// Packages in memory and database roots for the in-process benchmarks.
#include "micro_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "../tests/support/dev_keys.h"
#include "corpus.h"
#include "package/payload_writer.h"
#include "package/signer.h"
#include "package/writer.h"

namespace bench {
namespace {

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "bench_micro: %s\n", message.c_str());
  std::exit(1);
}

std::string buildPackage(std::uint64_t files, std::uint64_t bytes) {
  installer::Package header("bench");
  header.version = 0x07016600;
  header.buildTime = 1700000000;
  installer::PackageWriter writer;
  writer.addSha256Switch();
  writer.addPackageHeader(header);
  installer::PayloadBuilder payload(9);
  forEachTreeFile(files, bytes, 1, [&](const std::string& name, const std::string& data) {
    payload.addEntryHeader(0100644, 0, static_cast<std::uint32_t>(data.size()), name);
    payload.addData(data);
    return true;
  });
  writer.addPart(installer::kPartPayload, payload.finish());
  const installer::SigningKeys keys = testing_support::devSigningKeys();
  writer.addSignature(132, [&](const installer::SigningDigest& digest) {
    std::vector<std::uint8_t> signature;
    std::string error;
    if (!installer::makeSignature(keys, installer::SignatureForm::kFull, digest.bytes,
                                  digest.sha256, signature, error)) {
      die("signing failed: " + error);
    }
    return std::string(signature.begin(), signature.end());
  });
  return writer.bytes();
}

struct Roots {
  std::string base;
  std::map<std::size_t, std::string> bySize;
  ~Roots() {
    if (!base.empty()) std::system(("rm -rf '" + base + "'").c_str());
  }
};

}  // namespace

const std::string& packageBytes(std::uint64_t files, std::uint64_t bytes) {
  static std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> built;
  auto& entry = built[{files, bytes}];
  if (entry.empty()) entry = buildPackage(files, bytes);
  return entry;
}

const std::string& databaseRoot(std::size_t packages) {
  static Roots roots;
  if (roots.base.empty()) {
    const char* dir = std::getenv("BENCH_MICRO_DIR");
    std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/micro-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) die("cannot create a directory from " + pattern);
    roots.base = pattern;
  }
  auto& root = roots.bySize[packages];
  if (root.empty()) {
    root = roots.base + "/db" + std::to_string(packages);
    std::string error;
    if (!writeDatabase(root, installedRecords(packages, 20, false), error) ||
        !writeCandidateFiles(root + "/flash/var/pckg", candidateRecords(packages, 4), error)) {
      die(error);
    }
  }
  return root;
}

EnterRoot::EnterRoot(const std::string& root) {
  oldRoot_ = open("/", O_RDONLY | O_DIRECTORY);
  if (oldRoot_ < 0 || chroot(root.c_str()) != 0 || chdir("/") != 0) {
    die("cannot change the root directory to " + root + " (needs root)");
  }
}

EnterRoot::~EnterRoot() {
  // Leaving a changed root: back through the directory kept open.
  if (fchdir(oldRoot_) != 0 || chroot(".") != 0 || chdir("/") != 0) die("cannot leave the root");
  close(oldRoot_);
}

}  // namespace bench
