// Package file building: part encoding and the digest a signature covers.
#include "package/writer.h"

#include <algorithm>
#include <cstring>

#include "platform/hash.h"

namespace installer {
namespace {

std::string partHeader(std::uint16_t type, std::uint32_t length) {
  unsigned char header[kPartHeaderSize];
  encodeLe16(header, type);
  encodeLe32(header + kPartLengthOffset, length);
  return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

void putName(std::string& out, std::size_t offset, const std::string& name) {
  std::memcpy(out.data() + offset, name.data(), std::min(name.size(), kNameSize));
}

void putLe32(std::string& out, std::size_t offset, std::uint32_t value) {
  encodeLe32(reinterpret_cast<unsigned char*>(out.data()) + offset, value);
}

}  // namespace

std::string encodeHeaderData(const Package& p, std::size_t length) {
  std::string data(std::max(length, kHeaderDataWithFlags), '\0');
  putName(data, 0, p.name);
  putLe32(data, kHeaderVersionOffset, p.version);
  putLe32(data, kHeaderBuildTimeOffset, p.buildTime);
  putLe32(data, kHeaderFlagsOffset, p.flags);
  data.resize(length);
  return data;
}

std::string encodeDependencyList(const std::vector<Dependency>& list) {
  std::string data(kDependencyCountSize + kDependencyEntrySize * list.size(), '\0');
  encodeLe16(reinterpret_cast<unsigned char*>(data.data()),
             static_cast<std::uint16_t>(list.size()));
  std::size_t offset = 2;
  for (const Dependency& d : list) {
    putName(data, offset, d.name);
    putLe32(data, offset + kEntryMinVersionOffset, d.minVersion);
    putLe32(data, offset + kEntryMaxVersionOffset, d.maxVersion);
    putLe32(data, offset + kEntryPriorityOffset, static_cast<std::uint32_t>(d.priority));
    offset += kDependencyEntrySize;
  }
  return data;
}

void PackageWriter::addPart(std::uint16_t type, std::string_view data,
                            std::optional<std::uint32_t> declaredLength) {
  body_ += partHeader(type, declaredLength.value_or(static_cast<std::uint32_t>(data.size())));
  body_.append(data);
}

void PackageWriter::addRaw(std::string_view bytes) { body_.append(bytes); }

void PackageWriter::addHeader(const Package& p, std::size_t length, std::uint16_t type) {
  addPart(type, encodeHeaderData(p, length));
}

void PackageWriter::addDescription(const Package& p) {
  if (!p.extraText.empty()) addText(kPartExtraText, p.extraText);
  if (!p.arch.empty()) addText(kPartArch, p.arch);
  if (!p.auxText.empty()) addText(kPartAuxText, p.auxText);
  if (!p.note.empty()) addText(kPartNote, p.note);
  addDependencyList(kPartDepends, p.depends);
  if (!p.provides.empty()) addDependencyList(kPartProvides, p.provides);
  if (!p.conflicts.empty()) addDependencyList(kPartConflicts, p.conflicts);
}

void PackageWriter::addPackageHeader(const Package& p) {
  addHeader(p, kHeaderDataWithFlags, p.isBundle ? kPartBundleHeader : kPartHeader);
  addDescription(p);
}

void PackageWriter::addDependencyList(std::uint16_t type, const std::vector<Dependency>& list) {
  addPart(type, encodeDependencyList(list));
}

void PackageWriter::addPayload(const std::vector<PayloadEntry>& entries, int level) {
  PayloadBuilder builder(level);
  for (const PayloadEntry& e : entries) builder.addEntry(e);
  addPart(kPartPayload, builder.finish());
}

SigningDigest PackageWriter::signingDigest(std::uint32_t length) const {
  const std::string all = body_ + partHeader(kPartSignature, length);
  // Walk the parts by their declared lengths, as the reader does: a type-1
  // header restarts the current hash, the first type-25 header starts the
  // SHA-256 one, which stays current from then on.
  bool sha256 = false;
  std::size_t sha1Start = 0;
  std::size_t sha256Start = 0;
  std::size_t pos = 0;
  while (pos + kPartHeaderSize <= all.size()) {
    const auto* header = reinterpret_cast<const unsigned char*>(all.data()) + pos;
    const std::uint16_t type = decodeLe16(header);
    if (type == kPartSha256Switch && !sha256) {
      sha256 = true;
      sha256Start = pos;
    } else if (type == kPartHeader) {
      (sha256 ? sha256Start : sha1Start) = pos;
    }
    pos += kPartHeaderSize + decodeLe32(header + kPartLengthOffset);
  }
  const std::size_t start = sha256 ? sha256Start : sha1Start;
  auto hasher = Hasher::create(sha256 ? Hasher::Kind::kSha256 : Hasher::Kind::kSha1);
  hasher->update(all.data() + start, all.size() - start);
  SigningDigest digest;
  digest.sha256 = sha256;
  digest.size = hasher->digestSize();
  hasher->finish(digest.bytes);
  return digest;
}

void PackageWriter::addSignature(std::uint32_t length,
                                 const std::function<std::string(const SigningDigest&)>& sign) {
  std::string data = sign(signingDigest(length));
  data.resize(length, '\0');
  addPart(kPartSignature, data);
}

std::string PackageWriter::fileHeader() const {
  unsigned char header[kFileHeaderSize];
  encodeLe32(header, magic_);
  encodeLe32(header + kFileLengthOffset,
             payloadLengthOverride_.value_or(static_cast<std::uint32_t>(body_.size())));
  return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

std::string PackageWriter::bytes() const { return fileHeader() + body_; }

}  // namespace installer
