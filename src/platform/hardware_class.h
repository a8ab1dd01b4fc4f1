// The hardware class of a router: the family of machines a payload entry
// with a class byte is meant for.
#pragma once

#include <cstdint>
#include <optional>

namespace installer {

// True for the two processor revisions that come on boards differing only
// in the flash: their class needs the flash device's board-variant bit.
bool classNeedsBoardVariant(std::uint32_t processorVersion);

// The class, 1 to 4, of a machine whose processor version register holds
// `processorVersion`; `boardVariant` is the flash device's board-variant bit
// and is looked at only where classNeedsBoardVariant says so. None for a
// processor of no router family.
std::optional<int> hardwareClassOf(std::uint32_t processorVersion, bool boardVariant);

// This machine's class: 1 to 4 on the PowerPC routers; none elsewhere.
std::optional<int> hardwareClass();

}  // namespace installer
