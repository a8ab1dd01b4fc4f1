// Requests to the router's flash device driver "/dev/flash" and the hardware
// class of the machine. On other hardware the answers are neutral.
#pragma once

#include <cstdint>
#include <optional>

namespace installer {

// The lowest system version the device accepts; 0 when "/dev/flash" does
// not open or sets no minimum.
std::uint32_t minimumSystemVersion();

// 1 to 4 on the PowerPC routers; none elsewhere.
std::optional<int> hardwareClass();

}  // namespace installer
