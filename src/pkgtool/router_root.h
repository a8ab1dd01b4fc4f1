// Entering the root of the router whose installed packages a command looks
// at, so that the installer's own loading, planning and settling code reads
// the same absolute paths ("/flash/var/pdb/", "/ram/pdb/", ...) as on the
// router itself.
#pragma once

#include <string>

namespace installer {

// Makes `root` the process's root directory ("/" changes nothing). The
// working directory is left at the old root's "/", so that the paths made
// by outsidePath() before entering still reach the old root's files.
// Without the right to chroot, the process first takes a user namespace of
// its own, where it has that right. False with a one-line reason.
bool enterRoot(const std::string& root, std::string& error);

// A path that names `path` (as the user gave it, relative to the current
// working directory or absolute) after enterRoot: its absolute real form
// made relative ("./home/user/release"). Empty when `path` does not exist.
std::string outsidePath(const std::string& path);

}  // namespace installer
