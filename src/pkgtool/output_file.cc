#include "pkgtool/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "txn/file_io.h"

namespace installer {
namespace {

std::string reasonFor(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode,
                         bool exactMode, std::string& error) {
  std::string temp = path + ".tmpXXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    error = reasonFor("cannot create a temporary file for", path);
    return false;
  }
  if (!exactMode) {
    const mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  // The mode is set before anything is written: the file never carries the
  // contents with the mode mkstemp gave it.
  if (fchmod(fd, mode) != 0) {
    error = reasonFor("cannot set the mode of", temp);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  switch (replaceFromTemporary(fd, temp, path, bytes, 0)) {
    case ReplaceStep::kDone:
      return true;
    case ReplaceStep::kRename:
      error = reasonFor("cannot rename the temporary file to", path);
      return false;
    case ReplaceStep::kWrite:
    case ReplaceStep::kMode:
    case ReplaceStep::kClose:
      break;
  }
  error = reasonFor("cannot write", temp);
  return false;
}

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = reasonFor("cannot open", path);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    error = reasonFor("cannot read", path);
    return false;
  }
  bytes = std::move(content).str();
  return true;
}

}  // namespace installer
