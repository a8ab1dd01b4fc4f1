// The two renderings of an inspected file: for people and as JSON.
#include <cstdio>
#include <ctime>
#include <sstream>

#include "package/format.h"
#include "package/signature.h"
#include "pkgtool/counted.h"
#include "pkgtool/inspect.h"
#include "pkgtool/json.h"

namespace installer {
namespace {

std::string hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

std::string utcTime(std::uint32_t seconds) {
  const std::time_t t = seconds;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string magicName(const InspectedFile& f) {
  if (f.magic == kMagicPackage) return "package";
  if (f.magic == kMagicSideBySide) return "side-by-side";
  return "unknown";
}

// Printable ASCII as it is except quotes and backslashes, "\xHH" otherwise.
std::string printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

std::string json(const std::string& s) { return jsonString(s); }

std::string jsonVersion(Version v) { return v == 0 ? "null" : json(versionText(v)); }

// The description file's syntax: "name min=V max=V priority=N".
std::string dependencyText(const Dependency& d) {
  std::string text = printable(d.name);
  if (d.minVersion != 0) text += " min=" + versionText(d.minVersion);
  if (d.maxVersion != 0) text += " max=" + versionText(d.maxVersion);
  if (d.priority != 0) text += " priority=" + std::to_string(d.priority);
  return text;
}

std::string flagsText(std::uint32_t flags) {
  std::string text = hex32(flags);
  if (flags & kFlagBootImage) text += " boot-image";
  if (flags & kFlagNoMetadata) text += " no-metadata";
  return text;
}

std::string signatureForm(const InspectedPart& p) {
  if (p.length >= kFullSignatureSize) {
    return p.legacyHalf ? "ed25519 and legacy" : "ed25519";
  }
  if (p.length >= kLegacySignatureSize) return "legacy";
  return "too short";
}

}  // namespace

namespace {

class TextWriter : public InspectSink {
 public:
  TextWriter(std::ostream& out, const std::string& path) : out_(out), path_(path) {}

  void fileStart(const InspectedFile& f) override {
    out_ << "file: " << printable(path_) << "\n";
    out_ << "magic: " << hex32(f.magic) << " (" << magicName(f) << ")\n";
    out_ << "size: " << f.size << " bytes (header declares " << f.declaredSize << ")\n";
  }

  void partStart(const InspectedPart& p) override {
    out_ << "part " << p.type << " " << partKindName(p.type) << " at " << p.offset << ", "
         << p.length << " bytes" << (p.truncated ? " (cut short)" : "") << "\n";
    if (p.header) {
      const Package& h = *p.header;
      out_ << "  name: " << printable(h.name) << "\n";
      out_ << "  version: " << versionText(h.version) << " (" << hex32(h.version) << ")\n";
      out_ << "  build time: " << utcTime(h.buildTime) << " (" << h.buildTime << ")\n";
      out_ << "  flags: " << (p.hasFlags ? flagsText(h.flags) : "none (32-byte header)") << "\n";
    }
    if (p.isText) out_ << "  text: \"";
    if (p.list) {
      for (const Dependency& d : *p.list) out_ << "  " << dependencyText(d) << "\n";
      if (p.listBroken) out_ << "  (list shorter than its count)\n";
    }
  }

  void textPiece(std::string_view piece) override { out_ << printable(std::string(piece)); }

  void entry(const InspectedEntry& e) override {
    char line[64];
    std::snprintf(line, sizeof line, "  %06o class %u %10u ", e.mode, e.hardwareClass, e.size);
    out_ << line << printable(e.name) << "\n";
  }

  void partEnd(const InspectedPart& p) override {
    if (p.isText) out_ << "\"\n";
    if (p.type == kPartPayload) {
      out_ << "  " << counted(p.fileCount, "entry", "entries") << ", " << p.unpackedSize
           << " bytes unpacked" << (p.payloadBroken ? " (broken: an entry is cut short)" : "")
           << "\n";
    }
    if (p.type == kPartSignature) out_ << "  form: " << signatureForm(p) << "\n";
  }

