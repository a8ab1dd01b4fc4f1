// Builds the file payload of a package: file entries, deflated into one zlib
// stream. Entries can be added whole or streamed piece by piece, so large
// payloads never need their uncompressed bytes in memory at once.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

struct PayloadEntry {
  std::uint16_t mode = 0100644;    // st_mode encoding: type bits and permissions
  std::uint8_t hardwareClass = 0;  // 0 = every machine, 1..4 = that class only
  std::string name;
  std::string data;
};

// The 30 fixed bytes of an entry followed by its name (not its data).
std::string encodeEntryHeader(std::uint16_t mode, std::uint8_t hardwareClass,
                              std::uint32_t dataLength, std::string_view name);
// Entries as they appear in the inflated payload.
std::string encodeFileEntries(const std::vector<PayloadEntry>& entries);
// One zlib-wrapped stream of `raw` at `level` (0 stores, 9 compresses best).
std::string deflateBytes(std::string_view raw, int level = 6);

// Streams entries into a growing zlib stream.
class PayloadBuilder {
 public:
  explicit PayloadBuilder(int level = 6);
  ~PayloadBuilder();
  PayloadBuilder(const PayloadBuilder&) = delete;
  PayloadBuilder& operator=(const PayloadBuilder&) = delete;

  void addEntry(const PayloadEntry& entry);
  // An entry header whose data follows through addData (exactly
  // `dataLength` bytes in total, unless a test wants otherwise).
  void addEntryHeader(std::uint16_t mode, std::uint8_t hardwareClass, std::uint32_t dataLength,
                      std::string_view name);
  // Uncompressed bytes appended to the stream as they are.
  void addData(std::string_view bytes);
  // Ends the zlib stream and hands over the compressed bytes.
  std::string finish();

 private:
  void deflateSome(std::string_view bytes, int flush);

  z_stream zs_{};
  std::string out_;
  bool finished_ = false;
};

}  // namespace installer
