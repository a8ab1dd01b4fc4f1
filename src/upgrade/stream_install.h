// Installing everything one package stream holds: a single package, or a
// bundle and its members.
#pragma once

#include <istream>
#include <streambuf>
#include <string>

#include "plan/install_flags.h"
#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// 0 success; 1 single package or bundle record not installed; 2 bundle
// refused, a member failed or parts after the last member; 3 no member.
int installFromStream(Repository& repo, Manifest& m, std::istream& input, InstallFlags flags,
                      const KeptState& keptState, std::streambuf* copyTo,
                      std::string* packageDirOut, bool* bootImageOut);

}  // namespace installer
