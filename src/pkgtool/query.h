// What the read-only queries print about an installed root: a table or
// lines for people, one JSON object for scripts. The JSON forms share one
// package object (see pkgtool(1)).
#pragma once

#include <string>
#include <vector>

#include "records/repository.h"

namespace installer {

std::string listText(const Repository& repo);
std::string listJson(const Repository& repo, const std::string& root);

std::string infoText(const Repository& repo, const InstalledPackage& p);
std::string infoJson(const Repository& repo, const InstalledPackage& p, const std::string& root);

std::string filesText(const Repository& repo, const InstalledPackage& p);
std::string filesJson(const Repository& repo, const InstalledPackage& p, const std::string& root);

std::string ownersText(const std::vector<const InstalledPackage*>& owners);
std::string ownersJson(const std::string& path, const std::vector<const InstalledPackage*>& owners,
                       const std::string& root);

}  // namespace installer
