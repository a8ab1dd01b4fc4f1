// The ISA-L inflate backend: isal_inflate with the zlib wrapper checked by
// the library (header, and the Adler-32 of the output at the end). Built only
// where ISA-L's header and library were found.
#include <isa-l/igzip_lib.h>

#include <new>

#include "platform/inflate.h"

namespace installer {
namespace {

class IsalInflater final : public Inflater {
 public:
  IsalInflater() {
    isal_inflate_init(&state_);
    state_.crc_flag = ISAL_ZLIB;
  }

  void setInput(std::span<const unsigned char> input) override {
    state_.next_in = const_cast<std::uint8_t*>(input.data());
    state_.avail_in = static_cast<std::uint32_t>(input.size());
  }
  std::size_t inputLeft() const override { return state_.avail_in; }

  // isal_inflate may return before the output is full while it could go on
  // (it moves the tail of the input into a buffer of its own in one call and
  // decodes it in the next, and stops at some block ends), so it is called
  // until it makes no more progress.
  InflateStep inflate(std::span<unsigned char> output) override {
    InflateStep step;
    state_.next_out = output.data();
    state_.avail_out = static_cast<std::uint32_t>(output.size());
    for (;;) {
      if (state_.block_state == ISAL_BLOCK_FINISH) {
        step.status = InflateStatus::kEnd;
        break;
      }
      if (state_.avail_out == 0) break;
      const Progress before = progress();
      const int rc = isal_inflate(&state_);
      if (rc != ISAL_DECOMP_OK && rc != ISAL_END_INPUT && rc != ISAL_OUT_OVERFLOW) {
        // Corrupt data, a wrong checksum, or a preset dictionary asked for.
        step.status = InflateStatus::kFailed;
        break;
      }
      if (progress() == before) break;
    }
    step.produced = output.size() - state_.avail_out;
    return step;
  }

 private:
  // What a call can change when it makes progress: output, input taken, the
  // bits and bytes held, the decoder's place in the stream.
  struct Progress {
    std::uint32_t avail_out;
    std::uint32_t avail_in;
    std::int32_t read_in_length;
    std::int16_t tmp_in_size;
    int block_state;
    bool operator==(const Progress&) const = default;
  };
  Progress progress() const {
    return {state_.avail_out, state_.avail_in, state_.read_in_length, state_.tmp_in_size,
            static_cast<int>(state_.block_state)};
  }

  // About 87 KB: the history and the output staging buffer of the decoder.
  inflate_state state_{};
};

}  // namespace

std::unique_ptr<Inflater> createIsalInflater() {
  return std::unique_ptr<Inflater>(new (std::nothrow) IsalInflater());
}

}  // namespace installer
