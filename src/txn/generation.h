// The database generation: a number that every commit changing the
// installed packages raises by one, so that a manifest kept by "--safe" can
// tell whether anything changed the packages since it was made. Kept in
// "/flash/var/pdb/.generation" (hidden, where the loader does not look) as
// a decimal number and a newline, replaced by the commit like every other
// file, so that it changes exactly when the packages do.
#pragma once

#include <cstdint>
#include <optional>

#include "txn/manifest.h"

namespace installer {

inline constexpr const char* kGenerationPath = "/flash/var/pdb/.generation";

// The generation now: 0 when none was ever written, or when what stands
// there is no regular file holding a number.
std::uint64_t readGeneration();

// Whether committing `m` changes the package database.
bool changesPackages(const Manifest& m);

// Stages the next generation in `m`; false (errno set) when its file could
// not be staged.
[[nodiscard]] bool stageNextGeneration(Manifest& m);

// Records `generation` in the kept list of a "--safe" run, made before;
// false with errno when it could not be.
[[nodiscard]] bool stampKeptList(std::uint64_t generation);

// The generation the "--safe" run of the kept list saw; none when it
// recorded none (an older version's list, or a manifest made by hand).
std::optional<std::uint64_t> keptListGeneration();

}  // namespace installer
