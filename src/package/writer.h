// Builds package files in memory: the file header, then parts of any type in
// the order they are added. Used by the package tool and by tests, which also
// need deliberately malformed files (wrong lengths, cut parts, odd headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/format.h"
#include "package/payload_writer.h"
#include "records/package.h"

namespace installer {

// The digest a hashing reader holds when it reaches a signature part.
struct SigningDigest {
  bool sha256 = false;  // SHA-256 once a type-25 part came before, else SHA-1
  std::uint8_t bytes[32] = {};
  std::size_t size = 20;  // 20 for SHA-1, 32 for SHA-256
};

// Header part data: name (NUL-padded, cut at 16 bytes), version, build time,
// 8 zero bytes, and the flags word when `length` >= 36. Shorter lengths cut
// the data; longer ones pad it with zeros.
std::string encodeHeaderData(const Package& p, std::size_t length = kHeaderDataWithFlags);
// Dependency list data: the 16-bit count, then one 32-byte entry each.
std::string encodeDependencyList(const std::vector<Dependency>& list);

class PackageWriter {
 public:
  explicit PackageWriter(std::uint32_t magic = kMagicPackage) : magic_(magic) {}

  // A part with the given data; `declaredLength` overrides the length field
  // (for parts that claim more or less than they hold).
  void addPart(std::uint16_t type, std::string_view data,
               std::optional<std::uint32_t> declaredLength = std::nullopt);
  // Bytes appended as they are, outside any part (a cut part header, junk).
  void addRaw(std::string_view bytes);

  // Type 1, or 18 for a bundle header, with `length` bytes of header data.
  void addHeader(const Package& p, std::size_t length = kHeaderDataWithFlags,
                 std::uint16_t type = kPartHeader);
  // The descriptive parts `readHeader` takes after a header, in its order:
  // 24, 16, 2, 23 when their text is not empty, 3 always, 19 and 17 when
  // their list is not empty.
  void addDescription(const Package& p);
  // The header part (18 when `p.isBundle`) followed by the description.
  void addPackageHeader(const Package& p);
  void addText(std::uint16_t type, std::string_view text) { addPart(type, text); }
  void addDependencyList(std::uint16_t type, const std::vector<Dependency>& list);
  void addImage(std::string_view data) { addPart(kPartImage, data); }
  // A type-4 part holding the entries as one zlib stream; `level` 0 stores.
  void addPayload(const std::vector<PayloadEntry>& entries, int level = 6);
  // From this part on a hashing reader uses SHA-256.
  void addSha256Switch(std::string_view data = {}) { addPart(kPartSha256Switch, data); }

  // The digest a hashing reader would check for a signature part of
  // `length` data bytes appended now: over every byte from the most recent
  // type-1 or type-25 part header (see below) up to and including the
  // signature part's own header.
  SigningDigest signingDigest(std::uint32_t length) const;
  // Appends a signature part of `length` bytes whose content `sign`
  // produces from that digest (cut or zero-padded to `length`).
  void addSignature(std::uint32_t length,
                    const std::function<std::string(const SigningDigest&)>& sign);

  // The payload length written into the file header; computed from the parts
  // unless overridden.
  void overridePayloadLength(std::uint32_t length) { payloadLengthOverride_ = length; }

  // Parts written so far, after the 8-byte file header.
  const std::string& body() const { return body_; }
  std::string bytes() const;

 private:
  std::string fileHeader() const;

  std::uint32_t magic_;
  std::optional<std::uint32_t> payloadLengthOverride_;
  std::string body_;
};

}  // namespace installer
