#include "support/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/hash.h"
#include "support/host_trees.h"

extern char** environ;

namespace testing_support {

TempRoot::TempRoot() {
  char pattern[] = "/tmp/sandbox-root-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = made;
}

TempRoot::~TempRoot() {
  // Unmount anything a test left mounted below the root before removing it.
  for (int i = 0; i < 8; ++i) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    std::vector<std::string> points;
    while (mounts >> device >> point && std::getline(mounts, rest)) {
      if (point.rfind(path_ + "/", 0) == 0) points.push_back(point);
    }
    if (points.empty()) break;
    std::sort(points.rbegin(), points.rend());
    for (const auto& p : points) umount2(p.c_str(), MNT_DETACH);
  }
  removeTree(path_);
}

ChrootSandbox::ChrootSandbox() {
  savedRoot_ = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  savedCwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (chroot(root_.path().c_str()) == 0) {
    entered_ = true;
    if (chdir("/") != 0) std::perror("chdir");
  }
}

ChrootSandbox::~ChrootSandbox() {
  if (entered_) {
    // Leave the chroot through the descriptor of the old root.
    if (fchdir(savedRoot_) != 0 || chroot(".") != 0) {
      std::perror("leaving sandbox");
      std::abort();
    }
  }
  if (savedCwd_ >= 0 && fchdir(savedCwd_) != 0) std::perror("fchdir");
  if (savedRoot_ >= 0) close(savedRoot_);
  if (savedCwd_ >= 0) close(savedCwd_);
}

