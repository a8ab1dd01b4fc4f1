// How many processor cores this process may run on.
#pragma once

namespace installer {

// The cores of the process's affinity mask: the ones it is allowed to run
// on, which may be fewer than the machine has online (a process pinned to
// one core gains nothing from a second thread). At least 1.
[[nodiscard]] unsigned usableCores();

}  // namespace installer
