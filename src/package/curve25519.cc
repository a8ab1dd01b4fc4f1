#include "package/curve25519.h"

#include "base/ignore.h"

namespace installer {
namespace {

constexpr std::uint32_t kA = 486662;
constexpr std::uint32_t kAMinus2Over4 = 121665;

// A point in projective (X : Z) form; Z = 0 is the point at infinity.
struct Projective {
  FieldElement x;
  FieldElement z;
};

Projective infinity() { return {fieldFromInt(1), fieldFromInt(0)}; }
Projective affine(const FieldElement& u) { return {u, fieldFromInt(1)}; }

Projective doublePoint(const Projective& p) {
  const FieldElement sum = fieldSquare(fieldAdd(p.x, p.z));
  const FieldElement difference = fieldSquare(fieldSub(p.x, p.z));
  const FieldElement fourXZ = fieldSub(sum, difference);
  return {fieldMul(sum, difference),
          fieldMul(fourXZ, fieldAdd(sum, fieldMulSmall(fourXZ, kAMinus2Over4)))};
}

// P + R from u(P - R), which must be a finite point other than (0, 0). The
// sign of the difference does not matter: -D has the same u-coordinate.
Projective addPoints(const Projective& p, const Projective& r, const FieldElement& differenceU) {
  const FieldElement da = fieldMul(fieldSub(p.x, p.z), fieldAdd(r.x, r.z));
  const FieldElement cb = fieldMul(fieldAdd(p.x, p.z), fieldSub(r.x, r.z));
  return {fieldSquare(fieldAdd(da, cb)), fieldMul(differenceU, fieldSquare(fieldSub(da, cb)))};
}

FieldBytes toAffineBytes(const Projective& p) {
  return fieldToBytes(fieldMul(p.x, fieldInvert(p.z)));
}

int bitAt(const std::uint8_t scalar[32], int bit) { return (scalar[bit / 8] >> (bit % 8)) & 1; }

}  // namespace

bool decompressOddPoint(const std::uint8_t u[32], CurvePoint& point) {
  const FieldElement x = fieldFromBytes(u);
  const FieldElement rhs =
      fieldMul(x, fieldAdd(fieldMul(x, fieldAdd(x, fieldFromInt(kA))), fieldFromInt(1)));
  FieldElement v;
  if (!fieldSqrt(rhs, v)) return false;
  if (!fieldIsOdd(v)) v = fieldNeg(v);
  if (!fieldIsOdd(v)) return false;  // v = 0: no odd root
  point = {x, v};
  return true;
}

CurvePoint basePoint() {
  const std::uint8_t nine[32] = {9};
  CurvePoint b;
  // 9 is the u-coordinate of a point of the curve: this never fails.
  ignoreResult(decompressOddPoint(nine, b));
  return b;
}

bool sumAndDifference(const CurvePoint& p, const CurvePoint& q, FieldElement& sumU,
                      FieldElement& differenceU) {
  const FieldElement du = fieldSub(q.u, p.u);
  if (fieldEqual(du, fieldFromInt(0))) return false;
  const FieldElement inverse = fieldInvert(du);
  // u3 = lambda^2 - A - u1 - u2 with lambda the slope through both points.
  const FieldElement base = fieldAdd(fieldFromInt(kA), fieldAdd(p.u, q.u));
  const FieldElement sumSlope = fieldMul(fieldSub(q.v, p.v), inverse);
  const FieldElement differenceSlope = fieldMul(fieldNeg(fieldAdd(q.v, p.v)), inverse);
  sumU = fieldSub(fieldSquare(sumSlope), base);
  differenceU = fieldSub(fieldSquare(differenceSlope), base);
  return true;
}

bool doubleScalarProduct(const std::uint8_t s[32], const std::uint8_t q[32],
                         const std::uint8_t k[32], std::uint8_t out[32]) {
  CurvePoint qPoint;
  if (!decompressOddPoint(q, qPoint)) return false;
  FieldElement qPlusB;
  FieldElement qMinusB;
  if (!sumAndDifference(basePoint(), qPoint, qPlusB, qMinusB)) return false;
  const FieldElement bU = fieldFromInt(9);

  // Two-dimensional ladder over the bits of (s, k) from the top. With (a, b)
  // the prefixes read so far, square[i][j] holds (a + i)*Q + (b + j)*B. Each
  // point of the next square, (2a + x)*Q + (2b + y)*B with x, y in 0..2, is a
  // doubling of a point of this square (x, y both even) or the sum of two of
  // its points that differ by Q, B or Q + B.
  Projective square[2][2] = {{infinity(), affine(bU)}, {affine(qPoint.u), affine(qPlusB)}};
  for (int bit = 255; bit >= 0; --bit) {
    const int ds = bitAt(s, bit);
    const int dk = bitAt(k, bit);
    Projective next[2][2];
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) {
        const int x = ds + i;
        const int y = dk + j;
        if (x % 2 == 0 && y % 2 == 0) {
          next[i][j] = doublePoint(square[x / 2][y / 2]);
        } else if (y % 2 == 0) {
          next[i][j] = addPoints(square[1][y / 2], square[0][y / 2], qPoint.u);
        } else if (x % 2 == 0) {
          next[i][j] = addPoints(square[x / 2][1], square[x / 2][0], bU);
        } else {
          next[i][j] = addPoints(square[1][1], square[0][0], qPlusB);
        }
      }
    }
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) square[i][j] = next[i][j];
    }
  }
  const FieldBytes result = toAffineBytes(square[0][0]);
  for (int i = 0; i < 32; ++i) out[i] = result[i];
  return true;
}

void scalarProduct(const std::uint8_t k[32], const std::uint8_t u[32], std::uint8_t out[32]) {
  // One-dimensional ladder: low = m*P, high = (m + 1)*P for the prefix m.
  const FieldElement pU = fieldFromBytes(u);
  Projective low = infinity();
  Projective high = affine(pU);
  for (int bit = 255; bit >= 0; --bit) {
    const Projective sum = addPoints(high, low, pU);
    if (bitAt(k, bit)) {
      low = sum;
      high = doublePoint(high);
    } else {
      high = sum;
      low = doublePoint(low);
    }
  }
  const FieldBytes result = toAffineBytes(low);
  for (int i = 0; i < 32; ++i) out[i] = result[i];
}

}  // namespace installer
