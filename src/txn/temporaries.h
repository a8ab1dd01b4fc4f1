// The list of temporary files a run creates on the flash and in "/ram", so
// that whatever way the run ends (committed, cancelled, refused, killed, the
// power cut) the next start finds and removes every one of them.
//
// File form ("/flash/var/pdb/.staged", and "/flash/var/pdb/.staged-kept" for
// the files of a "--safe" run waiting for "--commit" or "--cancel"): plain
// text, one absolute path per line, each ending with a newline. A name is
// written before it is created (write-ahead), so a run ended between the two
// leaves a line without a file, never a file without a line. A line "-PATH"
// withdraws an earlier line of the same path (the name was taken by someone
// else after all). Paths never hold a newline. Only names of the installer's
// own form ("tmp" and six letters or digits, and the image-mode capture) are
// ever removed through a list. The lists live in the database directory,
// where no package may own a path and the loader skips hidden names.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

namespace installer {

inline constexpr const char* kStagedListDir = "/flash/var/pdb";
inline constexpr const char* kStagedListPath = "/flash/var/pdb/.staged";
inline constexpr const char* kKeptListPath = "/flash/var/pdb/.staged-kept";
// The image mode's capture of standard input; listed like a temporary.
inline constexpr const char* kCaptureTemporary = "/flash/var/pdb/image";

// The open list of one run. The file is opened on the first note; a run that
// cannot keep a list (no database directory) goes on without one.
class TemporaryLog {
 public:
  TemporaryLog();
  ~TemporaryLog();
  TemporaryLog(const TemporaryLog&) = delete;
  TemporaryLog& operator=(const TemporaryLog&) = delete;
  TemporaryLog(TemporaryLog&& other) noexcept;
  TemporaryLog& operator=(TemporaryLog&& other) noexcept;

  // Appends `path` to the list before the caller creates it. False (errno
  // set) when the list could not take it: the caller must not create the
  // file then, or it would be lost track of. Where there is no database
  // directory to hold a list, nothing is noted and the answer is true.
  [[nodiscard]] bool note(const std::string& path);
  void withdraw(const std::string& path);
  // "<dir>/tmpXXXXXX" with six random letters and digits, not in use now,
  // noted in the list. Empty (errno set) when no name could be had.
  std::string freshName(const std::string& dir);
  // Closes the list file; the next note opens it again.
  void close();

 private:
  bool append(const std::string& line);

  int fd_ = -1;
  bool unlisted_ = false;  // no database directory: no list
  std::uint64_t random_;
};

// Creates a new empty temporary file "<dir>/tmpXXXXXX" for writing (mode
// 0600), noted in the list first. Returns its descriptor and sets `path`, or
// -1 with errno set.
int createTemporaryFile(TemporaryLog& log, const std::string& dir, std::string& path);

// Whether `path` has the form of a temporary of the installer.
bool isTemporaryName(const std::string& path);

// Names a committed run renamed into place: listed, but no longer its own.
using PlacedNames = std::unordered_set<std::string>;

// Removes every listed temporary that still exists, then the list itself;
// the list stays when one of them could not be removed, for the next start.
// The `placed` names are passed over: their files went into place, and a
// file by that name now is someone else's. True when nothing listed is left.
bool removeListedTemporaries(const char* listPath, const PlacedNames& placed = {});

// The end of a run: every temporary it made and did not use goes. False
// when one of them could not be removed (the list stays for the next start).
bool endRunTemporaries(TemporaryLog& log, const PlacedNames& placed = {});

// The end of a "--safe" run: its temporaries stay for a later "--commit" or
// "--cancel" under the kept list. Those of an earlier "--safe" run, whose
// manifest has just been replaced, go.
void keepRunTemporaries(TemporaryLog& log);

}  // namespace installer
