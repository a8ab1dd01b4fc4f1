#include "pkgtool/schedule_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/loader.h"
#include "txn/file_io.h"
#include "txn/paths.h"

namespace installer {
namespace {

std::string failure(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool writeSchedule(const std::string& name, PendingAction action, std::string& error) {
  const std::string path = scheduleFilePath(name);
  const std::string dir = parentDir(path);
  if (!makeDirs(dir)) {
    error = failure("create", dir);
    return false;
  }
  std::string temporary = dir + "/.scheduleXXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    error = failure("create a file in", dir);
    return false;
  }
  const std::string line = std::string(actionWord(action)) + "\n";
  if (replaceFromTemporary(fd, temporary, path, line, 0644) != ReplaceStep::kDone) {
    error = failure("write", path);
    return false;
  }
  return true;
}

bool clearSchedule(const std::string& name, std::string& error) {
  const std::string path = scheduleFilePath(name);
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = failure("remove", path);
    return false;
  }
  // Only an empty directory of the package's own goes; anything else in it
  // is not ours.
  const std::string dir = parentDir(path);
  if (parentDir(dir) == "/ram/pdb") rmdir(dir.c_str());
  return true;
}

}  // namespace installer
