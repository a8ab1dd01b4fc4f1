#include "powercut/call_record.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace powercut {
namespace {

// A call's name in the record and the fields of its line after the name,
// one letter each, in order: d descriptor, F flags (hexadecimal), f flags
// (decimal; for dup the copy), c created (0 or 1), m mode (octal), o offset,
// l length, p path, q second path, s size (signed, may be left out).
struct Name {
  CallKind kind;
  const char* name;
  const char* fields;
};

constexpr Name kNames[] = {
    {CallKind::kOpen, "open", "dFcmp"},
    {CallKind::kMkstemp, "mkstemp", "dmp"},
    {CallKind::kWrite, "write", "dol"},
    {CallKind::kTruncate, "truncate", "dl"},
    {CallKind::kTruncatePath, "truncate-path", "lp"},
    {CallKind::kRename, "rename", "pq"},
    {CallKind::kLink, "link", "pq"},
    {CallKind::kSymlink, "symlink", "pq"},
    {CallKind::kUnlink, "unlink", "p"},
    {CallKind::kRmdir, "rmdir", "p"},
    {CallKind::kMkdir, "mkdir", "mp"},
    {CallKind::kChmod, "chmod", "mp"},
    {CallKind::kFchmod, "fchmod", "dm"},
    {CallKind::kFsync, "fsync", "ds"},
    {CallKind::kFdatasync, "fdatasync", "ds"},
    {CallKind::kSyncfs, "syncfs", "d"},
    {CallKind::kSync, "sync", ""},
    {CallKind::kSyncFileRange, "sync_file_range", "dolf"},
    {CallKind::kClose, "close", "ds"},
    {CallKind::kDup, "dup", "df"},
    {CallKind::kChroot, "chroot", "p"},
    {CallKind::kChdir, "chdir", "p"},
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The fields of one event line, read in the order the call's form lists
// them; any field missing or malformed fails the whole line.
class Fields {
 public:
  explicit Fields(const std::string& line) {
    std::size_t at = 0;
    while (at <= line.size()) {
      const std::size_t blank = line.find(' ', at);
      const std::size_t end = blank == std::string::npos ? line.size() : blank;
      parts_.push_back(line.substr(at, end - at));
      at = end + 1;
    }
  }

  bool ok() const { return ok_; }
  bool done() const { return next_ == parts_.size(); }

  std::string word() {
    if (next_ >= parts_.size()) {
      ok_ = false;
      return {};
    }
    return parts_[next_++];
  }
  std::uint64_t number(int base = 10) {
    const std::string text = word();
    if (text.empty()) ok_ = false;
    std::uint64_t value = 0;
    for (char c : text) {
      const int digit = hexDigit(c);
      if (digit < 0 || digit >= base) {
        ok_ = false;
        return 0;
      }
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
  }
  std::int64_t signedNumber() {
    if (next_ < parts_.size() && parts_[next_] == "-1") {
      ++next_;
      return -1;
    }
    return static_cast<std::int64_t>(number());
  }
  std::string path() {
    auto text = unescapeField(word());
    if (!text) ok_ = false;
    return text.value_or("");
  }

 private:
  std::vector<std::string> parts_;
  std::size_t next_ = 0;
  bool ok_ = true;
};

// Reads the fields that `fields` lists (see kNames) into the call.
bool readArguments(Call& call, const char* fields, Fields& f) {
  for (const char* field = fields; *field != '\0'; ++field) {
    switch (*field) {
      case 'd':
        call.fd = static_cast<int>(f.number());
        break;
      case 'F':
        call.flags = static_cast<int>(f.number(16));
        break;
      case 'f':
        call.flags = static_cast<int>(f.number());
        break;
      case 'c':
        call.created = f.number() != 0;
        break;
      case 'm':
        call.mode = static_cast<unsigned>(f.number(8));
        break;
      case 'o':
        call.offset = f.number();
        break;
      case 'l':
        call.length = f.number();
        break;
      case 'p':
        call.path = f.path();
        break;
      case 'q':
        call.path2 = f.path();
        break;
      case 's':
        if (!f.done()) call.size = f.signedNumber();
        break;
    }
  }
  return f.ok() && f.done();
}

}  // namespace

const char* callName(CallKind kind) {
  for (const Name& n : kNames) {
    if (n.kind == kind) return n.name;
  }
  return "?";
}

std::string escapeField(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == '%' || c >= 0x7f) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> unescapeField(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexDigit(text[i + 1]);
    const int low = hexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string describe(const Call& call) {
  std::ostringstream text;
  text << call.seq << ' ' << callName(call.kind);
  if (call.fd >= 0) text << " fd " << call.fd;
  if (!call.path.empty()) text << ' ' << call.path;
  if (!call.path2.empty()) text << ' ' << call.path2;
  if (call.kind == CallKind::kWrite || call.kind == CallKind::kTruncate) {
    text << " at " << call.offset << " length " << call.length;
  }
  return text.str();
}

RecordOrError parseCallRecord(const std::string& text) {
  RecordOrError result;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      result.error = "an event without its end of line at byte " + std::to_string(at);
      return result;
    }
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    Fields f(line);
    Call call;
    call.seq = static_cast<long>(f.number());
    const std::string name = f.word();
    const char* fields = nullptr;
    for (const Name& n : kNames) {
      if (name == n.name) {
        call.kind = n.kind;
        fields = n.fields;
      }
    }
    if (fields == nullptr || !f.ok() || !readArguments(call, fields, f)) {
      result.error = "event not understood: " + line;
      return result;
    }
    if (call.kind == CallKind::kWrite) {
      if (text.size() - at < call.length + 1 || text[at + call.length] != '\n') {
        result.error = "the data of a write cut short: " + line;
        return result;
      }
      call.data = text.substr(at, call.length);
      at += call.length + 1;
    }
    result.calls.push_back(std::move(call));
  }
  return result;
}

RecordOrError readCallRecord(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {{}, "cannot read " + path};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parseCallRecord(text);
}

}  // namespace powercut
