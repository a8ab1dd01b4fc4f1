// CRC-32 (the polynomial of zlib and Ethernet, reflected) of a text.
#pragma once

#include <cstdint>
#include <string_view>

namespace installer {

[[nodiscard]] std::uint32_t crc32Of(std::string_view text);

}  // namespace installer
