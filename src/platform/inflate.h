// Inflating a zlib stream (RFC 1950 wrapping of RFC 1951 data) through one of
// two libraries: ISA-L, whose decoder is several times faster where it has
// assembly (x86-64, aarch64), or zlib. The build picks one for the programs;
// both can be present so that tests and the differential fuzz target hold
// them to the same results.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace installer {

enum class InflateBackend { kZlib, kIsal };

enum class InflateStatus {
  kGoing,   // more may come: with more output room, or with more input
  kEnd,     // the stream ended and its checksum matched
  kFailed,  // corrupt data, a dictionary request, or a library failure
};

struct InflateStep {
  InflateStatus status = InflateStatus::kGoing;
  std::size_t produced = 0;  // bytes written to the output of this call
};

class Inflater {
 public:
  // The backend the programs were built with.
  static InflateBackend configured();
  // Null when `backend` is not part of this build or its state could not be
  // allocated.
  static std::unique_ptr<Inflater> create(InflateBackend backend);
  static std::unique_ptr<Inflater> create() { return create(configured()); }
  static bool available(InflateBackend backend);
  static const char* name(InflateBackend backend);

  virtual ~Inflater() = default;

  // Hands over the next piece of input; the previous one must be used up.
  // The bytes must stay in place until they are.
  virtual void setInput(std::span<const unsigned char> input) = 0;
  virtual std::size_t inputLeft() const = 0;
  // Decodes into `output` all that the input given so far allows, up to its
  // size: less only when the input is used up (or the stream ended or
  // failed), so that where a piece of input runs dry depends on the stream,
  // not on how a library splits its work into calls.
  virtual InflateStep inflate(std::span<unsigned char> output) = 0;
};

// The backends; configured() and create() choose between them.
std::unique_ptr<Inflater> createZlibInflater();
std::unique_ptr<Inflater> createIsalInflater();  // null in a build without ISA-L

}  // namespace installer
