#include "pkgtool/inspect.h"

#include <algorithm>

#include "package/format.h"
#include "package/payload.h"
#include "package/reader.h"
#include "package/signature.h"

namespace installer {
namespace {

void decodeHeader(PackageReader& reader, InspectedPart& part) {
  unsigned char data[kHeaderDataWithFlags] = {};
  const std::size_t want = std::min<std::size_t>(part.length, sizeof data);
  reader.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(want));
  const auto got = static_cast<std::size_t>(reader.gcount());
  if (got < kHeaderDataSize) {
    part.truncated = part.truncated || got < want;
    return;
  }
  Package p;
  std::size_t nameLength = 0;
  while (nameLength < kNameSize && data[nameLength] != 0) ++nameLength;
  p.name.assign(reinterpret_cast<const char*>(data), nameLength);
  p.version = decodeLe32(data + kHeaderVersionOffset);
  p.buildTime = decodeLe32(data + kHeaderBuildTimeOffset);
  part.hasFlags = got >= kHeaderDataWithFlags;
  if (part.hasFlags) p.flags = decodeLe32(data + kHeaderFlagsOffset);
  p.isBundle = part.type == kPartBundleHeader;
  part.header = std::move(p);
}

// Never allocates more than the file holds, whatever the part declares.
void decodeText(PackageReader& reader, InspectedPart& part, std::uint64_t available) {
  std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(part.length, available)), '\0');
  reader.read(text.data(), static_cast<std::streamsize>(text.size()));
  const auto got = static_cast<std::size_t>(reader.gcount());
  part.truncated = part.truncated || got < part.length;
  text.resize(got);
  part.text = std::move(text);
}

void decodePayload(PackageReader& reader, InspectedPart& part) {
  InflateStreambuf buffer(reader.rdbuf());
  std::istream payload(&buffer);
  FileEntry entry;
  for (;;) {
    const EntryRead read = readFileEntry(payload, entry);
    if (read == EntryRead::kEnd) return;
    if (read == EntryRead::kBroken) {
      part.payloadBroken = true;
      return;
    }
    part.files.push_back({entry.mode, entry.hardwareClass, entry.dataLength, entry.name});
    part.unpackedSize += entry.dataLength;
    if (entry.dataLength > 0 && !payload.seekg(entry.dataLength, std::ios_base::cur)) {
      part.payloadBroken = true;
      return;
    }
  }
}

void decodeSignature(PackageReader& reader, InspectedPart& part) {
  unsigned char data[kLegacySignatureSize] = {};
  reader.read(reinterpret_cast<char*>(data), sizeof data);
  for (std::size_t i = kLegacyCheckOffset; i < static_cast<std::size_t>(reader.gcount()); ++i) {
    part.legacyHalf = part.legacyHalf || data[i] != 0;
  }
}

}  // namespace

const char* partKindName(int type) {
  switch (type) {
    case kPartHeader:
      return "header";
    case kPartAuxText:
      return "aux-text";
    case kPartDepends:
      return "depends";
    case kPartPayload:
      return "payload";
    case kPartSignature:
      return "signature";
    case kPartArch:
      return "arch";
    case kPartConflicts:
      return "conflicts";
    case kPartBundleHeader:
      return "bundle-header";
    case kPartProvides:
      return "provides";
    case kPartOffByDefault:
      return "off-by-default";
    case kPartImage:
      return "image";
    case kPartNote:
      return "note";
    case kPartExtraText:
      return "extra-text";
    case kPartSha256Switch:
      return "sha256-switch";
    default:
      return "unknown";
  }
}

bool inspectFile(std::istream& in, std::uint64_t size, InspectedFile& file) {
  file.size = size;
  if (size < kFileHeaderSize) return false;
  PackageReader reader(in, false);
  file.magic = reader.magic;
  file.magicKnown = reader.magic == kMagicPackage || reader.magic == kMagicSideBySide;
  file.declaredSize = reader.totalLength;
  if (!file.magicKnown) return true;
  // Every type is wanted, so that each part stops the reader.
  reader.wantedTypes.resize(0x10000);
  for (std::uint32_t t = 0; t < 0x10000; ++t) reader.wantedTypes[t] = t;

  std::uint64_t end = kFileHeaderSize;
  while (reader.nextPart() != kNoPart) {
    InspectedPart part;
    part.type = reader.partType;
    part.length = reader.part().partLength;
    part.offset = reader.part().partStart - kPartHeaderSize;
    end = std::uint64_t{reader.part().partStart} + part.length;
    part.truncated = end > size;
    switch (part.type) {
      case kPartHeader:
      case kPartBundleHeader:
        decodeHeader(reader, part);
        break;
      case kPartExtraText:
      case kPartArch:
      case kPartAuxText:
      case kPartNote:
        decodeText(reader, part,
                   size > reader.part().partStart ? size - reader.part().partStart : 0);
        break;
      case kPartDepends:
      case kPartProvides:
      case kPartConflicts:
      case kPartOffByDefault: {
        std::vector<Dependency> list;
        part.listBroken = !readDependencyList(reader, list);
        part.list = std::move(list);
        break;
      }
      case kPartPayload:
        decodePayload(reader, part);
        break;
      case kPartSignature:
        decodeSignature(reader, part);
        break;
      default:
        break;
    }
    reader.clear(reader.rdstate() & ~(std::ios_base::failbit | std::ios_base::eofbit));
    file.parts.push_back(std::move(part));
  }
  file.trailingBytes = size > end ? size - end : 0;
  return true;
}

}  // namespace installer