  void fileEnd(const InspectedFile& f) override {
    if (f.trailingBytes > 0) out_ << "trailing bytes: " << f.trailingBytes << "\n";
  }

 private:
  std::ostream& out_;
  std::string path_;
};

// The object's keys in the order the file is read; "trailingBytes" is known
// only at its end.
class JsonWriter : public InspectSink {
 public:
  JsonWriter(std::ostream& out, const std::string& path) : out_(out), path_(path) {}

  void fileStart(const InspectedFile& f) override {
    out_ << "{\"file\":" << json(path_) << ",\"magic\":" << f.magic
         << ",\"magicName\":" << json(magicName(f)) << ",\"size\":" << f.size
         << ",\"declaredSize\":" << f.declaredSize << ",\"parts\":[";
  }

  void partStart(const InspectedPart& p) override {
    out_ << (firstPart_ ? "" : ",") << "{\"type\":" << p.type
         << ",\"kind\":" << json(partKindName(p.type)) << ",\"offset\":" << p.offset
         << ",\"length\":" << p.length << ",\"truncated\":" << (p.truncated ? "true" : "false");
    firstPart_ = false;
    if (p.header) {
      const Package& h = *p.header;
      out_ << ",\"name\":" << json(h.name) << ",\"version\":" << json(versionText(h.version))
           << ",\"versionCode\":" << h.version << ",\"buildTime\":" << h.buildTime
           << ",\"flags\":" << (p.hasFlags ? std::to_string(h.flags) : "null");
    }
    if (p.isText) {
      out_ << ",\"text\":\"";
      held_.clear();
    }
    if (p.list) {
      out_ << ",\"entries\":[";
      bool first = true;
      for (const Dependency& d : *p.list) {
        out_ << (first ? "" : ",") << "{\"name\":" << json(d.name)
             << ",\"min\":" << jsonVersion(d.minVersion) << ",\"max\":" << jsonVersion(d.maxVersion)
             << ",\"priority\":" << d.priority << "}";
        first = false;
      }
      out_ << "],\"broken\":" << (p.listBroken ? "true" : "false");
    }
    if (p.type == kPartPayload) {
      out_ << ",\"files\":[";
      firstEntry_ = true;
    }
  }

  // A character cut between two pieces is held back for the next, so that
  // it is written as the character it is.
  void textPiece(std::string_view piece) override {
    held_.append(piece);
    const std::size_t cut = utf8CutTail(held_);
    std::string escaped;
    appendJsonStringBody(escaped, std::string_view(held_).substr(0, held_.size() - cut));
    out_ << escaped;
    held_.erase(0, held_.size() - cut);
  }

  void entry(const InspectedEntry& e) override {
    out_ << (firstEntry_ ? "" : ",") << "{\"name\":" << json(e.name) << ",\"mode\":" << e.mode
         << ",\"class\":" << unsigned{e.hardwareClass} << ",\"size\":" << e.size << "}";
    firstEntry_ = false;
  }

  void partEnd(const InspectedPart& p) override {
    if (p.isText) {
      std::string escaped;
      appendJsonStringBody(escaped, held_);
      out_ << escaped << "\"";
      held_.clear();
    }
    if (p.type == kPartPayload) {
      out_ << "],\"unpackedSize\":" << p.unpackedSize
           << ",\"broken\":" << (p.payloadBroken ? "true" : "false");
    }
    if (p.type == kPartSignature) out_ << ",\"form\":" << json(signatureForm(p));
    out_ << "}";
  }

  void fileEnd(const InspectedFile& f) override {
    out_ << "],\"trailingBytes\":" << f.trailingBytes << "}\n";
  }

 private:
  std::ostream& out_;
  std::string path_;
  std::string held_;  // the start of a character cut by the last text piece
  bool firstPart_ = true;
  bool firstEntry_ = true;
};

}  // namespace

std::unique_ptr<InspectSink> inspectTextWriter(std::ostream& out, const std::string& path) {
  return std::make_unique<TextWriter>(out, path);
}

std::unique_ptr<InspectSink> inspectJsonWriter(std::ostream& out, const std::string& path) {
  return std::make_unique<JsonWriter>(out, path);
}

}  // namespace installer
