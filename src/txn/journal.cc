#include "txn/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/crc32.h"

namespace installer {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kCheckHex[] = "0123456789abcdef";
constexpr std::string_view kUnrooted = "./";
// A line's check: a blank and eight hex digits.
constexpr std::size_t kCheckSize = 9;

void appendCheck(std::string_view body, std::string& out) {
  const std::uint32_t crc = crc32Of(body);
  out += ' ';
  for (int shift = 28; shift >= 0; shift -= 4) out += kCheckHex[(crc >> shift) & 0xF];
}

bool isCheckDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// The text of a checked line, or nothing when its check is missing or does
// not match.
std::optional<std::string_view> checkedBody(std::string_view line) {
  if (line.size() <= kCheckSize || line[line.size() - kCheckSize] != ' ') return std::nullopt;
  const std::string_view body = line.substr(0, line.size() - kCheckSize);
  std::string expected;
  appendCheck(body, expected);
  if (line.substr(body.size()) != expected) return std::nullopt;
  return body;
}

void appendEscaped(std::string_view text, std::string& out) {
  std::size_t plain = 0;  // where the run of bytes written as they are began
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x21 && byte != 0x7F && byte != '%') continue;
    out.append(text.substr(plain, i - plain));
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
    plain = i + 1;
  }
  out.append(text.substr(plain));
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends the unescaped `text` to `out`; false when an escape is cut or bad,
// or a byte stands there that is always written escaped.
bool appendUnescaped(std::string_view text, std::string& out) {
  std::size_t plain = 0;  // where the run of bytes that stand for themselves began
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x21 || byte == 0x7F) return false;
    if (text[i] != '%') continue;
    if (i + 2 >= text.size()) return false;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out.append(text.substr(plain, i - plain));
    out += static_cast<char>(high * 16 + low);
    i += 2;
    plain = i + 1;
  }
  out.append(text.substr(plain));
  return true;
}

// The directory that a name in the next field of its kind is in, as the
// part of `path` up to its last slash, the slash included ("/a/b" -> "/a/",
// "/a" -> "/", "//a" -> "//"): a name joins it as it is. Empty (none) unless
// `path` is absolute.
std::string_view dirOf(std::string_view path) {
  if (!path.starts_with('/')) return {};
  return path.substr(0, path.rfind('/') + 1);
}

void appendField(std::string_view path, std::string_view dir, std::string& out) {
  if (path.starts_with('/')) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = path.substr(slash + 1);
    if (!dir.empty() && !name.empty() && dirOf(path) == dir) {
      appendEscaped(name, out);
    } else {
      appendEscaped(path, out);
    }
  } else {
    out += kUnrooted;
    appendEscaped(path, out);
  }
}

// One field of a line in the current form; false when it does not decode.
bool decodeField(std::string_view field, std::string_view dir, std::string& path) {
  path.clear();
  if (field.starts_with('/')) return appendUnescaped(field, path);
  if (field.starts_with(kUnrooted)) {
    field.remove_prefix(kUnrooted.size());
    return !field.empty() && appendUnescaped(field, path);
  }
  // A name: a slash in it would make it a path of another directory.
  if (field.empty() || dir.empty() || field.find('/') != std::string_view::npos) return false;
  path = dir;
  return appendUnescaped(field, path);
}

