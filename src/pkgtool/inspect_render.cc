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

std::string renderInspectText(const InspectedFile& f, const std::string& path) {
  std::ostringstream out;
  out << "file: " << printable(path) << "\n";
  out << "magic: " << hex32(f.magic) << " (" << magicName(f) << ")\n";
  out << "size: " << f.size << " bytes (header declares " << f.declaredSize << ")\n";
  for (const InspectedPart& p : f.parts) {
    out << "part " << p.type << " " << partKindName(p.type) << " at " << p.offset << ", "
        << p.length << " bytes" << (p.truncated ? " (cut short)" : "") << "\n";
    if (p.header) {
      const Package& h = *p.header;
      out << "  name: " << printable(h.name) << "\n";
      out << "  version: " << versionText(h.version) << " (" << hex32(h.version) << ")\n";
      out << "  build time: " << utcTime(h.buildTime) << " (" << h.buildTime << ")\n";
      out << "  flags: " << (p.hasFlags ? flagsText(h.flags) : "none (32-byte header)") << "\n";
    }
    if (p.text) out << "  text: \"" << printable(*p.text) << "\"\n";
    if (p.list) {
      for (const Dependency& d : *p.list) out << "  " << dependencyText(d) << "\n";
      if (p.listBroken) out << "  (list shorter than its count)\n";
    }
    if (p.type == kPartPayload) {
      for (const InspectedEntry& e : p.files) {
        char line[64];
        std::snprintf(line, sizeof line, "  %06o class %u %10u ", e.mode, e.hardwareClass, e.size);
        out << line << printable(e.name) << "\n";
      }
      out << "  " << counted(p.files.size(), "entry", "entries") << ", " << p.unpackedSize
          << " bytes unpacked" << (p.payloadBroken ? " (broken: an entry is cut short)" : "")
          << "\n";
    }
    if (p.type == kPartSignature) out << "  form: " << signatureForm(p) << "\n";
  }
  if (f.trailingBytes > 0) out << "trailing bytes: " << f.trailingBytes << "\n";
  return out.str();
}

std::string renderInspectJson(const InspectedFile& f, const std::string& path) {
  std::ostringstream out;
  out << "{\"file\":" << json(path) << ",\"magic\":" << f.magic
      << ",\"magicName\":" << json(magicName(f)) << ",\"size\":" << f.size
      << ",\"declaredSize\":" << f.declaredSize << ",\"trailingBytes\":" << f.trailingBytes
      << ",\"parts\":[";
  bool firstPart = true;
  for (const InspectedPart& p : f.parts) {
    out << (firstPart ? "" : ",") << "{\"type\":" << p.type
        << ",\"kind\":" << json(partKindName(p.type)) << ",\"offset\":" << p.offset
        << ",\"length\":" << p.length << ",\"truncated\":" << (p.truncated ? "true" : "false");
    firstPart = false;
    if (p.header) {
      const Package& h = *p.header;
      out << ",\"name\":" << json(h.name) << ",\"version\":" << json(versionText(h.version))
          << ",\"versionCode\":" << h.version << ",\"buildTime\":" << h.buildTime
          << ",\"flags\":" << (p.hasFlags ? std::to_string(h.flags) : "null");
    }
    if (p.text) out << ",\"text\":" << json(*p.text);
    if (p.list) {
      out << ",\"entries\":[";
      bool first = true;
      for (const Dependency& d : *p.list) {
        out << (first ? "" : ",") << "{\"name\":" << json(d.name)
            << ",\"min\":" << jsonVersion(d.minVersion) << ",\"max\":" << jsonVersion(d.maxVersion)
            << ",\"priority\":" << d.priority << "}";
        first = false;
      }
      out << "],\"broken\":" << (p.listBroken ? "true" : "false");
    }
    if (p.type == kPartPayload) {
      out << ",\"files\":[";
      bool first = true;
      for (const InspectedEntry& e : p.files) {
        out << (first ? "" : ",") << "{\"name\":" << json(e.name) << ",\"mode\":" << e.mode
            << ",\"class\":" << unsigned{e.hardwareClass} << ",\"size\":" << e.size << "}";
        first = false;
      }
      out << "],\"unpackedSize\":" << p.unpackedSize
          << ",\"broken\":" << (p.payloadBroken ? "true" : "false");
    }
    if (p.type == kPartSignature) out << ",\"form\":" << json(signatureForm(p));
    out << "}";
  }
  out << "]}\n";
  return out.str();
}

}  // namespace installer