bool haveChrootRights() {
  static const int answer = [] {
    const pid_t pid = fork();
    if (pid == 0) _exit(chroot("/") == 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
  }();
  return answer != 0;
}

bool canMountTmpfs() {
  // Probed in a child with a mount namespace of its own, over its current
  // root, so that the answer is right even when asked inside a sandbox.
  static const int answer = [] {
    const pid_t pid = fork();
    if (pid == 0) {
      if (unshare(CLONE_NEWNS) != 0) _exit(1);
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
      _exit(mount("tmpfs", "/", "tmpfs", 0, "size=64k") == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
  }();
  return answer != 0;
}

bool mountTmpfs(const std::string& dir, const std::string& size) {
  makeDirs(dir);
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (dirent* entry = readdir(handle)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(handle);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) makeDirs(path.substr(0, slash));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  chmod(path.c_str(), mode);
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void makeDirs(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string piece;
  if (!path.empty() && path[0] == '/') partial = "";
  while (std::getline(parts, piece, '/')) {
    if (piece.empty()) continue;
    partial += "/" + piece;
    mkdir(partial.c_str(), 0755);
  }
}

void removeTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        removeTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

namespace {

std::string hexDigest(const std::string& data) {
  auto hasher = installer::Hasher::create(installer::Hasher::Kind::kSha256);
  hasher->update(data.data(), data.size());
  std::uint8_t digest[32];
  hasher->finish(digest);
  static const char* const kHex = "0123456789abcdef";
  std::string text;
  for (auto byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

std::string timesOf(const struct stat& st) {
  return " m" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
         " c" + std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

void listTree(const std::string& dir, const std::string& shown, std::vector<std::string>& out,
              bool withTimes) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    // The installer's record of its last run changes with every run that
    // takes the lock, whatever the run did: its own tests read it.
    if (name == ".last-run" || name == ".last-run.new") continue;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    const std::string path = dir + "/" + name;
    const std::string label = shown + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode));
    const std::string times = withTimes ? timesOf(st) : "";
    if (S_ISDIR(st.st_mode)) {
      out.push_back(label + "/ " + mode + times);
      listTree(path, label, out, withTimes);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      out.push_back(label + " " + mode + " -> " + std::string(target, n > 0 ? size_t(n) : 0) +
                    times);
    } else {
      const std::string content = readFile(path).value_or("");
      out.push_back(label + " " + mode + " " + std::to_string(content.size()) + " " +
                    hexDigest(content) + times);
    }
  }
}

// Gives the child a root at `root` that still reaches the host's libraries
// and the directory of `binary`, through bind mounts in a private namespace.
std::string enterRootWithHostLibraries(const std::string& root, const std::string& binary) {
  if (unshare(CLONE_NEWNS) != 0) return {};
  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  static_cast<void>(bindHostTrees(root));
  const auto slash = binary.find_last_of('/');
  const std::string binDir = binary.substr(0, slash);
  mkdir((root + "/.testbin").c_str(), 0755);
  if (mount(binDir.c_str(), (root + "/.testbin").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return {};
  }
  if (chroot(root.c_str()) != 0 || chdir("/") != 0) return {};
  return "/.testbin" + binary.substr(slash);
}

}  // namespace

std::string treeListing(const std::string& dir, bool withTimes) {
  std::vector<std::string> lines;
  listTree(dir, "", lines, withTimes);
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

namespace {

// The program's environment: the test's own, without the variables the
// installer reads unless the options set them, and without those unset.
std::vector<std::string> childEnvironment(const std::vector<std::string>& args,
                                          const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    if (key == "board" || key == "arch" || key == "bootimage") continue;
    if (options.env.count(key) != 0) continue;
    if (std::find(options.unsetEnv.begin(), options.unsetEnv.end(), key) !=
        options.unsetEnv.end()) {
      continue;
    }
    env.push_back(entry);
  }
  for (const auto& [key, value] : options.env) env.push_back(key + "=" + value);
  // The leak check of a sanitizer build reads /proc at exit, which the
  // installer cannot reach once it has entered a test root with "-r".
  const bool changesRoot = std::find(args.begin(), args.end(), "-r") != args.end() ||
                           std::find(args.begin(), args.end(), "--root") != args.end();
  if (changesRoot) {
    auto asan = std::find_if(env.begin(), env.end(),
                             [](const std::string& e) { return e.rfind("ASAN_OPTIONS=", 0) == 0; });
    if (asan == env.end()) {
      env.push_back("ASAN_OPTIONS=detect_leaks=0");
    } else {
      *asan += ":detect_leaks=0";
    }
  }
  return env;
}

void pinToOneCore() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) _exit(125);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(125);
    return;
  }
}

// In the child: the standard descriptors, signals and root the options ask
// for, then the program.
[[noreturn]] void execProgram(const std::string& binary, const std::vector<std::string>& args,
                              const RunOptions& options, std::vector<std::string>& env, int input,
                              int output, int error) {
  dup2(input, 0);
  dup2(output, 1);
  dup2(error, 2);
  if (options.output == RunOptions::Output::kReaderGone) {
    int gone[2];
    if (pipe(gone) == 0) {
      dup2(gone[1], 1);
      close(gone[0]);
      close(gone[1]);
    }
  } else if (options.output == RunOptions::Output::kClosed) {
    close(1);
  }
  // A writer to a pipe without reader is killed unless it says otherwise:
  // the program must meet the default, whatever the test process set.
  signal(SIGPIPE, SIG_DFL);
  if (options.oneCore) pinToOneCore();
  if (options.timeoutSeconds != 0) {
    signal(SIGALRM, SIG_DFL);
    alarm(options.timeoutSeconds);
  }
  std::string path = binary;
  if (!options.chrootTo.empty()) {
    path = enterRootWithHostLibraries(options.chrootTo, binary);
    if (path.empty()) {
      std::perror("entering test root");
      _exit(126);
    }
  }
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  execve(path.c_str(), argv.data(), envp.data());
  std::perror("execve");
  _exit(127);
}

// Feeds `input` to the program while collecting what it writes to its two
// outputs, until both are closed; all three descriptors are closed after.
void exchange(int inFd, int outFd, int errFd, const std::string& input, RunResult& result) {
  std::size_t written = 0;
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  char buffer[16384];
  while (outOpen || errOpen) {
    pollfd fds[3];
    int n = 0;
    if (outOpen) fds[n++] = {outFd, POLLIN, 0};
    if (errOpen) fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        const ssize_t w = write(inFd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
      if (r <= 0) {
        if (fds[i].fd == outFd)
          outOpen = false;
        else
          errOpen = false;
        continue;
      }
      (fds[i].fd == outFd ? result.out : result.err).append(buffer, static_cast<std::size_t>(r));
    }
  }
  if (inFd >= 0) close(inFd);
  close(outFd);
  close(errFd);
}

}  // namespace

RunResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                     const RunOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  std::vector<std::string> env = childEnvironment(args, options);
  const pid_t pid = fork();
  if (pid == 0) execProgram(binary, args, options, env, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);

  RunResult result;
  exchange(in[1], out[0], err[0], options.input, result);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult runInstaller(const std::vector<std::string>& args, const RunOptions& options) {
  return runProgram(INSTALLER_BINARY, args, options);
}

RunResult runPkgtool(const std::vector<std::string>& args, const RunOptions& options) {
  return runProgram(PKGTOOL_BINARY, args, options);
}

unsigned usableCoresOfTest() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
  return static_cast<unsigned>(CPU_COUNT(&allowed));
}

}  // namespace testing_support
