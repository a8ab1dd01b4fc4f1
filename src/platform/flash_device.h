// Requests to the router's flash device driver "/dev/flash". On other
// hardware the answers are neutral.
#pragma once

#include <cstdint>

namespace installer {

// The lowest system version the device accepts; 0 when "/dev/flash" does
// not open or sets no minimum.
std::uint32_t minimumSystemVersion();

// The board-variant bit (0x10 of the answer to the request 0x2000462B);
// false when "/dev/flash" does not open or refuses the request.
bool boardVariantBit();

}  // namespace installer
