// The processor version register, the one processor register the installer
// reads.
#pragma once

#include <cstdint>
#include <optional>

namespace installer {

// The processor version register of a PowerPC processor; none on other
// processors, which have no such register.
std::optional<std::uint32_t> processorVersionRegister();

}  // namespace installer
