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

// A text is handed on in pieces: a note of many megabytes is never held.
void streamText(PackageReader& reader, const InspectedPart& part, InspectSink& sink) {
  char piece[65536];
  for (std::uint32_t left = part.length; left > 0;) {
    reader.read(piece, static_cast<std::streamsize>(std::min<std::uint32_t>(left, sizeof piece)));
    const auto got = static_cast<std::size_t>(reader.gcount());
    if (got == 0) return;
    sink.textPiece(std::string_view(piece, got));
    left -= static_cast<std::uint32_t>(got);
  }
}

void streamPayload(PackageReader& reader, InspectedPart& part, InspectSink& sink) {
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
    sink.entry({entry.mode, entry.hardwareClass, entry.dataLength, entry.name});
    ++part.fileCount;
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

bool inspectFile(std::istream& in, std::uint64_t size, InspectedFile& file, InspectSink& sink) {
  file = InspectedFile{};
  file.size = size;
  if (size < kFileHeaderSize) return false;
  PackageReader reader(in, false);
  file.magic = reader.magic;
  file.magicKnown = reader.magic == kMagicPackage || reader.magic == kMagicSideBySide;
  file.declaredSize = reader.totalLength;
  if (!file.magicKnown) return true;
  sink.fileStart(file);
  // Every type is wanted, so that each part stops the reader.
  reader.wantedTypes.resize(0x10000);
  for (std::uint32_t t = 0; t < 0x10000; ++t) reader.wantedTypes[t] = t;

  // What lies beyond the declared size is no part of the package, whatever
  // it looks like.
  const std::uint64_t limit = std::min(size, file.declaredSize);
  std::uint64_t end = kFileHeaderSize;
  while (end < limit && reader.nextPart() != kNoPart) {
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
        sink.partStart(part);
        break;
      case kPartExtraText:
      case kPartArch:
      case kPartAuxText:
      case kPartNote:
        part.isText = true;
        sink.partStart(part);
        streamText(reader, part, sink);
        break;
      case kPartDepends:
      case kPartProvides:
      case kPartConflicts:
      case kPartOffByDefault: {
        std::vector<Dependency> list;
        part.listBroken = !readDependencyList(reader, list);
        part.list = std::move(list);
        sink.partStart(part);
        break;
      }
      case kPartPayload:
        sink.partStart(part);
        streamPayload(reader, part, sink);
        break;
      case kPartSignature:
        decodeSignature(reader, part);
        sink.partStart(part);
        break;
      default:
        sink.partStart(part);
        break;
    }
    sink.partEnd(part);
    reader.clear(reader.rdstate() & ~(std::ios_base::failbit | std::ios_base::eofbit));
  }
  file.trailingBytes = size > end ? size - end : 0;
  sink.fileEnd(file);
  return true;
}

}  // namespace installer
