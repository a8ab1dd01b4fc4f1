// Fuzz target: the signature check over a hashing reader, as an install
// meets it: headers read, payloads passed over, and at every signature part
// the check with the built-in keys. The digest the reader finished must be
// the one computed independently over the same bytes, and an accepted
// signature must verify on that independent digest too.
#include <algorithm>
#include <istream>
#include <string>

#include "fuzz_support.h"
#include "package/format.h"
#include "package/reader.h"
#include "package/signature.h"
#include "support/test_source.h"

namespace {

constexpr int kMaxParts = 2048;

// The digest a reader holds once it has read the header of part `index`:
// from the last type-1 header (or the start of the SHA-256 run) up to that
// header's end. Checking an earlier signature finished the hash too, so it
// restarted after the signature bytes that check read unhashed.
fuzzing::Digest digestUpTo(const std::string& file, const fuzzing::PartWalk& walk,
                           std::size_t index) {
  bool sha256 = false;
  std::size_t start = installer::kFileHeaderSize;
  for (std::size_t i = 0; i <= index; ++i) {
    const fuzzing::PartSpan& p = walk.parts[i];
    if (p.type == installer::kPartSha256Switch && !sha256) {
      sha256 = true;
      start = p.headerOffset;
    } else if (p.type == installer::kPartHeader) {
      start = p.headerOffset;
    } else if (p.type == installer::kPartSignature && i < index) {
      const std::size_t dataAt = p.headerOffset + installer::kPartHeaderSize;
      std::size_t unhashed =
          p.length >= installer::kFullSignatureSize     ? installer::kFullSignatureSize
          : p.length >= installer::kLegacySignatureSize ? installer::kLegacySignatureSize
                                                        : 0;
      unhashed = std::min(unhashed, file.size() - dataAt);
      start = dataAt + unhashed;
    }
  }
  const std::size_t end = walk.parts[index].headerOffset + installer::kPartHeaderSize;
  auto hasher = installer::Hasher::create(sha256 ? installer::Hasher::Kind::kSha256
                                                 : installer::Hasher::Kind::kSha1);
  hasher->update(file.data() + start, end - start);
  std::uint8_t out[32];
  hasher->finish(out);
  return {sha256, std::string(reinterpret_cast<const char*>(out), hasher->digestSize())};
}

// The part whose data starts at `dataOffset`.
std::size_t partIndex(const fuzzing::PartWalk& walk, std::uint32_t dataOffset) {
  for (std::size_t i = 0; i < walk.parts.size(); ++i) {
    if (walk.parts[i].headerOffset + installer::kPartHeaderSize == dataOffset) return i;
  }
  return walk.parts.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  const fuzzing::PartWalk walk = fuzzing::walkParts(file);
  const bool pipe = size > 0 && (data[size - 1] & 1) != 0;
  testing_support::TestSource source(file, !pipe, pipe ? 1 : 1 << 30);
  std::istream in(&source);
  installer::PackageReader reader(in, true);
  reader.wantedTypes = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24};

  installer::Package package("");
  int type = reader.nextPart();
  for (int i = 0; i < kMaxParts && type >= 0; ++i) {
    if (type == installer::kPartHeader || type == installer::kPartBundleHeader) {
      package = installer::Package("");
      if (installer::readHeader(package, reader)) {
        type = reader.partType;  // the first part readHeader did not use
        continue;
      }
    } else if (type == installer::kPartSignature) {
      const std::size_t index = partIndex(walk, reader.part().partStart);
      FUZZ_CHECK(index < walk.parts.size());
      const bool accepted = installer::verifySignature(package, reader);
      const fuzzing::Digest expected = digestUpTo(file, walk, index);
      FUZZ_CHECK(reader.part().hashIsSha256() == expected.sha256);
      FUZZ_CHECK(std::string(reinterpret_cast<const char*>(reader.part().digest()),
                             expected.bytes.size()) == expected.bytes);
      if (accepted) {
        const std::size_t dataAt = walk.parts[index].headerOffset + installer::kPartHeaderSize;
        const std::size_t n = walk.parts[index].length >= installer::kFullSignatureSize
                                  ? installer::kFullSignatureSize
                                  : installer::kLegacySignatureSize;
        FUZZ_CHECK(dataAt + n <= file.size());
        std::string digest = expected.bytes;
        digest.resize(32, '\0');
        FUZZ_CHECK(installer::verifySignatureBytes(
            package.name, package.version, reinterpret_cast<const std::uint8_t*>(digest.data()),
            expected.sha256, reinterpret_cast<const std::uint8_t*>(file.data()) + dataAt, n));
      }
    }
    type = reader.nextPart();
  }
  return 0;
}
