#include "platform/processor_register.h"

namespace installer {

std::optional<std::uint32_t> processorVersionRegister() {
#if defined(__powerpc__)
  unsigned long pvr = 0;
  asm volatile("mfpvr %0" : "=r"(pvr));
  return static_cast<std::uint32_t>(pvr);
#else
  return std::nullopt;
#endif
}

}  // namespace installer
