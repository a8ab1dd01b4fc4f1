// The zlib inflate backend, and the choice between the backends.
#include <zlib.h>

#include "platform/inflate.h"

namespace installer {
namespace {

class ZlibInflater final : public Inflater {
 public:
  ZlibInflater() { ready_ = inflateInit(&zs_) == Z_OK; }
  ~ZlibInflater() override {
    if (ready_) inflateEnd(&zs_);
  }
  ZlibInflater(const ZlibInflater&) = delete;
  ZlibInflater& operator=(const ZlibInflater&) = delete;

  bool ready() const { return ready_; }

  void setInput(std::span<const unsigned char> input) override {
    zs_.next_in = const_cast<Bytef*>(input.data());
    zs_.avail_in = static_cast<uInt>(input.size());
  }
  std::size_t inputLeft() const override { return zs_.avail_in; }

  // One call does it all: zlib stops only when the output is full or it
  // needs another input byte, and takes input bytes only as it needs them.
  InflateStep inflate(std::span<unsigned char> output) override {
    zs_.next_out = output.data();
    zs_.avail_out = static_cast<uInt>(output.size());
    const int rc = ::inflate(&zs_, Z_PARTIAL_FLUSH);
    InflateStep step;
    step.produced = output.size() - zs_.avail_out;
    if (rc == Z_STREAM_END) {
      step.status = InflateStatus::kEnd;
    } else if (rc == Z_OK || rc == Z_BUF_ERROR) {
      // Z_BUF_ERROR only says that no progress was possible: more input is
      // needed (or room, which the caller always gives).
      step.status = InflateStatus::kGoing;
    } else {
      step.status = InflateStatus::kFailed;
    }
    return step;
  }

 private:
  z_stream zs_{};
  bool ready_ = false;
};

}  // namespace

std::unique_ptr<Inflater> createZlibInflater() {
  auto inflater = std::make_unique<ZlibInflater>();
  if (!inflater->ready()) return nullptr;
  return inflater;
}

InflateBackend Inflater::configured() {
#ifdef INSTALLER_INFLATE_ISAL
  return InflateBackend::kIsal;
#else
  return InflateBackend::kZlib;
#endif
}

bool Inflater::available(InflateBackend backend) {
#ifdef INSTALLER_INFLATE_ISAL
  return backend == InflateBackend::kIsal || backend == InflateBackend::kZlib;
#else
  return backend == InflateBackend::kZlib;
#endif
}

std::unique_ptr<Inflater> Inflater::create(InflateBackend backend) {
  if (backend == InflateBackend::kIsal) return createIsalInflater();
  return createZlibInflater();
}

const char* Inflater::name(InflateBackend backend) {
  return backend == InflateBackend::kIsal ? "isa-l" : "zlib";
}

#ifndef INSTALLER_INFLATE_ISAL
std::unique_ptr<Inflater> createIsalInflater() { return nullptr; }
#endif

}  // namespace installer
