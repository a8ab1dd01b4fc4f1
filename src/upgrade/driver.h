// The upgrade run: package files from the download directories, planned,
// installed and kept as images.
#pragma once

#include <string>
#include <vector>

#include "plan/install_flags.h"
#include "records/package.h"
#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// The packages installed, in installation order; empty after a failure
// (the manifest is then cancelled).
std::vector<Package> runUpgrade(Repository& repo, Manifest& m, InstallFlags flags);
void scanPackageDir(Repository& repo, const std::string& dir,
                    std::vector<std::unique_ptr<PackageFile>>& list);

}  // namespace installer
