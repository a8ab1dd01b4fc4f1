// A second thread that reads, hashes and inflates the payload ahead of the
// thread that parses its entries and writes the files, through a bounded
// ring of decoded pieces. It makes no call that changes the file system:
// the copy of the consumed bytes is held back with each piece and made by
// the user when it takes the piece, so that every write, of the files and
// of the copy, comes in the same order as with one thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "package/payload_decoder.h"
#include "package/reader.h"

namespace installer {

// One decoded piece and what the reader did to make it.
struct DecodedPiece {
  static constexpr std::size_t kPutBack = 16;
  // The output at data + kPutBack; the bytes in front are room for put-back.
  unsigned char data[kPutBack + PayloadDecoder::kPiece];
  std::size_t size = 0;
  std::uint64_t consumed = 0;  // the reader's file offset once it was made
  bool finished = false;       // the decoder's state once it was made
  bool endedCleanly = false;
  bool failed = false;
  HeldBackCopy copy;  // consumed while it was made, not yet copied
};

class ReadAhead {
 public:
  // The decoder must read from `reader`'s current part; neither is touched
  // by the calling thread from start() until the last piece was taken or
  // the object is gone.
  ReadAhead(PayloadDecoder& decoder, PackageReader& reader);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // False when no thread could be started: nothing was read then.
  [[nodiscard]] bool start();
  // The next piece; the one taken before it goes back to the ring. Only
  // until a piece with `finished` was taken: the thread has ended then.
  DecodedPiece& next();

 private:
  static constexpr std::uint32_t kPieces = 64;
  // How many pieces one side waits for before the other wakes it: fewer
  // wake-ups than one a piece. A reader that may wait for a pipe hands over
  // every piece at once instead.
  static constexpr std::uint32_t kBatch = 32;

  void run();
  bool waitForRoom(std::uint32_t piece);
  void publish(std::uint32_t count, bool last);
  void stop();

  PayloadDecoder& decoder_;
  PackageReader& reader_;
  bool mayWait_ = false;  // the reader's input may wait for its writer
  std::uint32_t batch_;
  DecodedPiece pieces_[kPieces];
  std::thread thread_;
  bool running_ = false;
  bool lastTaken_ = false;
  std::uint32_t takenCount_ = 0;  // the user's own count of pieces taken
  bool holding_ = false;          // the user holds piece takenCount_ - 1
  // Pieces made, and pieces given back, and what each side waits for.
  std::atomic<std::uint32_t> published_{0};
  std::atomic<std::uint32_t> released_{0};
  std::atomic<std::uint32_t> publishedWanted_{0};
  std::atomic<std::uint32_t> releasedWanted_{0};
  std::atomic<bool> cancelled_{false};
};

}  // namespace installer
