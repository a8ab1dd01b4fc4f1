#include "package/field25519.h"

namespace installer {
namespace {

// Limb i starts at bit ceil(25.5 * i); even limbs hold 26 bits, odd ones 25.
constexpr int kPosition[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr int width(int i) { return (i % 2 == 0) ? 26 : 25; }

using Wide = std::array<std::int64_t, 10>;

// Carries with rounding so that every limb ends near zero, folding the carry
// out of the top limb back in as 2^255 = 19.
FieldElement carry(Wide h) {
  for (int i = 0; i < 10; ++i) {
    const int w = width(i);
    const std::int64_t c = (h[i] + (std::int64_t{1} << (w - 1))) >> w;
    h[i] -= c * (std::int64_t{1} << w);
    if (i < 9) {
      h[i + 1] += c;
    } else {
      h[0] += 19 * c;
    }
  }
  const std::int64_t c = (h[0] + (std::int64_t{1} << 25)) >> 26;
  h[0] -= c * (std::int64_t{1} << 26);
  h[1] += c;
  FieldElement f;
  for (int i = 0; i < 10; ++i) f.limb[i] = static_cast<std::int32_t>(h[i]);
  return f;
}

Wide widen(const FieldElement& f) {
  Wide h{};
  for (int i = 0; i < 10; ++i) h[i] = f.limb[i];
  return h;
}

// f^e for an exponent given as 32 little-endian bytes.
FieldElement power(const FieldElement& f, const std::array<std::uint8_t, 32>& e) {
  FieldElement result = fieldFromInt(1);
  for (int bit = 255; bit >= 0; --bit) {
    result = fieldSquare(result);
    if ((e[bit / 8] >> (bit % 8)) & 1) result = fieldMul(result, f);
  }
  return result;
}

// 32 bytes of 0xFF except the lowest and the highest.
constexpr std::array<std::uint8_t, 32> exponent(std::uint8_t low, std::uint8_t high) {
  std::array<std::uint8_t, 32> e{};
  for (auto& b : e) b = 0xFF;
  e[0] = low;
  e[31] = high;
  return e;
}

constexpr auto kPMinus2 = exponent(0xEB, 0x7F);       // 2^255 - 21
constexpr auto kPPlus3Over8 = exponent(0xFE, 0x0F);   // 2^252 - 2
constexpr auto kPMinus1Over4 = exponent(0xFB, 0x1F);  // 2^253 - 5

}  // namespace

FieldElement fieldFromInt(std::int32_t value) {
  Wide h{};
  h[0] = value;
  return carry(h);
}

FieldElement fieldFromBytes(const std::uint8_t bytes[32]) {
  Wide h{};
  for (int i = 0; i < 10; ++i) {
    const int first = kPosition[i] / 8;
    std::uint64_t window = 0;
    for (int b = 0; b < 5 && first + b < 32; ++b) {
      window |= std::uint64_t{bytes[first + b]} << (8 * b);
    }
    const std::uint64_t mask = (std::uint64_t{1} << width(i)) - 1;
    h[i] = static_cast<std::int64_t>((window >> (kPosition[i] % 8)) & mask);
  }
  return carry(h);
}

FieldBytes fieldToBytes(const FieldElement& f) {
  Wide h = widen(f);
  // Two passes of floor carries leave every limb in [0, 2^width): the first
  // bounds the fold-back from the top limb to +-19, the second absorbs it
  // (a borrow that runs through all limbs only starts from a negative limb 0,
  // which the pass has just raised by 2^26).
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 10; ++i) {
      const std::int64_t c = h[i] >> width(i);
      h[i] -= c * (std::int64_t{1} << width(i));
      if (i < 9) {
        h[i + 1] += c;
      } else {
        h[0] += 19 * c;
      }
    }
  }
  // Now 0 <= value < 2^255; subtract p once when value + 19 reaches 2^255.
  std::int64_t q = (h[0] + 19) >> 26;
  for (int i = 1; i < 10; ++i) q = (h[i] + q) >> width(i);
  h[0] += 19 * q;
  for (int i = 0; i < 9; ++i) {
    const std::int64_t c = h[i] >> width(i);
    h[i] -= c * (std::int64_t{1} << width(i));
    h[i + 1] += c;
  }
  h[9] &= (std::int64_t{1} << 25) - 1;

  FieldBytes out{};
  std::uint64_t acc = 0;
  int bits = 0;
  std::size_t n = 0;
  for (int i = 0; i < 10; ++i) {
    acc |= static_cast<std::uint64_t>(h[i]) << bits;
    bits += width(i);
    while (bits >= 8) {
      out[n++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
  out[n] = static_cast<std::uint8_t>(acc);  // the last 7 bits
  return out;
}

FieldElement fieldAdd(const FieldElement& f, const FieldElement& g) {
  Wide h{};
  for (int i = 0; i < 10; ++i) h[i] = std::int64_t{f.limb[i]} + g.limb[i];
  return carry(h);
}

FieldElement fieldSub(const FieldElement& f, const FieldElement& g) {
  Wide h{};
  for (int i = 0; i < 10; ++i) h[i] = std::int64_t{f.limb[i]} - g.limb[i];
  return carry(h);
}

FieldElement fieldNeg(const FieldElement& f) { return fieldSub(FieldElement{}, f); }

FieldElement fieldMul(const FieldElement& f, const FieldElement& g) {
  // A product of two odd limbs lands half a bit above the even position it
  // is counted at, hence the doubling; positions from 2^255 up wrap with 19.
  // With carried inputs (|limb| <= ~2^25) every sum stays far below 2^63.
  Wide low{};
  Wide high{};
  for (int i = 0; i < 10; ++i) {
    for (int j = 0; j < 10; ++j) {
      std::int64_t product = std::int64_t{f.limb[i]} * g.limb[j];
      if ((i & 1) && (j & 1)) product *= 2;
      if (i + j < 10) {
        low[i + j] += product;
      } else {
        high[i + j - 10] += product;
      }
    }
  }
  for (int k = 0; k < 10; ++k) low[k] += 19 * high[k];
  return carry(low);
}

FieldElement fieldSquare(const FieldElement& f) { return fieldMul(f, f); }

FieldElement fieldMulSmall(const FieldElement& f, std::uint32_t c) {
  Wide h{};
  for (int i = 0; i < 10; ++i) h[i] = std::int64_t{f.limb[i]} * std::int64_t{c};
  return carry(h);
}

FieldElement fieldInvert(const FieldElement& f) { return power(f, kPMinus2); }

bool fieldSqrt(const FieldElement& f, FieldElement& root) {
  // p = 5 mod 8: f^((p+3)/8) is a root of f or of -f; in the second case
  // multiplying by sqrt(-1) = 2^((p-1)/4) fixes it.
  FieldElement candidate = power(f, kPPlus3Over8);
  const FieldElement square = fieldSquare(candidate);
  if (fieldEqual(square, f)) {
    root = candidate;
    return true;
  }
  if (fieldEqual(square, fieldNeg(f))) {
    root = fieldMul(candidate, power(fieldFromInt(2), kPMinus1Over4));
    return true;
  }
  return false;
}

bool fieldEqual(const FieldElement& f, const FieldElement& g) {
  return fieldToBytes(f) == fieldToBytes(g);
}

bool fieldIsOdd(const FieldElement& f) { return (fieldToBytes(f)[0] & 1) != 0; }

}  // namespace installer
