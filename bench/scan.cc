// The yardstick for loading the package database: open and read every file
// of every package directory once, and nothing else.
//
//   bench_scan DATABASE_DIR
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Reads every plain file of `dir`; false when `dir` is no directory.
bool readFiles(const std::string& dir) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return false;
  char buffer[4096];
  while (const dirent* entry = readdir(handle)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = open((dir + "/" + entry->d_name).c_str(), O_RDONLY);
    if (fd < 0) continue;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
  }
  closedir(handle);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_scan DATABASE_DIR\n");
    return 2;
  }
  const std::string top = argv[1];
  DIR* handle = opendir(top.c_str());
  if (handle == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  while (const dirent* entry = readdir(handle)) {
    if (entry->d_name[0] == '.') continue;
    readFiles(top + "/" + entry->d_name);
  }
  closedir(handle);
  return 0;
}