bool present(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string journalMark(char mark) {
  std::string line(1, mark);
  appendCheck(line, line);
  line += '\n';
  return line;
}

void JournalEncoder::append(const JournalStep& step, std::string& out) {
  const std::size_t start = out.size();
  out += static_cast<char>(step.kind);
  out += ' ';
  appendField(step.path, pathDir_, out);
  pathDir_ = dirOf(step.path);
  if (step.kind == StepKind::kBackUp || step.kind == StepKind::kPlace) {
    out += ' ';
    appendField(step.other, otherDir_, out);
    otherDir_ = dirOf(step.other);
  }
  // The check is computed over the line as it stands in `out`, which is
  // not moved while it is read: the digits go to a copy first.
  std::string check;
  appendCheck(std::string_view(out).substr(start), check);
  out += check;
  out += '\n';
}

bool JournalDecoder::start(std::string_view header) {
  pathDir_.clear();
  otherDir_.clear();
  dense_ = header != kJournalHeaderFull;
  checked_ = header == kJournalHeader;
  return header == kJournalHeader || header == kJournalHeaderDense || header == kJournalHeaderFull;
}

bool JournalDecoder::couldBeCut(std::string_view tail) const {
  if (tail.empty()) return true;
  // The fields a line of each kind has before its check.
  std::size_t fields;
  switch (tail[0]) {
    case 'K':
    case 'E':
    case 'C':
    case 'A':
      fields = 1;
      break;
    case 'D':
    case 'R':
      fields = 2;
      break;
    case 'B':
    case 'P':
      fields = 3;
      break;
    default:
      return false;
  }
  for (const char c : tail) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  if (!checked_) return true;
  std::size_t blanks = 0;
  for (const char c : tail) blanks += c == ' ' ? 1 : 0;
  if (blanks < fields) return true;
  // Into the check: only its digits, fewer than all of them, or all of
  // them right (the newline alone was lost).
  if (blanks > fields) return false;
  const std::string_view digits = tail.substr(tail.rfind(' ') + 1);
  for (const char c : digits) {
    if (!isCheckDigit(c)) return false;
  }
  if (digits.size() < kCheckSize - 1) return true;
  return digits.size() == kCheckSize - 1 && checkedBody(tail).has_value();
}

JournalRecord JournalDecoder::decode(std::string_view line, JournalStep& step) {
  if (checked_) {
    const std::optional<std::string_view> body = checkedBody(line);
    if (!body) return JournalRecord::kGarbled;
    line = *body;
  }
  if (line.size() == 1) {
    switch (line[0]) {
      case 'K':
        return JournalRecord::kKeptManifest;
      case 'E':
        return JournalRecord::kEnd;
      case 'C':
        return JournalRecord::kCommitted;
      case 'A':
        return JournalRecord::kAbandoned;
      default:
        return JournalRecord::kGarbled;
    }
  }
  if (line.size() < 3 || line[1] != ' ') return JournalRecord::kGarbled;
  const char kind = line[0];
  const bool twoPaths = kind == 'B' || kind == 'P';
  if (!twoPaths && kind != 'D' && kind != 'R') return JournalRecord::kGarbled;
  std::string_view rest = line.substr(2);
  const std::size_t blank = rest.find(' ');
  if (twoPaths != (blank != std::string_view::npos)) return JournalRecord::kGarbled;
  const std::string_view first = rest.substr(0, blank);
  const std::string_view second = twoPaths ? rest.substr(blank + 1) : std::string_view();
  step.kind = static_cast<StepKind>(kind);
  step.other.clear();
  if (!dense_) {
    step.path.clear();
    if (!appendUnescaped(first, step.path) || step.path.empty()) return JournalRecord::kGarbled;
    if (twoPaths && (!appendUnescaped(second, step.other) || step.other.empty())) {
      return JournalRecord::kGarbled;
    }
    return JournalRecord::kStep;
  }
  if (!decodeField(first, pathDir_, step.path)) return JournalRecord::kGarbled;
  pathDir_ = dirOf(step.path);
  if (twoPaths) {
    if (!decodeField(second, otherDir_, step.other)) return JournalRecord::kGarbled;
    otherDir_ = dirOf(step.other);
  }
  return JournalRecord::kStep;
}

JournalReader::JournalReader(const std::string& path) : lines_(path.c_str()) {
  bool whole = false;
  if (!lines_.next(line_, whole)) return;
  if (whole) {
    started_ = decoder_.start(line_);
    unknownForm_ = !started_;
    return;
  }
  // The header cut while it was written is the beginning of one.
  for (const char* header : {kJournalHeader, kJournalHeaderDense, kJournalHeaderFull}) {
    if (std::string_view(header).starts_with(line_)) return;
  }
  unknownForm_ = true;
}

JournalRecord JournalReader::next(JournalStep& step) {
  bool whole = false;
  if (!started_ || !lines_.next(line_, whole)) {
    return lines_.failed() ? JournalRecord::kGarbled : JournalRecord::kCut;
  }
  if (!whole) return decoder_.couldBeCut(line_) ? JournalRecord::kCut : JournalRecord::kGarbled;
  return decoder_.decode(line_, step);
}

bool readJournal(const std::string& path, JournalContents& journal) {
  JournalReader reader(path);
  if (!reader.opened()) return false;
  journal = {};
  bool ended = false;
  bool damaged = reader.unknownForm();
  while (!damaged) {
    JournalStep step;
    const JournalRecord record = reader.next(step);
    if (record == JournalRecord::kCut) break;
    if (!ended && record == JournalRecord::kStep) {
      journal.steps.push_back(std::move(step));
    } else if (!ended && record == JournalRecord::kKeptManifest) {
      journal.keptManifest = true;
    } else if (!ended && record == JournalRecord::kEnd) {
      ended = true;
      journal.complete = true;
    } else if (ended && record == JournalRecord::kCommitted) {
      journal.committed = true;
    } else if (ended && record == JournalRecord::kAbandoned) {
      journal.committed = false;
    } else {
      // A line that does not decode, or one where no commit writes it: the
      // file is not what a commit left, cut or whole.
      damaged = true;
    }
  }
  if (damaged) {
    journal = {};
    journal.state = JournalState::kDamaged;
    return true;
  }
  journal.state = journal.complete ? JournalState::kComplete : JournalState::kIncomplete;
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
