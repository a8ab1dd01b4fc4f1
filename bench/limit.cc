// The yardstick for the installer's speed: the least work an install of a
// package file needs, and nothing else. It reads the file in 16 KiB blocks,
// hashes every byte with SHA-256, inflates the file payload with 4096-byte
// output buffers and writes each regular file to a fresh temporary file that
// it renames into place. It checks no header, signature or name, keeps no
// database and prints nothing.
//
//   bench_limit [--isal] [--threads] [--per-file-calls] [--fsync] [--durable] PACKAGE DESTDIR
//
// --isal            inflate with ISA-L (isal_inflate, zlib wrapper and
//                   Adler-32 checked, the same 4096-byte output buffers)
//                   instead of zlib: the limit of a build with ISA-L.
// --threads         read, hash and inflate on a second thread that hands the
//                   output in 64 KiB blocks (a bounded queue of 8) to the
//                   thread that writes the files: the limit of two cores.
// --per-file-calls  the calls the installer's design needs for each file:
//                   the temporary file beside its destination, write, set
//                   the mode, close, and every rename only at the end (the
//                   commit) instead of right after the file is written.
// --fsync           also flush each temporary file to its device before it
//                   is closed (what a durable commit costs, file by file).
// --durable         the least a durable commit of the whole run needs: the
//                   calls of --per-file-calls, one syncfs on DESTDIR's file
//                   system once every file is written, the renames, and one
//                   more syncfs.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#ifdef BENCH_LIMIT_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "package/format.h"

namespace {

using installer::decodeLe16;
using installer::decodeLe32;

constexpr std::size_t kReadBlock = 16384;
constexpr std::size_t kInflateOut = 4096;
constexpr std::size_t kWriteBuffer = 16384;

struct Options {
  bool isal = false;
  bool threads = false;
  bool perFileCalls = false;
  bool fsyncFiles = false;
  bool durable = false;
};

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

void makeDirs(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return;
  const std::size_t slash = dir.rfind('/');
  if (errno != ENOENT || slash == std::string::npos || slash == 0) return;
  makeDirs(dir.substr(0, slash));
  mkdir(dir.c_str(), 0755);
}

// Where inflated payload bytes go.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void feed(const unsigned char* data, std::size_t n) = 0;
};

// Splits the inflated payload into file entries and writes the regular ones.
class Extractor : public Sink {
 public:
  Extractor(const std::string& destination, Options options)
      : destination_(destination), options_(options) {}

  void feed(const unsigned char* data, std::size_t n) override {
    while (n > 0) {
      std::size_t used = 0;
      switch (state_) {
        case State::kHeader:
          used = take(header_, sizeof header_, data, n);
          if (have_ == sizeof header_) startName();
          break;
        case State::kName:
          used = std::min(n, nameLength_ - name_.size());
          name_.append(reinterpret_cast<const char*>(data), used);
          if (name_.size() == nameLength_) startData();
          break;
        case State::kData:
          used = std::min<std::size_t>(n, dataLeft_);
          if (fd_ >= 0) write(data, used);
          dataLeft_ -= static_cast<std::uint32_t>(used);
          if (dataLeft_ == 0) finishFile();
          break;
      }
      data += used;
      n -= used;
    }
  }

  // The commit of --per-file-calls.
  void renameAll() {
    for (const auto& [from, to] : pending_) {
      if (rename(from.c_str(), to.c_str()) != 0) die("rename");
    }
    pending_.clear();
  }

 private:
  enum class State { kHeader, kName, kData };

  std::size_t take(unsigned char* into, std::size_t size, const unsigned char* data,
                   std::size_t n) {
    const std::size_t used = std::min(n, size - have_);
    std::memcpy(into + have_, data, used);
    have_ += used;
    return used;
  }

  void startName() {
    have_ = 0;
    mode_ = decodeLe16(header_);
    dataLeft_ = decodeLe32(header_ + 24);
    nameLength_ = decodeLe16(header_ + 28);
    name_.clear();
    state_ = State::kName;
    if (nameLength_ == 0) startData();
  }

  void startData() {
    state_ = State::kData;
    if ((mode_ & installer::kModeTypeMask) == installer::kModeRegular) openFile();
    if (dataLeft_ == 0) finishFile();
  }

  void openFile() {
    target_ = destination_;
    if (name_.empty() || name_[0] != '/') target_ += '/';
    target_ += name_;
    const std::string dir = target_.substr(0, target_.rfind('/'));
    if (dir != lastDir_) {
      makeDirs(dir);
      lastDir_ = dir;
    }
    temporary_ = dir + "/tmpXXXXXX";
    fd_ = mkstemp(temporary_.data());
    if (fd_ < 0) die("mkstemp");
    buffered_ = 0;
  }

