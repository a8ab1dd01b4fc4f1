#include "powercut/call_record.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace powercut {
namespace {

struct Name {
  CallKind kind;
  const char* name;
};

constexpr Name kNames[] = {
    {CallKind::kOpen, "open"},
    {CallKind::kMkstemp, "mkstemp"},
    {CallKind::kWrite, "write"},
    {CallKind::kTruncate, "truncate"},
    {CallKind::kTruncatePath, "truncate-path"},
    {CallKind::kRename, "rename"},
    {CallKind::kLink, "link"},
    {CallKind::kSymlink, "symlink"},
    {CallKind::kUnlink, "unlink"},
    {CallKind::kRmdir, "rmdir"},
    {CallKind::kMkdir, "mkdir"},
    {CallKind::kChmod, "chmod"},
    {CallKind::kFchmod, "fchmod"},
    {CallKind::kFsync, "fsync"},
    {CallKind::kFdatasync, "fdatasync"},
    {CallKind::kSyncfs, "syncfs"},
    {CallKind::kSync, "sync"},
    {CallKind::kSyncFileRange, "sync_file_range"},
    {CallKind::kClose, "close"},
    {CallKind::kDup, "dup"},
    {CallKind::kChroot, "chroot"},
    {CallKind::kChdir, "chdir"},
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

bool readArguments(Call& call, Fields& f) {
  switch (call.kind) {
    case CallKind::kOpen:
      call.fd = static_cast<int>(f.number());
      call.flags = static_cast<int>(f.number(16));
      call.created = f.number() != 0;
      call.mode = static_cast<unsigned>(f.number(8));
      call.path = f.path();
      break;
    case CallKind::kMkstemp:
      call.fd = static_cast<int>(f.number());
      call.mode = static_cast<unsigned>(f.number(8));
      call.path = f.path();
      break;
    case CallKind::kWrite:
      call.fd = static_cast<int>(f.number());
      call.offset = f.number();
      call.length = f.number();
      break;
    case CallKind::kTruncate:
      call.fd = static_cast<int>(f.number());
      call.length = f.number();
      break;
    case CallKind::kTruncatePath:
      call.length = f.number();
      call.path = f.path();
      break;
    case CallKind::kRename:
    case CallKind::kLink:
    case CallKind::kSymlink:
      call.path = f.path();
      call.path2 = f.path();
      break;
    case CallKind::kUnlink:
    case CallKind::kRmdir:
    case CallKind::kChroot:
    case CallKind::kChdir:
      call.path = f.path();
      break;
    case CallKind::kMkdir:
    case CallKind::kChmod:
      call.mode = static_cast<unsigned>(f.number(8));
      call.path = f.path();
      break;
    case CallKind::kFchmod:
      call.fd = static_cast<int>(f.number());
      call.mode = static_cast<unsigned>(f.number(8));
      break;
    case CallKind::kFsync:
    case CallKind::kFdatasync:
    case CallKind::kClose:
      call.fd = static_cast<int>(f.number());
      if (!f.done()) call.size = f.signedNumber();
      break;
    case CallKind::kSyncfs:
      call.fd = static_cast<int>(f.number());
      break;
    case CallKind::kDup:
      call.fd = static_cast<int>(f.number());
      call.flags = static_cast<int>(f.number());  // the copy
      break;
    case CallKind::kSyncFileRange:
      call.fd = static_cast<int>(f.number());
      call.offset = f.number();
      call.length = f.number();
      call.flags = static_cast<int>(f.number());
      break;
    case CallKind::kSync:
      break;
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
    bool known = false;
    for (const Name& n : kNames) {
      if (name == n.name) {
        call.kind = n.kind;
        known = true;
      }
    }
    if (!known || !f.ok() || !readArguments(call, f)) {
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
