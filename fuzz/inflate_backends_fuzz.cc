// Fuzz target: the two inflate backends on the same bytes. The first byte
// chooses the form of the rest: raw bytes taken as the zlib stream of a
// payload part, or bytes that the harness deflates first (into stored, fixed
// and dynamic blocks) and then damages in one way: a cut, a flipped bit, the
// preset-dictionary flag, bytes after the end, or nothing at all. Both
// backends must end the stream cleanly or both not; a clean end must come
// with the same bytes and the same pieces of the part read at the same
// points (to within a few bytes of output: where ISA-L stops at the end of a
// piece). How much of a cut or corrupt stream arrives is the one thing
// allowed to differ (the installer takes such a payload for broken wherever
// it stops); what arrives must still be the same bytes.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "package/payload.h"
#include "support/inflate_trace.h"

namespace {

using installer::InflateBackend;
using installer::Inflater;
using testing_support::BlockKind;
using testing_support::InflateTrace;
using testing_support::traceInflate;

std::size_t readNumber(const std::uint8_t*& data, std::size_t& size) {
  std::size_t n = 0;
  for (int i = 0; i < 2 && size > 0; ++i, ++data, --size) n = n << 8 | *data;
  return n;
}

std::string generated(const std::uint8_t* data, std::size_t size, std::uint8_t form) {
  const std::uint8_t damage = form >> 4;
  const std::size_t where = readNumber(data, size);
  const std::string raw(reinterpret_cast<const char*>(data), size);
  // Up to three pieces in blocks of their own kinds.
  std::vector<std::pair<std::string, BlockKind>> pieces;
  const std::size_t third = raw.size() / 3;
  for (int i = 0; i < 3; ++i) {
    const auto kind = static_cast<BlockKind>((form >> (1 + i)) % 3);
    pieces.emplace_back(raw.substr(i * third, i == 2 ? std::string::npos : third), kind);
  }
  std::string stream = testing_support::zlibStream(pieces);
  switch (damage % 6) {
    case 1:  // cut
      stream.resize(where % (stream.size() + 1));
      break;
    case 2: {  // a flipped bit
      const std::size_t bit = where % (stream.size() * 8);
      stream[bit / 8] = static_cast<char>(stream[bit / 8] ^ (1 << (bit % 8)));
      break;
    }
    case 3: {  // the preset-dictionary flag, with right check bits
      unsigned flg = (static_cast<unsigned char>(stream[1]) | 0x20u) & ~0x1Fu;
      flg += 31 - (static_cast<unsigned char>(stream[0]) * 256 + flg) % 31;
      stream[1] = static_cast<char>(flg);
      break;
    }
    case 4:  // bytes after the end
      stream += raw.substr(0, where % 64);
      break;
    default:
      break;
  }
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || !Inflater::available(InflateBackend::kIsal)) return 0;
  const std::uint8_t form = data[0];
  const std::string part = (form & 1) != 0
                               ? generated(data + 1, size - 1, form)
                               : std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  const InflateTrace zlib = traceInflate(part, InflateBackend::kZlib);
  const InflateTrace isal = traceInflate(part, InflateBackend::kIsal);
  // Both end cleanly or neither does; only a clean end is a payload's end.
  FUZZ_CHECK(zlib.endedCleanly == isal.endedCleanly);
  if (zlib.endedCleanly) {
    FUZZ_CHECK(zlib.delivered == isal.delivered);
    FUZZ_CHECK(testing_support::sameReads(zlib, isal));
  } else {
    // Cut or corrupt: how much arrives may differ, what arrives may not.
    const std::size_t common = std::min(zlib.delivered.size(), isal.delivered.size());
    FUZZ_CHECK(zlib.delivered.compare(0, common, isal.delivered, 0, common) == 0);
  }
  return 0;
}
