// Arithmetic in the field of integers modulo 2^255 - 19, the coordinate field
// of Curve25519, for the older signature scheme.
#pragma once

#include <array>
#include <cstdint>

namespace installer {

// An element held as ten signed limbs of alternately 26 and 25 bits (radix
// 2^25.5): the value is the sum of limb[i] * 2^ceil(25.5 * i). Every
// operation below returns its result carried, each limb within about
// +-2^25, so results can be fed to any other operation without overflow.
struct FieldElement {
  std::array<std::int32_t, 10> limb{};
};

using FieldBytes = std::array<std::uint8_t, 32>;

FieldElement fieldFromInt(std::int32_t value);
// Little-endian; bit 255 is ignored and values >= 2^255 - 19 are accepted
// (they stand for their residue).
FieldElement fieldFromBytes(const std::uint8_t bytes[32]);
// The fully reduced value, little-endian.
FieldBytes fieldToBytes(const FieldElement& f);

FieldElement fieldAdd(const FieldElement& f, const FieldElement& g);
FieldElement fieldSub(const FieldElement& f, const FieldElement& g);
FieldElement fieldNeg(const FieldElement& f);
FieldElement fieldMul(const FieldElement& f, const FieldElement& g);
FieldElement fieldSquare(const FieldElement& f);
// `c` is a small non-negative constant (below 2^20), such as 486662.
FieldElement fieldMulSmall(const FieldElement& f, std::uint32_t c);
// f^(p-2): the inverse of f, and 0 for 0.
FieldElement fieldInvert(const FieldElement& f);
// A square root of f when f is a square; false otherwise.
[[nodiscard]] bool fieldSqrt(const FieldElement& f, FieldElement& root);

bool fieldEqual(const FieldElement& f, const FieldElement& g);
// Whether the fully reduced value is odd.
bool fieldIsOdd(const FieldElement& f);

}  // namespace installer
