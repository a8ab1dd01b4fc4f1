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
  bool takesInputEagerly() const override { return false; }
  std::size_t inputLeft() const override { return state_.avail_in; }

  InflateStep inflate(std::span<unsigned char> output) override {
    InflateStep step;
    if (state_.block_state == ISAL_BLOCK_FINISH) {
      step.status = InflateStatus::kEnd;
      return step;
    }
    state_.next_out = output.data();
    state_.avail_out = static_cast<std::uint32_t>(output.size());
    const int rc = isal_inflate(&state_);
    step.produced = output.size() - state_.avail_out;
    if (rc == ISAL_DECOMP_OK || rc == ISAL_END_INPUT || rc == ISAL_OUT_OVERFLOW) {
      step.status =
          state_.block_state == ISAL_BLOCK_FINISH ? InflateStatus::kEnd : InflateStatus::kGoing;
    } else {
      // Corrupt data, a wrong checksum, or a preset dictionary asked for.
      step.status = InflateStatus::kFailed;
    }
    return step;
  }

 private:
  // About 87 KB: the history and the output staging buffer of the decoder.
  inflate_state state_{};
};

}  // namespace

std::unique_ptr<Inflater> createIsalInflater() {
  return std::unique_ptr<Inflater>(new (std::nothrow) IsalInflater());
}

}  // namespace installer