  void write(const unsigned char* data, std::size_t n) {
    while (n > 0) {
      const std::size_t used = std::min(n, kWriteBuffer - buffered_);
      std::memcpy(buffer_ + buffered_, data, used);
      buffered_ += used;
      data += used;
      n -= used;
      if (buffered_ == kWriteBuffer) flush();
    }
  }

  void flush() {
    for (std::size_t done = 0; done < buffered_;) {
      const ssize_t put = ::write(fd_, buffer_ + done, buffered_ - done);
      if (put <= 0) die("write");
      done += static_cast<std::size_t>(put);
    }
    buffered_ = 0;
  }

  void finishFile() {
    state_ = State::kHeader;
    if (fd_ < 0) return;
    flush();
    if (options_.fsyncFiles && fsync(fd_) != 0) die("fsync");
    if (options_.perFileCalls && fchmod(fd_, mode_ & 07777) != 0) die("fchmod");
    if (close(fd_) != 0) die("close");
    fd_ = -1;
    if (options_.perFileCalls) {
      pending_.emplace_back(std::move(temporary_), std::move(target_));
    } else if (rename(temporary_.c_str(), target_.c_str()) != 0) {
      die("rename");
    }
  }

  const std::string destination_;
  const Options options_;
  State state_ = State::kHeader;
  unsigned char header_[installer::kFileEntryHeaderSize];
  std::size_t have_ = 0;
  std::uint16_t mode_ = 0;
  std::uint32_t dataLeft_ = 0;
  std::size_t nameLength_ = 0;
  std::string name_;
  std::string target_;
  std::string temporary_;
  std::string lastDir_;
  int fd_ = -1;
  unsigned char buffer_[kWriteBuffer];
  std::size_t buffered_ = 0;
  std::vector<std::pair<std::string, std::string>> pending_;
};

// Hands inflated bytes from the reading thread to the writing one in blocks
// of 64 KiB, at most 8 of them waiting.
class BlockQueue : public Sink {
 public:
  static constexpr std::size_t kBlock = 65536;
  static constexpr std::size_t kWaiting = 8;

  void feed(const unsigned char* data, std::size_t n) override {
    while (n > 0) {
      const std::size_t used = std::min(n, kBlock - filling_.size());
      filling_.insert(filling_.end(), data, data + used);
      data += used;
      n -= used;
      if (filling_.size() == kBlock) push();
    }
  }
  void finish() {
    if (!filling_.empty()) push();
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }
  // Feeds every block to `sink` until the reading thread has finished.
  void drainInto(Sink& sink) {
    for (;;) {
      std::vector<unsigned char> block;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !blocks_.empty() || finished_; });
        if (blocks_.empty()) return;
        block = std::move(blocks_.front());
        blocks_.pop_front();
        changed_.notify_all();
      }
      sink.feed(block.data(), block.size());
    }
  }

 private:
  void push() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return blocks_.size() < kWaiting; });
    blocks_.push_back(std::move(filling_));
    filling_ = {};
    filling_.reserve(kBlock);
    changed_.notify_all();
  }

  std::vector<unsigned char> filling_;
  std::deque<std::vector<unsigned char>> blocks_;
  bool finished_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Walks the parts of the file as its blocks arrive and inflates the data of
// every file payload part.
class PartWalker {
 public:
  PartWalker(Sink& extractor, bool isal) : extractor_(extractor), isal_(isal) {}
  ~PartWalker() {
    if (inflating_ && !isal_) inflateEnd(&zs_);
  }

  void feed(const unsigned char* data, std::size_t n) {
    while (n > 0) {
      std::size_t used = 0;
      if (skipHeader_ > 0) {
        used = std::min(n, skipHeader_);
        skipHeader_ -= used;
      } else if (partLeft_ == 0) {
        used = std::min(n, sizeof partHeader_ - have_);
        std::memcpy(partHeader_ + have_, data, used);
        have_ += used;
        if (have_ == sizeof partHeader_) startPart();
      } else {
        used = static_cast<std::size_t>(std::min<std::uint64_t>(n, partLeft_));
        if (inflating_) inflateSome(data, used);
        partLeft_ -= used;
        if (partLeft_ == 0) endPart();
      }
      data += used;
      n -= used;
    }
  }

 private:
  void startPart() {
    have_ = 0;
    const std::uint16_t type = decodeLe16(partHeader_);
    partLeft_ = decodeLe32(partHeader_ + 2);
    if (type == installer::kPartPayload && partLeft_ > 0) {
#ifdef BENCH_LIMIT_ISAL
      if (isal_) {
        if (!isalState_) isalState_ = std::make_unique<inflate_state>();
        isal_inflate_init(isalState_.get());
        isalState_->crc_flag = ISAL_ZLIB;
        inflating_ = true;
        ended_ = false;
        return;
      }
#endif
      zs_ = z_stream{};
      if (inflateInit(&zs_) != Z_OK) die("inflateInit");
      inflating_ = true;
      ended_ = false;
    }
  }

