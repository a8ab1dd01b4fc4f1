// Installing one package from an open package file.
#pragma once

#include <optional>
#include <string>

#include "db/package.h"
#include "db/repository.h"
#include "package/reader.h"
#include "plan/install_flags.h"
#include "upgrade/manifest.h"

namespace installer {

// Null when nothing was installed. When the package is passed over as
// already installed, the installed record of that name (or null). The
// returned record is owned by the repository and stays valid.
InstalledPackage* installPackage(Repository& repo, Manifest& m, PackageReader& reader,
                                 InstallFlags flags, const KeptState& keptState,
                                 const Dependency* bundle, std::string* packageDirOut,
                                 bool* bootImageOut);

bool extractFiles(InstalledPackage& p, Manifest& m, PackageReader& reader);

}  // namespace installer
