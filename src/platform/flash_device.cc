#include "platform/flash_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

namespace installer {

namespace {

constexpr const char* kFlashDevice = "/dev/flash";
// Read-write request of type 'F', number 0x26: answers the configuration
// word whose key is in the first word of the argument into the second.
constexpr unsigned long kRequestConfigWord = 0xC0044626;
constexpr std::uint32_t kKeyMinimumVersion = 0x00040025;
// No-argument request of type 'F', number 0x2B: bit 0x10 of its answer
// tells the two board variants of one processor revision apart.
[[maybe_unused]] constexpr unsigned long kRequestBoardVariant = 0x2000462B;

// The hardware class from the processor version register; `flashVariant`
// is asked only for the two revisions whose boards differ in the flash.
[[maybe_unused]] std::optional<int> classFromPvr(std::uint32_t pvr, bool (*flashVariant)()) {
  const std::uint32_t revision = pvr & ~std::uint32_t{0xFF};
  if (revision == 0x80211000 || revision == 0x80212100) return flashVariant() ? 2 : 4;
  const std::uint32_t upper = pvr >> 16;
  const std::uint32_t low = upper & 0xFF;
  if (low >= 0x83 && low <= 0x85) return 1;
  if (low == 0x20 || low == 0x21) return 2;
  if (upper == 0x1302) return 3;
  return std::nullopt;
}

[[maybe_unused]] bool flashVariantBit() {
  const int fd = open(kFlashDevice, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const int answer = ioctl(fd, kRequestBoardVariant, 0);
  close(fd);
  return answer != -1 && (answer & 0x10) != 0;
}

}  // namespace

std::uint32_t minimumSystemVersion() {
  const int fd = open(kFlashDevice, O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  std::uint32_t argument[2] = {kKeyMinimumVersion, 0};
  // The driver fills in the second word when it knows the key; its return
  // value says nothing more.
  (void)ioctl(fd, kRequestConfigWord, argument);
  close(fd);
  return argument[1];
}

std::optional<int> hardwareClass() {
#if defined(__powerpc__)
  unsigned long pvr = 0;
  asm volatile("mfpvr %0" : "=r"(pvr));
  return classFromPvr(static_cast<std::uint32_t>(pvr), flashVariantBit);
#else
  return std::nullopt;
#endif
}

}  // namespace installer
