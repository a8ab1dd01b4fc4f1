// The installed packages of the router root a query looks at, loaded with
// the installer's own loading code and nothing more: no scheduled action is
// settled and nothing is written.
#pragma once

#include <string>
#include <vector>

#include "base/path_set.h"
#include "records/repository.h"

namespace installer {

// The running system's architecture as the installer takes it: the
// environment variable "arch", else "i386".
std::string runningArch();

// Loads the database of the current root into the empty `repo`, quietly.
// False with a reason when the database directory cannot be read.
bool loadInstalled(Repository& repo, std::string& error);

// "user" or "auto" for a disabled record, null for an enabled one.
const char* disabledBy(const InstalledPackage& p);

// The package file kept for a record — its database directory's "image",
// else the copy in the second image directory — or empty. A bundle member
// is kept inside its bundle's file and has none of its own.
std::string keptImage(const InstalledPackage& p);
// "/flash/bootimage" when the record's kept image is the link to the boot
// image, else empty.
std::string bootImage(const InstalledPackage& p);

// The bundle's members: the records that came with it, in load order.
std::vector<const InstalledPackage*> membersOf(const Repository& repo, const InstalledPackage& p);
// The files a package put on the flash; a bundle's are its members'.
PathSet ownedFiles(const Repository& repo, const InstalledPackage& p);
// Every record whose files list `path`, in load order.
std::vector<const InstalledPackage*> ownersOf(const Repository& repo, const std::string& path);

}  // namespace installer
