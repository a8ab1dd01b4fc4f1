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
  bool ok = fchmod(fd, mode) == 0;
  if (!ok) error = reasonFor("cannot set the mode of", temp);
  if (ok && !(ok = writeAll(fd, bytes))) error = reasonFor("cannot write", temp);
  if (ok && !(ok = fsync(fd) == 0)) error = reasonFor("cannot write", temp);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = reasonFor("cannot write", temp);
  }
  if (ok && !(ok = std::rename(temp.c_str(), path.c_str()) == 0)) {
    error = reasonFor("cannot rename the temporary file to", path);
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
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
