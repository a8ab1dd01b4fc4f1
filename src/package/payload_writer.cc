// File payload building: entry encoding and streaming deflate.
#include "package/payload_writer.h"

#include <algorithm>

#include "package/format.h"

namespace installer {
namespace {

constexpr std::size_t kDeflateChunk = 16384;

}  // namespace

std::string encodeEntryHeader(std::uint16_t mode, std::uint8_t hardwareClass,
                              std::uint32_t dataLength, std::string_view name) {
  unsigned char fixed[kFileEntryHeaderSize] = {};
  encodeLe16(fixed, mode);
  fixed[23] = hardwareClass;
  encodeLe32(fixed + 24, dataLength);
  encodeLe16(fixed + 28, static_cast<std::uint16_t>(name.size()));
  std::string out(reinterpret_cast<const char*>(fixed), sizeof fixed);
  out.append(name);
  return out;
}

std::string encodeFileEntries(const std::vector<PayloadEntry>& entries) {
  std::string out;
  for (const PayloadEntry& e : entries) {
    out += encodeEntryHeader(e.mode, e.hardwareClass, static_cast<std::uint32_t>(e.data.size()),
                             e.name);
    out += e.data;
  }
  return out;
}

std::string deflateBytes(std::string_view raw, int level) {
  PayloadBuilder builder(level);
  builder.addData(raw);
  return builder.finish();
}

PayloadBuilder::PayloadBuilder(int level) { deflateInit(&zs_, level); }

PayloadBuilder::~PayloadBuilder() { deflateEnd(&zs_); }

void PayloadBuilder::addEntry(const PayloadEntry& entry) {
  addEntryHeader(entry.mode, entry.hardwareClass, static_cast<std::uint32_t>(entry.data.size()),
                 entry.name);
  addData(entry.data);
}

void PayloadBuilder::addEntryHeader(std::uint16_t mode, std::uint8_t hardwareClass,
                                    std::uint32_t dataLength, std::string_view name) {
  addData(encodeEntryHeader(mode, hardwareClass, dataLength, name));
}

void PayloadBuilder::addData(std::string_view bytes) {
  if (finished_) return;
  // zlib counts input in 32-bit units; feed large blocks in pieces.
  while (!bytes.empty()) {
    const std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
    deflateSome(bytes.substr(0, piece), Z_NO_FLUSH);
    bytes.remove_prefix(piece);
  }
}

std::string PayloadBuilder::finish() {
  if (!finished_) {
    deflateSome({}, Z_FINISH);
    finished_ = true;
  }
  return std::move(out_);
}

void PayloadBuilder::deflateSome(std::string_view bytes, int flush) {
  zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  zs_.avail_in = static_cast<uInt>(bytes.size());
  unsigned char chunk[kDeflateChunk];
  for (;;) {
    zs_.next_out = chunk;
    zs_.avail_out = sizeof chunk;
    const int rc = deflate(&zs_, flush);
    out_.append(reinterpret_cast<const char*>(chunk), sizeof chunk - zs_.avail_out);
    if (rc == Z_STREAM_END || rc == Z_STREAM_ERROR) return;
    if (rc == Z_BUF_ERROR && zs_.avail_out == sizeof chunk) return;  // nothing left to do
    // Without Z_FINISH, deflate is done once it leaves output space unused.
    if (flush != Z_FINISH && zs_.avail_out != 0 && zs_.avail_in == 0) return;
  }
}

}  // namespace installer
