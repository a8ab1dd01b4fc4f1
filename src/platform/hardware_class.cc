#include "platform/hardware_class.h"

#include "platform/flash_device.h"
#include "platform/processor_register.h"

namespace installer {

bool classNeedsBoardVariant(std::uint32_t processorVersion) {
  // The low 8 bits count minor steppings of one revision.
  const std::uint32_t revision = processorVersion & ~std::uint32_t{0xFF};
  return revision == 0x80211000 || revision == 0x80212100;
}

std::optional<int> hardwareClassOf(std::uint32_t processorVersion, bool boardVariant) {
  if (classNeedsBoardVariant(processorVersion)) return boardVariant ? 2 : 4;
  const std::uint32_t version = processorVersion >> 16;
  const std::uint32_t low = version & 0xFF;
  if (low >= 0x83 && low <= 0x85) return 1;
  if (low == 0x20 || low == 0x21) return 2;
  if (version == 0x1302) return 3;
  return std::nullopt;
}

std::optional<int> hardwareClass() {
  const std::optional<std::uint32_t> processorVersion = processorVersionRegister();
  if (!processorVersion) return std::nullopt;
  // The flash device is asked only where the answer matters.
  return hardwareClassOf(*processorVersion,
                         classNeedsBoardVariant(*processorVersion) && boardVariantBit());
}

}  // namespace installer
