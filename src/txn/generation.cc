#include "txn/generation.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

#include "txn/file_io.h"
#include "txn/staging.h"
#include "txn/temporaries.h"

namespace installer {
namespace {

constexpr std::string_view kDatabaseDir = "/flash/var/pdb/";

std::optional<std::uint64_t> parseNumber(std::string_view text) {
  while (!text.empty() && (text.back() == '\n')) text.remove_suffix(1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::string stampPath() { return std::string(kKeptListPath) + "/" + kKeptStampName; }

}  // namespace

std::uint64_t readGeneration() {
  LineReader in(kGenerationPath);
  std::string line;
  bool whole = false;
  if (!in.next(line, whole) || !whole) return 0;
  return parseNumber(line).value_or(0);
}

bool changesPackages(const Manifest& m) {
  for (const auto& [target, entry] : m.entries) {
    if (target.starts_with(kDatabaseDir) && target != kGenerationPath) return true;
  }
  return false;
}

bool stageNextGeneration(Manifest& m) {
  const std::string text = std::to_string(readGeneration() + 1) + "\n";
  auto file = createStagedFile(m, kGenerationPath, text.size(), 0644);
  *file << text;
  file->close();
  return !file->fail();
}

bool stampKeptList(std::uint64_t generation) {
  const std::string path = stampPath();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  return symlink(std::to_string(generation).c_str(), path.c_str()) == 0;
}

std::optional<std::uint64_t> keptListGeneration() {
  char text[32];
  const ssize_t size = readlink(stampPath().c_str(), text, sizeof text);
  if (size <= 0 || static_cast<std::size_t>(size) >= sizeof text) return std::nullopt;
  // A stamp that does not read as a number matches no generation.
  return parseNumber(std::string_view(text, static_cast<std::size_t>(size))).value_or(UINT64_MAX);
}

}  // namespace installer
