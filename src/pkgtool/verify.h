// `pkgtool verify`: the installer's own signature check over a package or
// bundle file, walking the parts as an installation does.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "package/keys.h"

namespace installer {

struct VerifyResult {
  std::string label;  // "name-version" of the package, or the file problem
  bool accepted = false;
  std::string reason;  // why not
  // For a signature that was checked: the scheme and key that accepted it,
  // or what was tried in vain and why no more.
  std::string tried;
};

// One result per package (each member of a bundle); a problem with the file
// as a whole (wrong size, no header, parts left over) is one more refused
// result. `size` is the file's size, compared with the size its header
// declares as the upgrade run does.
std::vector<VerifyResult> verifyPackageFile(std::istream& in, std::uint64_t size,
                                            const PublicKeys& keys);

}  // namespace installer
