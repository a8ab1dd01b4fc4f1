// Test helper: what one inflate backend makes of a payload stream, step by
// step, for comparing the backends: the bytes delivered, how far the part had
// been read at every refill (which is what the progress bar shows), and
// whether the stream ended cleanly. Also builds zlib streams with stored,
// fixed and dynamic blocks.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/payload.h"
#include "support/test_source.h"

namespace testing_support {

struct InflateTrace {
  std::string delivered;
  // At each refill: bytes delivered before it, bytes of the part read once
  // it is done.
  std::vector<std::pair<std::uint64_t, std::size_t>> refills;
  bool endedCleanly = false;
  bool failed = false;

  bool operator==(const InflateTrace&) const = default;
};

// The bytes delivered when each piece of the part was read (a read is where
// the progress bar may move).
inline std::vector<std::uint64_t> readPoints(const InflateTrace& t) {
  std::vector<std::uint64_t> points;
  std::size_t readSoFar = 0;
  for (const auto& [delivered, read] : t.refills) {
    if (read != readSoFar) points.push_back(delivered);
    readSoFar = read;
  }
  return points;
}

// A piece is read where the decoder can make nothing more of the pieces
// before it. zlib decodes every symbol that they complete; ISA-L may stop a
// literal or two short of that (it decodes literals in packs, and at the end
// of its input leaves a pack it cannot finish), and so read the next piece
// that many bytes of output earlier.
constexpr std::uint64_t kReadPointSlack = 2;

inline bool sameReads(const InflateTrace& a, const InflateTrace& b) {
  const std::vector<std::uint64_t> pa = readPoints(a);
  const std::vector<std::uint64_t> pb = readPoints(b);
  if (pa.size() != pb.size()) return false;
  for (std::size_t i = 0; i < pa.size(); ++i) {
    const std::uint64_t gap = pa[i] > pb[i] ? pa[i] - pb[i] : pb[i] - pa[i];
    if (gap > kReadPointSlack) return false;
  }
  // The same pieces: where each read ends in the part.
  std::vector<std::size_t> ra, rb;
  for (const auto& r : a.refills) {
    if (ra.empty() || ra.back() != r.second) ra.push_back(r.second);
  }
  for (const auto& r : b.refills) {
    if (rb.empty() || rb.back() != r.second) rb.push_back(r.second);
  }
  return ra == rb;
}

inline InflateTrace traceInflate(std::string_view part, installer::InflateBackend backend) {
  InflateTrace trace;
  TestSource source{std::string(part)};
  installer::InflateStreambuf inflate(&source, backend);
  for (;;) {
    const std::size_t at = trace.delivered.size();
    const auto next = inflate.sgetc();
    trace.refills.emplace_back(at, source.delivered);
    if (next == std::streambuf::traits_type::eof()) break;
    const std::streamsize ready = inflate.in_avail();
    trace.delivered.resize(at + static_cast<std::size_t>(ready));
    inflate.sgetn(trace.delivered.data() + at, ready);
  }
  trace.endedCleanly = inflate.endedCleanly();
  trace.failed = inflate.failed();
  return trace;
}

// The most that zlib makes of the first `length` bytes of `stream` in one
// go, with room for all of it: every byte that those bytes decide.
inline std::size_t decidedOutput(std::string_view stream, std::size_t length) {
  z_stream zs{};
  inflateInit(&zs);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  zs.avail_in = static_cast<uInt>(length);
  std::string out(64 * 1024, '\0');
  std::size_t total = 0;
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = ::inflate(&zs, Z_NO_FLUSH);
    total += out.size() - zs.avail_out;
    if (rc != Z_OK || zs.avail_out != 0) break;
  }
  inflateEnd(&zs);
  return total;
}

enum class BlockKind { kStored, kFixed, kDynamic };

// One zlib stream of `pieces`, each in blocks of its own kind.
inline std::string zlibStream(const std::vector<std::pair<std::string, BlockKind>>& pieces) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  unsigned char buffer[16384];
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const auto& [bytes, kind] = pieces[i];
    const int level = kind == BlockKind::kStored ? 0 : 6;
    const int strategy = kind == BlockKind::kFixed ? Z_FIXED : Z_DEFAULT_STRATEGY;
    deflateParams(&zs, level, strategy);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    zs.avail_in = static_cast<uInt>(bytes.size());
    const int flush = i + 1 == pieces.size() ? Z_FINISH : Z_BLOCK;
    int rc = Z_OK;
    do {
      zs.next_out = buffer;
      zs.avail_out = sizeof buffer;
      rc = deflate(&zs, flush);
      out.append(reinterpret_cast<char*>(buffer), sizeof buffer - zs.avail_out);
    } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  }
  if (pieces.empty()) {
    zs.avail_in = 0;
    zs.next_out = buffer;
    zs.avail_out = sizeof buffer;
    deflate(&zs, Z_FINISH);
    out.append(reinterpret_cast<char*>(buffer), sizeof buffer - zs.avail_out);
  }
  deflateEnd(&zs);
  return out;
}

// Bytes that compress somewhat, as payload data does: runs, repeats and noise.
inline std::string mixedBytes(std::size_t size, std::uint32_t seed) {
  std::string s;
  s.reserve(size);
  std::uint32_t x = seed * 2654435761u + 1;
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    const unsigned kind = (x >> 16) % 4;
    const std::size_t run = 1 + (x >> 20) % 64;
    for (std::size_t i = 0; i < run && s.size() < size; ++i) {
      x = x * 1103515245u + 12345u;
      if (kind == 0) s.push_back(static_cast<char>(x >> 24));         // noise
      if (kind == 1) s.push_back('a' + static_cast<char>(i % 7));     // text-like
      if (kind == 2) s.push_back('\0');                               // zeros
      if (kind == 3) s.push_back(s.empty() ? 'x' : s[s.size() / 2]);  // repeats
    }
  }
  return s;
}

}  // namespace testing_support
