#include "txn/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace installer {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte == 0x7F || c == '%') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return !out.empty();
}

}  // namespace

bool parseStep(const std::string& line, JournalStep& step) {
  if (line.size() < 3 || line[1] != ' ') return false;
  const char kind = line[0];
  const std::string rest = line.substr(2);
  const std::size_t blank = rest.find(' ');
  const bool twoPaths = kind == 'B' || kind == 'P';
  if (twoPaths != (blank != std::string::npos)) return false;
  if (!unescape(rest.substr(0, blank), step.path)) return false;
  step.other.clear();
  if (twoPaths && !unescape(rest.substr(blank + 1), step.other)) return false;
  switch (kind) {
    case 'D':
      step.kind = StepKind::kMakeDir;
      return true;
    case 'B':
      step.kind = StepKind::kBackUp;
      return true;
    case 'P':
      step.kind = StepKind::kPlace;
      return true;
    case 'R':
      step.kind = StepKind::kRemoveDir;
      return true;
    default:
      return false;
  }
}

namespace {

bool present(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string encodeStep(const JournalStep& step) {
  std::string line(1, static_cast<char>(step.kind));
  line += ' ';
  line += escape(step.path);
  if (step.kind == StepKind::kBackUp || step.kind == StepKind::kPlace) {
    line += ' ';
    line += escape(step.other);
  }
  return line;
}

bool readJournal(const std::string& path, JournalContents& journal) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  journal = {};
  std::string line;
  // A journal whose first line never reached the disk is empty: it was cut
  // before it was complete, so nothing was renamed yet.
  if (!std::getline(in, line) || line != kJournalHeader) return true;
  bool ended = false;
  while (std::getline(in, line) && !in.eof()) {
    if (!ended) {
      if (line == "E") {
        ended = true;
        journal.complete = true;
      } else if (line == "K") {
        journal.keptManifest = true;
      } else {
        JournalStep step;
        if (!parseStep(line, step)) break;
        journal.steps.push_back(std::move(step));
      }
    } else if (line == "C") {
      journal.committed = true;
    } else if (line == "A") {
      journal.committed = false;
    } else {
      break;
    }
  }
  // The operations count only when the journal was complete: an incomplete
  // one was cut while it was being written, before any step was taken.
  if (!journal.complete) journal.steps.clear();
  return true;
}

bool stepDone(const JournalStep& step) {
  switch (step.kind) {
    case StepKind::kMakeDir: {
      struct stat st;
      return lstat(step.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    case StepKind::kBackUp:
      return present(step.other);
    case StepKind::kPlace:
      return !present(step.other) && present(step.path);
    case StepKind::kRemoveDir:
      return false;
  }
  return false;
}

bool undoStep(const JournalStep& step) {
  if (!stepDone(step)) return true;
  switch (step.kind) {
    case StepKind::kMakeDir:
      // Only empty: anything in it that is not this run's stays with it.
      return rmdir(step.path.c_str()) == 0 || errno == ENOENT || errno == ENOTEMPTY ||
             errno == EEXIST;
    case StepKind::kBackUp:
      return rename(step.other.c_str(), step.path.c_str()) == 0;
    case StepKind::kPlace:
      return rename(step.path.c_str(), step.other.c_str()) == 0;
    case StepKind::kRemoveDir:
      return true;
  }
  return true;
}

}  // namespace installer
