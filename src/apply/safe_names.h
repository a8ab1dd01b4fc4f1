// Names taken from package files that may reach paths, database files and
// the console: which of them are safe to use. Package files are untrusted
// input (parts of them lie outside the signature), so every name is checked
// before anything is done with it.
#pragma once

#include <string>

#include "records/package.h"

namespace installer {

// A package, bundle or member name: it becomes a database directory and a
// directory under "/flash/x/". Not empty, no leading ".", no "/", no blank,
// no byte below 0x21 and no 0x7F.
bool isSafePackageName(const std::string& name);

// A payload entry name: a path below the installation base. Not empty, not
// "/" and no trailing "/", no "." or ".." component, no blank, NUL, newline
// or other control byte.
bool isSafeEntryName(const std::string& name);

// A depends, provides or conflicts entry name: one token of a database
// file. Not empty, no blank and no control byte.
bool isSafeDependencyName(const std::string& name);

// The record's name and every name of its three dependency lists.
bool headerNamesAreSafe(const Package& p);

}  // namespace installer
