// Test helper: an input stream buffer over a string that can refuse seeks
// (like a pipe), report how many bytes it handed out, and claim that only a
// few bytes are available without blocking.
#pragma once

#include <algorithm>
#include <cstring>
#include <streambuf>
#include <string>

namespace testing_support {

class TestSource : public std::streambuf {
 public:
  explicit TestSource(std::string data, bool seekable = true, std::streamsize available = 1 << 30)
      : data_(std::move(data)), seekable_(seekable), available_(available) {}

  std::size_t delivered = 0;  // bytes handed out by reads, put-backs not subtracted

 protected:
  int_type underflow() override {
    return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_]) : traits_type::eof();
  }
  int_type uflow() override {
    if (pos_ >= data_.size()) return traits_type::eof();
    ++delivered;
    return traits_type::to_int_type(data_[pos_++]);
  }
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    const std::size_t k = pos_ < data_.size() ? std::min<std::size_t>(n, data_.size() - pos_) : 0;
    std::memcpy(s, data_.data() + pos_, k);
    pos_ += k;
    delivered += k;
    return static_cast<std::streamsize>(k);
  }
  std::streamsize showmanyc() override {
    if (pos_ >= data_.size()) return -1;
    return std::min<std::streamsize>(available_, static_cast<std::streamsize>(data_.size() - pos_));
  }
  int_type pbackfail(int_type c) override {
    if (pos_ == 0) return traits_type::eof();
    --pos_;
    return traits_type::not_eof(c);
  }
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    if (!seekable_) return pos_type(off_type(-1));
    const off_type base = dir == std::ios_base::beg   ? 0
                          : dir == std::ios_base::cur ? static_cast<off_type>(pos_)
                                                      : static_cast<off_type>(data_.size());
    if (base + off < 0) return pos_type(off_type(-1));
    // Like a file, positions past the end are allowed; reads there find nothing.
    pos_ = static_cast<std::size_t>(base + off);
    return pos_type(base + off);
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    return seekoff(off_type(pos), std::ios_base::beg, which);
  }

 private:
  std::string data_;
  std::size_t pos_ = 0;
  bool seekable_;
  std::streamsize available_;
};

}  // namespace testing_support
