// Fuzz target: the manifest file reader. Whatever it accepts must survive a
// round trip: when the manifest it read can be written back, reading that
// file again gives the same entries (every move read back as a plain move).
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "base/ignore.h"
#include "fuzz_support.h"
#include "txn/manifest.h"
#include "txn/manifest_file.h"

namespace {

// Writing a manifest syncs it, which costs nothing on a memory file system.
// libFuzzer ends without running exit handlers, so each run removes the
// directories that earlier, finished runs left behind.
const std::string& workDir() {
  static const std::string dir = [] {
    std::string base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0) base = "/tmp";
    if (DIR* listing = opendir(base.c_str())) {
      while (const dirent* entry = readdir(listing)) {
        int pid = 0;
        if (std::sscanf(entry->d_name, "fuzz-manifest-%d", &pid) == 1 && kill(pid, 0) != 0 &&
            errno == ESRCH) {
          const std::string stale = base + "/" + entry->d_name;
          for (const char* name : {"/MANIFEST", "/MANIFEST.out"}) unlink((stale + name).c_str());
          rmdir(stale.c_str());
        }
      }
      closedir(listing);
    }
    const std::string made = base + "/fuzz-manifest-" + std::to_string(getpid());
    mkdir(made.c_str(), 0700);
    return made;
  }();
  return dir;
}

bool sameEntries(const installer::Manifest& a, const installer::Manifest& b) {
  if (a.entries.size() != b.entries.size()) return false;
  for (auto i = a.entries.begin(), j = b.entries.begin(); i != a.entries.end(); ++i, ++j) {
    if (i->first != j->first || i->second.op != j->second.op ||
        i->second.source != j->second.source) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = workDir() + "/MANIFEST";
  const std::string output = workDir() + "/MANIFEST.out";
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  installer::Manifest read;
  // A file that does not read back whole still yields the entries before the
  // bad line: the checks below hold for those too.
  installer::ignoreResult(installer::readManifest(read, input));
  for (const auto& [path, entry] : read.entries) {
    FUZZ_CHECK(entry.op != installer::ManifestOp::kMoveStaged);
    FUZZ_CHECK(path.find('\n') == std::string::npos);
  }
  if (installer::writeManifest(read, output)) {
    installer::Manifest again;
    FUZZ_CHECK(installer::readManifest(again, output).load == installer::ManifestLoad::kLoaded);
    FUZZ_CHECK(sameEntries(read, again));
  }
  // Cancelling a manifest read back deletes no file (it holds no staged
  // temporary files of this process).
  installer::cancelManifest(read);
  FUZZ_CHECK(read.empty());
  unlink(output.c_str());
  unlink(input.c_str());
  return 0;
}
