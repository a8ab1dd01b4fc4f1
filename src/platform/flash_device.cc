#include "platform/flash_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

#include "base/ignore.h"

namespace installer {

namespace {

constexpr const char* kFlashDevice = "/dev/flash";
// Read-write request of type 'F', number 0x26: answers the configuration
// word whose key is in the first word of the argument into the second.
constexpr unsigned long kRequestConfigWord = 0xC0044626;
constexpr std::uint32_t kKeyMinimumVersion = 0x00040025;
// No-argument request of type 'F', number 0x2B: bit 0x10 of its answer
// tells the two board variants of one processor revision apart.
constexpr unsigned long kRequestBoardVariant = 0x2000462B;

}  // namespace

std::uint32_t minimumSystemVersion() {
  const int fd = open(kFlashDevice, O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  std::uint32_t argument[2] = {kKeyMinimumVersion, 0};
  // The driver fills in the second word when it knows the key; its return
  // value says nothing more.
  ignoreResult(ioctl(fd, kRequestConfigWord, argument));
  close(fd);
  return argument[1];
}

bool boardVariantBit() {
  const int fd = open(kFlashDevice, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const int answer = ioctl(fd, kRequestBoardVariant, 0);
  close(fd);
  return answer != -1 && (answer & 0x10) != 0;
}

}  // namespace installer