  void endPart() {
    if (!inflating_) return;
    if (!isal_) inflateEnd(&zs_);
    inflating_ = false;
  }

  void inflateSome(const unsigned char* data, std::size_t n) {
    if (ended_) return;
#ifdef BENCH_LIMIT_ISAL
    if (isal_) {
      inflate_state& st = *isalState_;
      st.next_in = const_cast<std::uint8_t*>(data);
      st.avail_in = static_cast<std::uint32_t>(n);
      do {
        st.next_out = out_;
        st.avail_out = sizeof out_;
        const int rc = isal_inflate(&st);
        if (rc < 0 || rc == ISAL_NEED_DICT) {
          std::fprintf(stderr, "isal_inflate: %d\n", rc);
          std::exit(1);
        }
        extractor_.feed(out_, sizeof out_ - st.avail_out);
        if (st.block_state == ISAL_BLOCK_FINISH) {
          ended_ = true;
          return;
        }
      } while (st.avail_in > 0 || st.avail_out == 0);
      return;
    }
#endif
    zs_.next_in = const_cast<Bytef*>(data);
    zs_.avail_in = static_cast<uInt>(n);
    do {
      zs_.next_out = out_;
      zs_.avail_out = sizeof out_;
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
        std::fprintf(stderr, "inflate: %d\n", rc);
        std::exit(1);
      }
      extractor_.feed(out_, sizeof out_ - zs_.avail_out);
      if (rc == Z_STREAM_END) {
        ended_ = true;
        return;
      }
    } while (zs_.avail_in > 0 || zs_.avail_out == 0);
  }

  Sink& extractor_;
  bool isal_;
#ifdef BENCH_LIMIT_ISAL
  std::unique_ptr<inflate_state> isalState_;  // about 87 KB, made once
#endif
  std::size_t skipHeader_ = installer::kFileHeaderSize;
  unsigned char partHeader_[installer::kPartHeaderSize];
  std::size_t have_ = 0;
  std::uint64_t partLeft_ = 0;
  z_stream zs_{};
  bool inflating_ = false;
  bool ended_ = false;
  unsigned char out_[kInflateOut];
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-'; ++arg) {
    if (std::strcmp(argv[arg], "--isal") == 0) {
#ifndef BENCH_LIMIT_ISAL
      std::fprintf(stderr, "bench_limit: built without ISA-L\n");
      return 2;
#endif
      options.isal = true;
    } else if (std::strcmp(argv[arg], "--threads") == 0) {
      options.threads = true;
    } else if (std::strcmp(argv[arg], "--per-file-calls") == 0) {
      options.perFileCalls = true;
    } else if (std::strcmp(argv[arg], "--fsync") == 0) {
      options.fsyncFiles = true;
    } else if (std::strcmp(argv[arg], "--durable") == 0) {
      options.durable = true;
      options.perFileCalls = true;
    } else {
      break;
    }
  }
  if (argc - arg != 2) {
    std::fprintf(stderr,
                 "usage: bench_limit [--isal] [--threads] [--per-file-calls] [--fsync] [--durable] "
                 "PACKAGE DESTDIR\n");
    return 2;
  }
  const int fd = open(argv[arg], O_RDONLY);
  if (fd < 0) die(argv[arg]);

  Extractor extractor(argv[arg + 1], options);
  BlockQueue queue;
  // Reads, hashes and inflates the whole file into `sink`.
  auto readAll = [fd, &options](Sink& sink) {
    EVP_MD_CTX* sha256 = EVP_MD_CTX_new();
    EVP_DigestInit_ex(sha256, EVP_sha256(), nullptr);
    PartWalker walker(sink, options.isal);
    static unsigned char block[kReadBlock];
    for (;;) {
      const ssize_t got = read(fd, block, sizeof block);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) die("read");
      if (got == 0) break;
      EVP_DigestUpdate(sha256, block, static_cast<std::size_t>(got));
      walker.feed(block, static_cast<std::size_t>(got));
    }
    unsigned char digest[32];
    unsigned int size = 0;
    EVP_DigestFinal_ex(sha256, digest, &size);
    EVP_MD_CTX_free(sha256);
  };
  if (options.threads) {
    std::thread reader([&] {
      readAll(queue);
      queue.finish();
    });
    queue.drainInto(extractor);
    reader.join();
  } else {
    readAll(extractor);
  }
  close(fd);
  if (options.durable) {
    const int dir = open(argv[arg + 1], O_RDONLY | O_DIRECTORY);
    if (dir < 0 || syncfs(dir) != 0) die("syncfs");
    extractor.renameAll();
    if (syncfs(dir) != 0) die("syncfs");
    close(dir);
  } else {
    extractor.renameAll();
  }
  return 0;
}
