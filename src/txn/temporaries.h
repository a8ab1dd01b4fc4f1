// The list of temporary files a run creates on the flash and in "/ram", so
// that whatever way the run ends (committed, cancelled, refused, killed, the
// power cut) the next start finds and removes every one of them.
//
// Form: a directory ("/flash/var/pdb/.staged.d", and
// "/flash/var/pdb/.staged-kept.d" for the files of a "--safe" run waiting for
// "--commit" or "--cancel") of records. A record is a symbolic link named by
// a decimal number whose text is one or more lines, each ending with a
// newline: an absolute path; a name without a slash, which stands for that
// name in the directory of the record's last absolute path; or "-PATH",
// which withdraws that path (the name was taken by someone else after all).
// Paths never hold a newline.
//
// Names are reserved before they are used: a run takes the names of a
// directory from a batch it recorded earlier, one record per batch, and a
// record is made before any file under its names. Making a record is a name
// operation like making the file, so it reaches the disk no later than the
// file does, also when the power is cut before anything was flushed: the
// list never loses a name its run created, without a flush of its own. (A
// flush of one directory alone, rather than of the whole file system, could
// make a file durable ahead of its record: one that holds temporaries comes
// after a flush of the list.) A run ended early leaves reserved names without
// files, which cost nothing.
//
// Older runs wrote the list as a plain text file of such lines
// ("/flash/var/pdb/.staged", "/flash/var/pdb/.staged-kept"); it is still
// read and removed. Only names of the installer's own form ("tmp" and six
// letters or digits, and the image-mode capture) are ever removed through a
// list. The lists live in the database directory, where no package may own a
// path and the loader skips hidden names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_arena.h"

namespace installer {

inline constexpr const char* kStagedListDir = "/flash/var/pdb";
inline constexpr const char* kStagedListPath = "/flash/var/pdb/.staged.d";
inline constexpr const char* kKeptListPath = "/flash/var/pdb/.staged-kept.d";
// The image mode's capture of standard input; listed like a temporary.
inline constexpr const char* kCaptureTemporary = "/flash/var/pdb/image";
// The entry of the kept list that records the fingerprint of the database
// the "--safe" run saw (a link whose text it is); no record.
inline constexpr const char* kKeptStampName = "fingerprint";

// Which list: the one of the run under way (or of an interrupted one), or
// the kept one of a "--safe" run.
enum class TemporaryList { kRun, kKept };

// The open list of one run. The directory is made with the first record; a
// run that cannot keep a list (no database directory) goes on without one.
class TemporaryLog {
 public:
  TemporaryLog();
  TemporaryLog(const TemporaryLog&) = delete;
  TemporaryLog& operator=(const TemporaryLog&) = delete;
  TemporaryLog(TemporaryLog&& other) noexcept = default;
  TemporaryLog& operator=(TemporaryLog&& other) noexcept = default;

  // Records `path` before the caller creates it. False (errno set) when the
  // list could not take it: the caller must not create the file then, or it
  // would be lost track of. Where there is no database directory to hold a
  // list, nothing is recorded and the answer is true.
  [[nodiscard]] bool note(const std::string& path);
  void withdraw(const std::string& path);
  // "<dir>/tmpXXXXXX" with six random letters and digits, not in use now,
  // reserved in the list. Empty (errno set) when no name could be had.
  std::string freshName(const std::string& dir);
  // A reserved name for a file the caller creates exclusively (O_EXCL),
  // which refuses a name taken since: not looked up again. The caller
  // withdraws it when the creation finds it taken.
  std::string nameToCreate(const std::string& dir);
  // Forgets the reserved names: the list is about to be removed or kept.
  // The next record starts it again.
  void close();

  // Records made so far.
  std::size_t records() const { return records_; }

 private:
  // The names reserved in one directory and not handed out yet.
  struct Reserve {
    std::string dir;
    std::vector<std::string> names;  // handed out from the back
    std::size_t batch = 0;           // names in its last record
  };

  bool record(const std::string& text);
  std::string randomName(const std::string& dir);
  bool reserveBatch(Reserve& reserve);
  Reserve& reserveOf(const std::string& dir);
  std::string takeName(const std::string& dir, bool lookUp);

  std::size_t recordText_;  // the longest record text to try
  bool listMade_ = false;
  bool unlisted_ = false;  // no database directory: no list
  std::uint64_t next_ = 0;
  std::size_t records_ = 0;
  std::uint64_t random_;
  std::vector<Reserve> reserves_;  // the most recently used directory first
};

// Creates a new empty temporary file "<dir>/tmpXXXXXX" for writing, listed
// first, with the permissions `mode` as open(2) gives them (through the
// umask). Returns its descriptor and sets `path`, or -1 with errno set.
int createTemporaryFile(TemporaryLog& log, const std::string& dir, std::string& path,
                        unsigned mode = 0600);

// Whether `path` has the form of a temporary of the installer.
bool isTemporaryName(const std::string& path);

// Whether the list exists, in either form.
bool temporariesListed(TemporaryList list);

// The list (its path) that names what no run could have made, or holds a
// line no run writes: no list is acted on while one is damaged. Empty when
// both forms of `list` are sound or missing.
std::string damagedList(TemporaryList list);

// Whether `path` lies below "/flash/" with no "." or ".." component.
bool isBelowFlash(std::string_view path);

// Whether a run could have made `path` as a temporary: a temporary's name
// (isTemporaryName) below "/flash/", "/ram/" or "/tmp/" (where staging goes
// when there is no "/ram"), with no "." or ".." component. Nothing else is
// ever removed or moved by what a list or a journal says.
bool isRunTemporary(const std::string& path);

// Names a committed run renamed into place: listed, but no longer its own.
// The names are copied into an arena of their own: a run of many files adds
// a few dozen bytes a name, and no allocation each.
class PlacedNames {
 public:
  void add(std::string_view name) { names_.push_back(arena_.keep(name)); }
  // Sorts what was added; contains() asks only after this.
  void seal();
  bool contains(std::string_view name) const;

 private:
  TextArena arena_;
  std::vector<std::string_view> names_;
};

// Removes every listed temporary that still exists, then the list itself;
// the list stays when one of them could not be removed, for the next start,
// and so does a damaged list (damagedList), with all it names.
// The `placed` names are passed over: their files went into place, and a
// file by that name now is someone else's. True when nothing listed is left.
bool removeListedTemporaries(TemporaryList list, const PlacedNames& placed = {});

// The end of a run: every temporary it made and did not use goes. False
// when one of them could not be removed (the list stays for the next start).
bool endRunTemporaries(TemporaryLog& log, const PlacedNames& placed = {});

// The end of a "--safe" run: its temporaries stay for a later "--commit" or
// "--cancel" under the kept list. Those of an earlier "--safe" run, whose
// manifest has just been replaced, go.
void keepRunTemporaries(TemporaryLog& log);

}  // namespace installer
