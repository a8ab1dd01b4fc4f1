// The set of absolute paths a package owns, kept densely: a package of tens
// of thousands of files holds its list for the whole run, so each path costs
// its bytes, a length byte or two and a 4-byte index entry, and nothing else.
//
// The bytes of the paths go into an arena of fixed-size blocks that never
// move once made (only the first, while the set is still small, grows by
// copying, so that a record of a few files does not take a whole block). A
// path longer than a block gets an allocation of its own. The index holds
// each path's offset in the arena and is kept in byte-wise order.
//
// Inserting in order (the database's lists are stored sorted, and most
// payloads are) appends in constant time. A path that arrives out of order is
// appended to an unsorted tail, which the next ordered read or lookup sorts
// and merges in, dropping duplicates: a hostile payload in reverse order
// costs one sort, not a shift per file. Because of that, the const
// operations may reorder the index: the set is for one thread at a time, and
// an insert invalidates its iterators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace installer {

class PathSet {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const { return set_->view(set_->index_[position_]); }
    const_iterator& operator++() {
      ++position_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++position_;
      return before;
    }
    bool operator==(const const_iterator& other) const { return position_ == other.position_; }

   private:
    friend class PathSet;
    const_iterator(const PathSet* set, std::size_t position) : set_(set), position_(position) {}
    const PathSet* set_ = nullptr;
    std::size_t position_ = 0;
  };
  using iterator = const_iterator;
  using value_type = std::string_view;

  PathSet() = default;
  PathSet(std::initializer_list<std::string_view> paths);
  // A copy is compact: it holds each path once, in order, whatever the
  // original's arena held.
  PathSet(const PathSet& other);
  PathSet& operator=(const PathSet& other);
  PathSet(PathSet&&) noexcept = default;
  PathSet& operator=(PathSet&&) noexcept = default;
  ~PathSet() = default;

  // Adds `path` unless it is there. Any bytes, the empty path included.
  void insert(std::string_view path);
  bool contains(std::string_view path) const;
  std::size_t size() const;
  bool empty() const { return index_.empty(); }
  // Empties the set and gives its memory back.
  void clear();

  // The last path in byte-wise order; the set must not be empty.
  std::string_view back() const;
  // The paths in byte-wise order.
  const_iterator begin() const;
  const_iterator end() const;

  friend bool operator==(const PathSet& a, const PathSet& b);

 private:
  // Power of two: an offset splits into a block number and a position by
  // shift and mask. A path of PATH_MAX bytes fits in one.
  static constexpr std::uint32_t kBlockShift = 13;
  static constexpr std::uint32_t kBlockSize = std::uint32_t{1} << kBlockShift;
  static constexpr std::uint32_t kFirstBlockSize = 128;

  std::string_view view(std::uint32_t offset) const;
  bool less(std::uint32_t a, std::uint32_t b) const { return view(a) < view(b); }
  // Stores the bytes of `path` and returns their offset.
  std::uint32_t store(std::string_view path);
  // Where `size` bytes can go; makes room when the current block is full.
  std::uint32_t reserve(std::size_t size);
  // Sorts the unsorted tail into the index and drops its duplicates.
  void normalize() const;

  // blocks_[k] starts at offset k * kBlockSize; a path longer than a block
  // takes an allocation of its own and the slots it covers stay null.
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::uint32_t used_ = 0;      // offset where the next path goes
  std::uint32_t capacity_ = 0;  // offset where the current allocation ends
  mutable std::vector<std::uint32_t> index_;
  // index_[0, sorted_) is in order and free of duplicates.
  mutable std::size_t sorted_ = 0;
};

}  // namespace installer
