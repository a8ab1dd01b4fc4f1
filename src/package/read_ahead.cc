#include "package/read_ahead.h"

#include <system_error>

#include "platform/thread_wait.h"

namespace installer {
namespace {

// Counts wrap around; one is at or past another when the distance from it
// is less than half the range.
bool reached(std::uint32_t count, std::uint32_t wanted) {
  return static_cast<std::int32_t>(count - wanted) >= 0;
}

// What a side stores as its wish while it does not wait: never reached by
// the other's count before it waits again.
std::uint32_t notWaiting(std::uint32_t count) { return count + 0x7FFFFFFFU; }

}  // namespace

ReadAhead::ReadAhead(PayloadDecoder& decoder, PackageReader& reader)
    : decoder_(decoder), reader_(reader), batch_(kBatch) {
  publishedWanted_.store(notWaiting(0));
  releasedWanted_.store(notWaiting(0));
}

ReadAhead::~ReadAhead() { stop(); }

bool ReadAhead::start() {
  // The user of a pipe must see each piece as soon as it is made, and a
  // stop must not wait on the pipe: the next read may wait for the writer
  // for as long as it likes.
  mayWait_ = reader_.inputMayWait();
  batch_ = mayWait_ ? 1 : kBatch;
  if (mayWait_) reader_.giveUpWaitingWhen(&cancelled_);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    if (mayWait_) reader_.giveUpWaitingWhen(nullptr);
    return false;
  }
  running_ = true;
  return true;
}

void ReadAhead::stop() {
  if (!running_) return;
  running_ = false;
  if (!lastTaken_) {
    cancelled_.store(true);
    // A change of the count it sleeps on wakes the thread waiting for room.
    released_.fetch_add(1);
    wakeSleeper(released_);
  }
  thread_.join();
  if (mayWait_) reader_.giveUpWaitingWhen(nullptr);
  // A read error met ahead of where the user stopped was never met by the
  // user: with one thread that read would not have been made.
  if (!lastTaken_) reader_.forgetInputError();
}

bool ReadAhead::waitForRoom(std::uint32_t piece) {
  const std::uint32_t wanted = piece - kPieces + batch_;
  for (;;) {
    if (cancelled_.load()) return false;
    std::uint32_t released = released_.load();
    if (piece - released < kPieces) break;
    releasedWanted_.store(wanted);
    released = released_.load();
    if (piece - released < kPieces || cancelled_.load()) continue;
    sleepWhileEqual(released_, released);
  }
  releasedWanted_.store(notWaiting(piece));
  return true;
}

void ReadAhead::publish(std::uint32_t count, bool last) {
  published_.store(count);
  if (last || reached(count, publishedWanted_.load())) wakeSleeper(published_);
}

void ReadAhead::run() {
  PartStreambuf& part = reader_.part();
  for (std::uint32_t n = 0;; ++n) {
    if (!waitForRoom(n)) return;
    DecodedPiece& piece = pieces_[n % kPieces];
    piece.copy.clear();
    part.holdBackCopies(&piece.copy);
    std::size_t size = 0;
    // Input that makes no output (block headers, empty blocks) is taken in
    // piece after piece as with one thread, but its held-back copy is handed
    // over in bounded pieces.
    do {
      size = decoder_.step(piece.data + DecodedPiece::kPutBack);
    } while (size == 0 && !decoder_.finished() &&
             piece.copy.bytes.size() < PayloadDecoder::kPiece && !cancelled_.load());
    part.holdBackCopies(nullptr);
    piece.size = size;
    piece.consumed = part.consumed();
    piece.finished = decoder_.finished() || cancelled_.load();
    piece.endedCleanly = decoder_.endedCleanly();
    piece.failed = decoder_.failed();
    publish(n + 1, piece.finished);
    if (piece.finished) return;
  }
}

DecodedPiece& ReadAhead::next() {
  if (holding_) {
    released_.store(takenCount_);
    if (reached(takenCount_, releasedWanted_.load())) wakeSleeper(released_);
  }
  for (;;) {
    std::uint32_t published = published_.load();
    if (published != takenCount_) break;
    publishedWanted_.store(takenCount_ + batch_);
    published = published_.load();
    if (published != takenCount_) break;
    sleepWhileEqual(published_, published);
  }
  publishedWanted_.store(notWaiting(takenCount_));
  DecodedPiece& piece = pieces_[takenCount_ % kPieces];
  ++takenCount_;
  holding_ = true;
  if (piece.finished) {
    // The thread ends right after it made the last piece; once it has,
    // the reader is the user's again.
    lastTaken_ = true;
    running_ = false;
    thread_.join();
    if (mayWait_) reader_.giveUpWaitingWhen(nullptr);
  }
  return piece;
}

}  // namespace installer
