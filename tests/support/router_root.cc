#include "support/router_root.h"

#include <gtest/gtest.h>

#include <sstream>

// GCC 12 at -O3 warns that the std::string it builds for "text" + string
// may overlap its source (a false -Wrestrict from the inlined
// basic_string::_M_replace, GCC bug 105329): a literal and a fresh heap
// buffer cannot overlap. Silenced for this file only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace testing_support {

std::string describe(const std::string& name, const std::string& version,
                     const std::vector<std::string>& lines) {
  std::string text = "name: " + name + "\nversion: " + version + "\nbuild-time: 1700000000\n";
  for (const auto& line : lines) text += line + "\n";
  return text;
}

RouterRoot::RouterRoot() {
  makeDirs(root_ / "/flash/var/pdb");
  makeDirs(root_ / "/ram");
  makeDirs(root_ / "/rw");
}

std::string RouterRoot::build(const std::string& description, const PackageFiles& files,
                              const std::string* image) {
  const std::string dir = work_ / ("/" + std::to_string(++builds_));
  makeDirs(dir + "/tree");
  std::string text = description;
  if (image != nullptr) {
    writeFile(dir + "/image", *image);
    text += "image: image\n";
  }
  writeFile(dir + "/description", text);
  for (const auto& [name, content] : files) writeFile(dir + "/tree/" + name, content);
  std::vector<std::string> args = {"build", dir + "/description"};
  if (!files.empty()) args.push_back(dir + "/tree");
  args.insert(args.end(), {"-o", dir + "/package.npk", "--dev-key"});
  const RunResult built = runPkgtool(args);
  EXPECT_EQ(built.status, 0) << built.err;
  return readFile(dir + "/package.npk").value_or("");
}

void RouterRoot::download(const std::string& fileName, const std::string& bytes,
                          const std::string& dir) {
  writeFile(root_ / (dir + fileName), bytes);
}

void RouterRoot::clearDownloads() {
  for (const char* dir : {kDownloadDir, kFlashRwDir, kFlashVarDir}) removeTree(root_ / dir);
}

RunResult RouterRoot::run(const std::vector<std::string>& args, RunOptions options) {
  std::vector<std::string> all = {"-r", root_.path()};
  all.insert(all.end(), args.begin(), args.end());
  return runInstaller(all, options);
}

RunResult RouterRoot::runInside(const std::vector<std::string>& args) {
  RunOptions options;
  options.chrootTo = root_.path();
  return runInstaller(args, options);
}

void RouterRoot::install(const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& [name, bytes] : files) download(name, bytes);
  const RunResult result = run();
  EXPECT_EQ(result.status, 0) << result.out;
  clearDownloads();
}

std::string RouterRoot::tree(const std::string& inside) const {
  std::istringstream in(treeListing(root_ / inside));
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    if (inside == "/flash" && line.rfind("/postlog ", 0) == 0) continue;
    if (inside == "/ram" && line.rfind("/installer.lock ", 0) == 0) continue;
    kept += line + "\n";
  }
  return kept;
}

std::string RouterRoot::file(const std::string& inside) const {
  return readFile(root_ / inside).value_or("<missing>");
}

bool RouterRoot::exists(const std::string& inside) const {
  return testing_support::exists(root_ / inside);
}

std::vector<std::string> messageLines(const std::string& out) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const char c = out[i];
    if (c == '\x1b') {
      // Cursor show and hide: ESC "[?25l" / ESC "[?25h".
      i = out.find_first_of("lh", i);
      if (i == std::string::npos) break;
    } else if (c == '\r') {
      line.clear();
    } else if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return lines;
}

}  // namespace testing_support
