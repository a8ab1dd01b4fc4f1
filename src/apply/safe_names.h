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
// no byte below 0x21 and no 0x7F, and not "image": "/flash/var/pdb/image" is
// where the image mode captures its input.
bool isSafePackageName(const std::string& name);

// A payload entry name: a path below the installation base. Not empty, not
// "/" and no trailing "/", no empty, "." or ".." component (a leading "/" is
// allowed), no blank, NUL, newline or other control byte.
bool isSafeEntryName(const std::string& name);

// Whether `path` is one of the installer's own files: the package database
// "/flash/var/pdb/" and everything below it, the post-install log, the boot
// image and the markers for the boot scripts. No package may bring them.
bool isReservedPath(const std::string& path);

// Whether an entry of this (safe) name would land on a reserved path once its
// package is enabled; a disabled package's files move there when it is.
bool isReservedEntryName(const std::string& name);

// A path read from a database "files" list that a removal may delete: below
// "/flash/", no empty, "." or ".." component, no control byte, and not one of
// the installer's own files. Anything else was never written by an
// installation and is left alone.
bool isRemovablePath(const std::string& path);

// A depends, provides or conflicts entry name: one token of a database
// file. Not empty, no blank and no control byte.
bool isSafeDependencyName(const std::string& name);

// The record's name and every name of its three dependency lists.
bool headerNamesAreSafe(const Package& p);

}  // namespace installer
