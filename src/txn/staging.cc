#include "txn/staging.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <streambuf>

#include "txn/file_io.h"
#include "txn/paths.h"

namespace installer {
namespace {

constexpr std::size_t kStagingBuffer = 16384;
constexpr std::uint64_t kSpareBytes = 65536;
// The free space the file system reported last stands, less what was staged
// since, until this much has been staged there: other writers rarely take
// more in the meantime than the spare bytes allow for.
constexpr std::uint64_t kReaskBytes = 1 << 20;
// What a file takes beyond its bytes, at most: the rest of its last block.
constexpr std::uint64_t kBlockSlack = 4096;
// The temporary name "<dir>/tmpXXXXXX" must fit 128 bytes with its end.
constexpr std::size_t kMaxTemporaryDir = 117;

// The file system holding `destination` (or its nearest existing ancestor)
// when `sizeHint` bytes fit there with 64 KiB to spare.
bool fitsBeside(Manifest& m, const std::string& destination, std::uint64_t sizeHint,
                std::string& dir) {
  const std::string parent = parentDir(destination);
  StagingMemo& memo = m.stagingMemo;
  const std::uint64_t needed = sizeHint > std::numeric_limits<std::uint64_t>::max() - kSpareBytes
                                   ? std::numeric_limits<std::uint64_t>::max()
                                   : sizeHint + kSpareBytes;
  if (m.planning == nullptr && parent == memo.directory && memo.stagedSince < kReaskBytes &&
      needed < kReaskBytes && memo.stagedSince + needed < memo.freeBytes) {
    memo.stagedSince += sizeHint + kBlockSlack;
    dir = memo.existing;
    return true;
  }
  struct statfs fs;
  std::string candidate = parent;
  // The files of one directory are staged one after another: the directory
  // that answered for the previous one answers at once, without asking again
  // about the missing directories below it.
  bool answered = parent == memo.directory && statfs(memo.existing.c_str(), &fs) == 0;
  if (answered) candidate = memo.existing;
  while (!answered) {
    // A file that the run removes where the destination's directory is to
    // be (an upgrade that turns a file into a directory) holds no temporary:
    // its parent does.
    struct stat st;
    const auto removal = m.entries.find(candidate);
    const bool makingWay = removal != m.entries.end() &&
                           removal->second.op == ManifestOp::kRemove &&
                           stat(candidate.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    if (!makingWay && statfs(candidate.c_str(), &fs) == 0) {
      memo.directory = parent;
      memo.existing = candidate;
      answered = true;
    } else if (candidate == "/" || candidate == ".") {
      return false;
    } else {
      candidate = parentDir(candidate);
    }
  }
  std::uint64_t freeBytes =
      static_cast<std::uint64_t>(fs.f_bfree) * static_cast<std::uint64_t>(fs.f_bsize);
  if (m.planning != nullptr) {
    const std::int64_t used = plannedUse(m, candidate);
    if (used >= 0) {
      freeBytes -= std::min(freeBytes, static_cast<std::uint64_t>(used));
    } else {
      freeBytes += static_cast<std::uint64_t>(-used);
    }
  }
  memo.freeBytes = freeBytes;
  memo.stagedSince = 0;
  if (needed >= freeBytes) return false;
  memo.stagedSince = sizeHint + kBlockSlack;
  dir = candidate;
  return true;
}

std::string temporaryDir(Manifest& m, const std::string& destination, std::uint64_t sizeHint) {
  std::string dir = "/ram";
  if (sizeHint != 0) {
    std::string beside;
    if (fitsBeside(m, destination, sizeHint, beside) && beside.size() <= kMaxTemporaryDir) {
      dir = beside;
    }
  } else {
    struct stat st;
    if (stat("/ram", &st) != 0) dir = "/tmp";
  }
  return dir;
}

}  // namespace

// Writes through the descriptor with a buffer of its own; the first write
// error sticks and keeps its errno for the caller's report.
class StagedFile::Buffer : public std::streambuf {
 public:
  // The buffer is not cleared: a small file uses little of it.
  Buffer(int fd, std::uint64_t* written)
      : fd_(fd), written_(written), space_(new char[kStagingBuffer]) {
    reset();
  }
  // Counts what is written instead of storing it.
  explicit Buffer(std::uint64_t* counter)
      : fd_(-1), counter_(counter), space_(new char[kStagingBuffer]) {
    reset();
  }

  bool counting() const { return counter_ != nullptr; }
  // Takes the counted bytes in; true unless it was done before.
  bool finishCounting() {
    if (counter_ == nullptr) return false;
    drain();
    counter_ = nullptr;
    return true;
  }

  int fd() const { return fd_; }
  int error() const { return error_; }
  void fail(int error) {
    if (error_ == 0) error_ = error;
  }

  // Writes out what is buffered; false on the first failure. The data
  // reaches the storage with the commit's one flush of the file system.
  bool finish() {
    if (fd_ < 0) return false;
    return drain();
  }
  void closeDescriptor() {
    if (fd_ < 0) return;
    if (::close(fd_) != 0) fail(errno);
    fd_ = -1;
  }

 protected:
  int_type overflow(int_type ch) override {
    if (!drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }
  int sync() override { return drain() ? 0 : -1; }
  // A block as large as the buffer goes to the file at once, after what is
  // buffered, instead of being copied through the buffer first.
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n < static_cast<std::streamsize>(kStagingBuffer)) return std::streambuf::xsputn(s, n);
    if (!drain() || !writeAll(s, static_cast<std::size_t>(n))) return 0;
    return n;
  }

 private:
  void reset() { setp(space_.get(), space_.get() + kStagingBuffer); }

