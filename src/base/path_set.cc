#include "base/path_set.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace installer {

namespace {

// Each path is stored behind its length, seven bits a byte, low bits first
// (one byte up to 127 bytes, two up to 16,383).
std::size_t lengthBytes(std::size_t length) {
  std::size_t n = 1;
  while (length >= 0x80) {
    length >>= 7;
    ++n;
  }
  return n;
}

}  // namespace

PathSet::PathSet(std::initializer_list<std::string_view> paths) {
  for (std::string_view path : paths) insert(path);
}

PathSet::PathSet(const PathSet& other) {
  for (std::string_view path : other) insert(path);
}

PathSet& PathSet::operator=(const PathSet& other) {
  if (this != &other) {
    PathSet copy(other);
    *this = std::move(copy);
  }
  return *this;
}

std::string_view PathSet::view(std::uint32_t offset) const {
  const auto* p = reinterpret_cast<const unsigned char*>(blocks_[offset >> kBlockShift].get()) +
                  (offset & (kBlockSize - 1));
  std::size_t length = 0;
  for (unsigned shift = 0;; shift += 7) {
    const unsigned char byte = *p++;
    length |= std::size_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) break;
  }
  return {reinterpret_cast<const char*>(p), length};
}

std::uint32_t PathSet::reserve(std::size_t size) {
  if (size <= capacity_ - used_) return used_;
  // The first block grows while it is small: most records list a few files.
  // Sums in 64 bits: on a 32-bit machine a size_t could wrap.
  const std::uint64_t end = std::uint64_t{used_} + size;
  if (blocks_.size() == 1 && capacity_ < kBlockSize && end <= kBlockSize) {
    std::size_t grown = std::max<std::size_t>(capacity_ * 2, static_cast<std::size_t>(end));
    grown = std::min<std::size_t>(grown, kBlockSize);
    auto block = std::make_unique_for_overwrite<char[]>(grown);
    std::memcpy(block.get(), blocks_[0].get(), used_);
    blocks_[0] = std::move(block);
    capacity_ = static_cast<std::uint32_t>(grown);
    return used_;
  }
  // A new block at the next block boundary; the rest of the current one
  // stays unused.
  const std::uint64_t start = std::uint64_t{blocks_.size()} * kBlockSize;
  std::size_t length = kBlockSize;
  if (size > kBlockSize) {
    length = size;  // a long path alone, over as many slots as it covers
  } else if (blocks_.empty()) {
    length = std::max<std::size_t>(size, kFirstBlockSize);
  }
  // Offsets are 32 bits: the arena ends at 4 GiB, like any other memory.
  if (start + length > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(length));
  const std::size_t slots = (length + kBlockSize - 1) / kBlockSize;
  blocks_.resize(blocks_.size() + slots - 1);
  used_ = static_cast<std::uint32_t>(start);
  capacity_ = static_cast<std::uint32_t>(start + length);
  return used_;
}

std::uint32_t PathSet::store(std::string_view path) {
  const std::size_t prefix = lengthBytes(path.size());
  if (path.size() > std::numeric_limits<std::uint32_t>::max() - prefix) throw std::bad_alloc();
  const std::uint32_t offset = reserve(prefix + path.size());
  auto* p = reinterpret_cast<unsigned char*>(blocks_[offset >> kBlockShift].get()) +
            (offset & (kBlockSize - 1));
  for (std::size_t length = path.size();; length >>= 7) {
    if (length < 0x80) {
      *p++ = static_cast<unsigned char>(length);
      break;
    }
    *p++ = static_cast<unsigned char>(0x80 | (length & 0x7f));
  }
  if (!path.empty()) std::memcpy(p, path.data(), path.size());
  used_ = static_cast<std::uint32_t>(offset + prefix + path.size());
  return offset;
}

void PathSet::insert(std::string_view path) {
  const auto sortedEnd = index_.begin() + static_cast<std::ptrdiff_t>(sorted_);
  if (sorted_ == index_.size()) {
    // In order: the common case, one comparison with the last path.
    if (index_.empty() || view(index_.back()) < path) {
      index_.push_back(store(path));
      ++sorted_;
      return;
    }
    if (view(index_.back()) == path) return;
  }
  // Out of order: a path already in the sorted part is not stored twice;
  // anything else waits in the tail for the next ordered read.
  const auto found =
      std::lower_bound(index_.begin(), sortedEnd, path,
                       [this](std::uint32_t a, std::string_view b) { return view(a) < b; });
  if (found != sortedEnd && view(*found) == path) return;
  index_.push_back(store(path));
}

void PathSet::normalize() const {
  if (sorted_ == index_.size()) return;
  const auto byPath = [this](std::uint32_t a, std::uint32_t b) { return less(a, b); };
  const auto middle = index_.begin() + static_cast<std::ptrdiff_t>(sorted_);
  std::sort(middle, index_.end(), byPath);
  std::inplace_merge(index_.begin(), middle, index_.end(), byPath);
  // The bytes of a dropped duplicate stay in the arena until clear().
  const auto last =
      std::unique(index_.begin(), index_.end(),
                  [this](std::uint32_t a, std::uint32_t b) { return view(a) == view(b); });
  index_.erase(last, index_.end());
  sorted_ = index_.size();
}

bool PathSet::contains(std::string_view path) const {
  normalize();
  const auto found =
      std::lower_bound(index_.begin(), index_.end(), path,
                       [this](std::uint32_t a, std::string_view b) { return view(a) < b; });
  return found != index_.end() && view(*found) == path;
}

std::size_t PathSet::size() const {
  normalize();
  return index_.size();
}

void PathSet::clear() {
  std::vector<std::unique_ptr<char[]>>().swap(blocks_);
  std::vector<std::uint32_t>().swap(index_);
  used_ = 0;
  capacity_ = 0;
  sorted_ = 0;
}

PathSet::const_iterator PathSet::begin() const {
  normalize();
  return const_iterator(this, 0);
}

std::string_view PathSet::back() const {
  normalize();
  return view(index_.back());
}

PathSet::const_iterator PathSet::end() const {
  normalize();
  return const_iterator(this, index_.size());
}

bool operator==(const PathSet& a, const PathSet& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace installer
