// The package reader: an input stream over a package file that delivers one
// typed part at a time, forward only, optionally copying every consumed byte
// to a second stream buffer and hashing it for the signature check.
#pragma once

#include <atomic>
#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "package/format.h"
#include "platform/hash.h"
#include "records/package.h"

namespace installer {

// Bytes consumed whose copy was held back, in the pieces they were consumed
// in: a second thread that reads ahead leaves the copying to the thread that
// uses the bytes, so that the copy's writes come where they would with one.
struct HeldBackCopy {
  std::vector<char> bytes;
  std::vector<std::uint32_t> pieces;  // the length of each piece, in order
  void clear() {
    bytes.clear();
    pieces.clear();
  }
};

// Reads straight from the source buffer, never past the end of the current
// part; it holds no buffer of its own.
class PartStreambuf : public std::streambuf {
 public:
  PartStreambuf(std::streambuf* source, bool hashing, std::streambuf* copyTo);

  std::uint32_t partStart = 0;      // file offset of the current part's data
  std::uint32_t partLength = 0;     // data length of the current part
  std::uint32_t partRemaining = 0;  // bytes of the current part not yet consumed

  // Bytes of the file consumed so far: partStart + offset within the part.
  std::uint64_t consumed() const { return std::uint64_t{partStart} + (partLength - partRemaining); }

  bool hashing() const { return hashing_; }
  bool hashIsSha256() const { return current_ == sha256_.get(); }
  bool hashFinished() const { return hashFinished_; }
  // Finishes the current hash into digest() (the hash object starts afresh).
  void finishHash();
  const std::uint8_t* digest() const { return digest_; }

  // Reads up to n bytes from the source, unhashed but copied, and consumes
  // them from the current part. Used for the signature bytes.
  std::size_t readUnhashed(void* buffer, std::size_t n);

  // While `held` is set, consumed bytes are hashed as usual but gathered
  // there instead of copied; null copies them again. holdBackCopies(held)
  // and copyHeldBack(held) on another thread must not overlap.
  void holdBackCopies(HeldBackCopy* held) { heldBack_ = held; }
  // Copies what was held back, piece by piece.
  void copyHeldBack(const HeldBackCopy& held);

 protected:
  int_type underflow() override;
  int_type uflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  std::streamsize showmanyc() override;
  int_type pbackfail(int_type c) override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  friend class PackageReader;
  // Consumed bytes are copied, and hashed unless `hash` is false.
  std::size_t readRaw(void* buffer, std::size_t n, bool hash = true);
  std::uint64_t skipBytes(std::uint64_t n);
  void forward(const void* data, std::size_t n, bool hash = true);

  std::streambuf* source_;
  std::streambuf* copyTo_;
  HeldBackCopy* heldBack_ = nullptr;
  std::unique_ptr<Hasher> sha1_;
  std::unique_ptr<Hasher> sha256_;
  Hasher* current_;
  bool hashing_;
  bool hashFinished_ = false;
  std::uint32_t replayCount_ = 0;
  std::uint8_t digest_[32] = {};
};

class PackageReader : public std::istream {
 public:
  // Reads the 8-byte file header at once; a short read or an unknown magic
  // makes the stream bad. Neither `input` nor `copyTo` is closed.
  PackageReader(std::istream& input, bool hashing, std::streambuf* copyTo = nullptr);
  ~PackageReader() override;

  // Moves to the next part whose type is wanted; kNoPart at the end or on
  // error (the stream is then failed).
  int nextPart();

  PartStreambuf& part() { return buf_; }
  const PartStreambuf& part() const { return buf_; }

  // The errno of a read of the input that failed, when the input is read
  // through an FdInputBuf; else 0. A failed read ends the input as its end
  // does: only this tells bytes that cannot be read from bytes that are
  // wrong (a package cut short).
  int inputError() const;
  // For a second thread reading ahead (see FdInputBuf): whether a read may
  // wait for the input's writer, giving such waits up (only then), and
  // forgetting an error met by reads made ahead of a user who never reached
  // them.
  bool inputMayWait() const;
  void giveUpWaitingWhen(const std::atomic<bool>* cancelled);
  void forgetInputError();

  std::vector<std::uint32_t> wantedTypes;
  int partType = kNoPart;
  std::uint32_t magic = 0xFFFFFFFF;
  std::uint32_t totalLength = 0;  // payload length + 8: the size the header declares

 private:
  PartStreambuf buf_;
};

// Fills `p` from the header part the reader stands on and the descriptive
// parts after it; leaves the reader on the first part it did not consume.
[[nodiscard]] bool readHeader(Package& p, PackageReader& reader);
[[nodiscard]] bool readDependencyList(PackageReader& reader, std::vector<Dependency>& list);

}  // namespace installer