  bool writeAll(const char* next, std::size_t size) {
    if (counter_ != nullptr) {
      *counter_ += size;
      return true;
    }
    if (error_ != 0 || fd_ < 0) return false;
    if (installer::writeAll(fd_, {next, size})) {
      if (written_ != nullptr) *written_ += size;
      return true;
    }
    fail(errno);
    return false;
  }

  bool drain() {
    if (!writeAll(pbase(), static_cast<std::size_t>(pptr() - pbase()))) return false;
    reset();
    return true;
  }

  int fd_;
  int error_ = 0;
  std::uint64_t* counter_ = nullptr;
  std::uint64_t* written_ = nullptr;
  std::unique_ptr<char[]> space_;
};

StagedFile::StagedFile(int fd, std::uint32_t mode, std::uint64_t* written)
    : std::ostream(nullptr), buffer_(std::make_unique<Buffer>(fd, written)), mode_(mode) {
  const int error = errno;
  rdbuf(buffer_.get());
  if (fd < 0) {
    buffer_->fail(error);
    setstate(std::ios::badbit);
  }
  errno = error;
}

StagedFile::StagedFile(Planning& planning, const std::string& source, std::uint32_t mode)
    : std::ostream(nullptr),
      buffer_(std::make_unique<Buffer>(&planning.sizes[source])),
      mode_(mode),
      planning_(&planning),
      source_(source) {
  rdbuf(buffer_.get());
}

StagedFile::~StagedFile() { close(); }

void StagedFile::close() {
  if (buffer_->counting()) {
    buffer_->finishCounting();
    // The file would take whole blocks of the file system it is staged on.
    struct statfs fs;
    const std::string dir = parentDir(source_);
    const std::uint64_t size = planning_->sizes[source_];
    if (size != 0 && statfs(dir.c_str(), &fs) == 0 && fs.f_bsize > 0) {
      const auto block = static_cast<std::uint64_t>(fs.f_bsize);
      planning_->usedOnDevice[deviceOf(dir)] +=
          static_cast<std::int64_t>((size + block - 1) / block * block);
    }
    return;
  }
  if (buffer_->fd() < 0) {
    // Never opened, or closed already: the state stays as it is.
    if (buffer_->error() != 0) {
      setstate(std::ios::failbit);
      errno = buffer_->error();
    }
    return;
  }
  bool ok = buffer_->finish();
  // The permissions come last, so a file never carries them half-written.
  if (ok && mode_ != 0 && fchmod(buffer_->fd(), mode_ & 07777) != 0) {
    buffer_->fail(errno);
    ok = false;
  }
  buffer_->closeDescriptor();
  if (!ok || buffer_->error() != 0) {
    setstate(std::ios::failbit);
    errno = buffer_->error();
  }
}

namespace {

// Whether the creation of a staged file can give it `mode` whole, which
// saves a call per file: not for mode 0 (0600 is kept), a mode with set-id
// or sticky bits, or bits the umask would take away. Any other mode is
// applied once the data is written, on a file created 0600.
bool createdWithMode(Manifest& m, std::uint32_t mode) {
  if (mode == 0 || (mode & 07000) != 0) return false;
  if (m.creationMask < 0) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    m.creationMask = static_cast<int>(mask);
  }
  return (mode & 0777 & static_cast<unsigned>(m.creationMask)) == 0;
}

}  // namespace

std::unique_ptr<StagedFile> createStagedFile(Manifest& m, const std::string& destination,
                                             std::uint64_t sizeHint, std::uint32_t mode) {
  if (m.planning != nullptr) {
    // A name no temporary file of a real run has (those end in six
    // characters of mkstemp's), never created.
    std::string source =
        temporaryDir(m, destination, sizeHint) + "/planned-" + std::to_string(++m.planning->count);
    setEntry(m, destination, ManifestOp::kMoveStaged, source);
    return std::make_unique<StagedFile>(*m.planning, source, mode);
  }
  std::string temporary;
  const bool given = createdWithMode(m, mode);
  const unsigned creation = given ? mode & 0777 : 0600;
  const std::uint32_t after = given ? 0 : mode;
  int fd = createTemporaryFile(m.temporaries, temporaryDir(m, destination, sizeHint), temporary,
                               creation);
  if (fd < 0 && errno == ENOENT && !m.stagingMemo.directory.empty()) {
    // The directory that answered before has gone since: look again.
    m.stagingMemo = {};
    fd = createTemporaryFile(m.temporaries, temporaryDir(m, destination, sizeHint), temporary,
                             creation);
  }
  if (fd >= 0) setEntry(m, destination, ManifestOp::kMoveStaged, std::move(temporary));
  return std::make_unique<StagedFile>(fd, after, &m.stagedBytes);
}

void stageRemoval(Manifest& m, const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    setEntry(m, path, ManifestOp::kRemove, "");
    return;
  }
  auto pending = m.entries.find(path);
  if (pending == m.entries.end()) return;
  // A file staged for the path in this run is ours and no longer wanted:
  // once its entry is gone, neither the commit nor a cancel would find it,
  // and it would stay on the flash for good.
  if (pending->second.op == ManifestOp::kMoveStaged)
    deleteStagedFile(m, pending->first, pending->second);
  m.entries.erase(pending);
}

bool claimPath(Manifest& m, const std::string& path) {
  auto it = m.entries.find(path);
  if (it != m.entries.end()) {
    if (it->second.op != ManifestOp::kRemove) return false;
    m.entries.erase(it);
  }
  // The directory itself is asked about, not what a link in its place
  // points to: every file staged below a link would be written there.
  std::string own = path;
  while (own.size() > 1 && own.back() == '/') own.pop_back();
  struct stat st;
  return lstat(own.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

}  // namespace installer
