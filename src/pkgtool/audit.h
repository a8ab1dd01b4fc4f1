// Comparing the files on an installed router with what its packages put
// there: the payload of each package file is read again and every file it
// installed is checked for presence, content and mode.
#pragma once

#include <istream>
#include <set>
#include <string>
#include <vector>

#include "records/repository.h"

namespace installer {

struct AuditFinding {
  std::string kind;  // "missing", "changed", "mode", "unowned" or "unchecked"
  std::string path;  // a file, or for "unchecked" the package's label
  std::string detail;
};

// Checks the files of the records named by the package headers in `file` (a
// single package, or a bundle and its members) against the payload. Only
// the paths a record lists are looked at: a file the installation left out
// (another hardware class, the boot loader's payload) is no difference.
// False when the file cannot be read as a package.
// The paths the file installed go into `owned`.
bool auditAgainstFile(const Repository& repo, std::istream& file,
                      std::vector<AuditFinding>& findings, std::set<std::string>& owned);

// Every listed file that is absent, for packages nothing else checks.
void findMissing(const InstalledPackage& p, std::vector<AuditFinding>& findings);

// Files in the directories that hold package files which no package lists,
// apart from the installer's own.
// `owned` adds the files of packages kept as their package file.
void findUnowned(const Repository& repo, const std::set<std::string>& owned,
                 std::vector<AuditFinding>& findings);

}  // namespace installer
