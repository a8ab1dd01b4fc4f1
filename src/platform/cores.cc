#include "platform/cores.h"

#include <sched.h>
#include <unistd.h>

namespace installer {

unsigned usableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    return count > 0 ? static_cast<unsigned>(count) : 1U;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 1 ? static_cast<unsigned>(online) : 1U;
}

}  // namespace installer
