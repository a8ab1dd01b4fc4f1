// SHA-1 and SHA-256 from the platform's crypto library: create, update,
// finish into the caller's buffer and start afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace installer {

class Hasher {
 public:
  enum class Kind { kSha1, kSha256 };
  static std::unique_ptr<Hasher> create(Kind kind);
  virtual ~Hasher() = default;

  virtual void update(const void* data, std::size_t size) = 0;
  // Writes the digest (20 or 32 bytes) to `out` and starts a new digest.
  virtual void finish(std::uint8_t* out) = 0;
  virtual std::size_t digestSize() const = 0;
};

}  // namespace installer
