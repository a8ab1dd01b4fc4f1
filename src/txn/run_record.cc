#include "txn/run_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "txn/file_io.h"
#include "txn/paths.h"

namespace installer {
namespace {

// The run number sits on the second line: no more is read for it, however
// large the file at the name.
constexpr std::size_t kNumberReadLimit = 4096;

constexpr std::string_view kOutcomeNames[] = {
    "committed", "nothing-to-do", "kept",           "cancelled",   "refused",
    "undone",    "unfinished",    "rolled-forward", "rolled-back", "cleaned-up",
};
constexpr std::string_view kFateNames[] = {"installed", "passed-over", "refused", "not-tried",
                                           "cancelled"};

bool escaped(unsigned char c) { return c < 0x20 || c >= 0x7F || c == '%' || c == '='; }

void appendValue(std::string& out, std::string_view value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (const char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (escaped(c)) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    } else {
      out += ch;
    }
  }
}

void appendLine(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  out += '=';
  appendValue(out, value);
  out += '\n';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False for an escape that no writer makes.
bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c != '%') {
      if (escaped(c)) return false;
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hexDigit(text[i + 1]);
    const int low = hexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string timeText(std::time_t when) {
  std::tm parts{};
  char text[32];
  if (gmtime_r(&when, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return {};
  }
  return text;
}

std::string temporaryOf(const char* path) { return std::string(path) + ".new"; }

// Whatever a crashed or hostile past left at the temporary's name goes,
// unless it is a directory, which is never emptied on a guess.
bool clearTemporary(const std::string& temporary) {
  struct stat st;
  if (lstat(temporary.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return unlink(temporary.c_str()) == 0 || errno == ENOENT;
}

}  // namespace

std::string_view outcomeName(RunOutcome outcome) {
  return kOutcomeNames[static_cast<std::size_t>(outcome)];
}

std::string_view fateName(FileFate fate) { return kFateNames[static_cast<std::size_t>(fate)]; }

std::string formatRunRecord(const RunRecord& record) {
  std::string out = kRunRecordHeader;
  out += '\n';
  const std::string run = std::to_string(record.run);
  appendLine(out, "run", run);
  appendLine(out, "started", timeText(record.started));
  appendLine(out, "mode", record.mode);
  appendLine(out, "exit_status", std::to_string(record.exitStatus));
  appendLine(out, "outcome", outcomeName(record.outcome));
  appendLine(out, "reason", record.reason);
  appendLine(out, "recovered", record.recovered ? outcomeName(*record.recovered) : "");
  appendLine(out, "bytes_written", std::to_string(record.bytesWritten));
  appendLine(out, "files", std::to_string(record.files.size()));
  for (std::size_t i = 0; i < record.files.size(); ++i) {
    const RunRecord::File& file = record.files[i];
    const std::string key = "file." + std::to_string(i + 1) + ".";
    appendLine(out, key + "name", file.name);
    appendLine(out, key + "package", file.package);
    appendLine(out, key + "version", file.version);
    appendLine(out, key + "fate", fateName(file.fate));
    appendLine(out, key + "message", file.message);
  }
  appendLine(out, "actions", std::to_string(record.actions.size()));
  for (std::size_t i = 0; i < record.actions.size(); ++i) {
    appendLine(out, "action." + std::to_string(i + 1), record.actions[i]);
  }
  appendLine(out, "end", run);
  return out;
}

std::vector<RecordField> parseRunRecord(std::string_view text) {
  std::vector<RecordField> fields;
  const std::size_t first = text.find('\n');
  if (first == std::string_view::npos || text.substr(0, first) != kRunRecordHeader) return {};
  text.remove_prefix(first + 1);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return {};  // cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) return {};
    RecordField field;
    field.key = std::string(line.substr(0, equals));
    if (!unescape(line.substr(equals + 1), field.value)) return {};
    fields.push_back(std::move(field));
  }
  // Whole: it ends as every record ends, with the run number it began with.
  if (fields.size() < 2 || fields.back().key != "end" || fields.front().key != "run" ||
      fields.back().value != fields.front().value) {
    return {};
  }
  return fields;
}

std::optional<std::string> readRunRecordText(const char* path, std::size_t limit) {
  const int fd = openOwnRegularFile(path, O_RDONLY, 0);
  if (fd < 0) return std::nullopt;
  std::string text;
  char block[4096];
  bool failed = false;
  while (text.size() < limit) {
    const ssize_t got = read(fd, block, std::min(sizeof block, limit - text.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    text.append(block, static_cast<std::size_t>(got));
  }
  close(fd);
  if (failed) return std::nullopt;
  return text;
}

std::uint64_t nextRunNumber(const char* path) {
  const std::optional<std::string> text = readRunRecordText(path, kNumberReadLimit);
  if (!text) return 1;
  const std::string_view view(*text);
  const std::string prefix = std::string(kRunRecordHeader) + "\nrun=";
  if (!view.starts_with(prefix)) return 1;
  const std::string_view rest = view.substr(prefix.size());
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
  if (error != std::errc() || end == rest.data() || end == rest.data() + rest.size() ||
      *end != '\n' || number == UINT64_MAX) {
    return 1;
  }
  return number + 1;
}

RecordWrite stageRunRecord(const RunRecord& record, const char* path) {
  struct stat st;
  const std::string dir = parentDir(path);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return RecordWrite::kNoDirectory;
  const std::string temporary = temporaryOf(path);
  if (!clearTemporary(temporary)) return RecordWrite::kFailed;
  const int fd = openOwnRegularFile(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return RecordWrite::kFailed;
  const bool written = writeAll(fd, formatRunRecord(record));
  const int error = errno;
  if (close(fd) != 0 || !written) {
    unlink(temporary.c_str());
    errno = written ? errno : error;
    return RecordWrite::kFailed;
  }
  return RecordWrite::kWritten;
}

bool placeRunRecord(const char* path) {
  const std::string temporary = temporaryOf(path);
  if (rename(temporary.c_str(), path) == 0) return true;
  const int error = errno;
  unlink(temporary.c_str());
  errno = error;
  return false;
}

void dropStagedRunRecord(const char* path) { unlink(temporaryOf(path).c_str()); }

RecordWrite writeRunRecord(const RunRecord& record, const char* path) {
  RecordWrite result = stageRunRecord(record, path);
  if (result == RecordWrite::kWritten && !placeRunRecord(path)) result = RecordWrite::kFailed;
  if (result == RecordWrite::kFailed) {
    const int error = errno;
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(path);
    errno = error;
  }
  return result;
}

}  // namespace installer
