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
  // At each refill: bytes delivered before it, bytes of the part read by then.
  std::vector<std::pair<std::uint64_t, std::size_t>> refills;
  bool endedCleanly = false;
  bool failed = false;

  bool operator==(const InflateTrace&) const = default;
};

// The bytes delivered before each read of the part (a read is where the
// progress bar may move).
inline std::vector<std::uint64_t> readPoints(const InflateTrace& t) {
  std::vector<std::uint64_t> points;
  std::size_t readSoFar = 0;
  for (const auto& [delivered, read] : t.refills) {
    if (read != readSoFar) points.push_back(delivered);
    readSoFar = read;
  }
  return points;
}

// zlib decodes every symbol that the input so far completes; ISA-L may stop
// a symbol or two short of that (it decodes literals in packs) and so read
// the next piece of the part that many bytes of output earlier. The reads
// of the two backends are the same reads, this close.
constexpr std::uint64_t kReadPointSlack = 4;

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
    trace.refills.emplace_back(trace.delivered.size(), source.delivered);
    if (inflate.sgetc() == std::streambuf::traits_type::eof()) break;
    const std::streamsize ready = inflate.in_avail();
    const std::size_t at = trace.delivered.size();
    trace.delivered.resize(at + static_cast<std::size_t>(ready));
    inflate.sgetn(trace.delivered.data() + at, ready);
  }
  trace.endedCleanly = inflate.endedCleanly();
  trace.failed = inflate.failed();
  return trace;
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
