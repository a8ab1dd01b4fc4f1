// Curve25519 (v^2 = u^3 + 486662 u^2 + u) by u-coordinates: the products the
// older signature scheme computes and checks. Variable time; meant for
// verification and for signing on the package builder's own machine.
#pragma once

#include <cstdint>

#include "package/field25519.h"

namespace installer {

// A point given by both coordinates.
struct CurvePoint {
  FieldElement u;
  FieldElement v;
};

// The point with this u-coordinate whose v-coordinate is the odd square root
// of u^3 + 486662 u^2 + u. False when there is none (u is not on the curve,
// or v would be 0).
[[nodiscard]] bool decompressOddPoint(const std::uint8_t u[32], CurvePoint& point);

// The base point B: u = 9 and its odd v-coordinate.
CurvePoint basePoint();

// u(P + Q) and u(P - Q) by the affine addition law. False when P = +-Q.
[[nodiscard]] bool sumAndDifference(const CurvePoint& p, const CurvePoint& q, FieldElement& sumU,
                                    FieldElement& differenceU);

// u(s*Q + k*B), with s and k taken as 256-bit little-endian integers (every
// bit counts) and Q decompressed by decompressOddPoint. The point at
// infinity encodes as 0. False when Q cannot be decompressed or is +-B.
[[nodiscard]] bool doubleScalarProduct(const std::uint8_t s[32], const std::uint8_t q[32],
                                       const std::uint8_t k[32], std::uint8_t out[32]);

// u(k*P) for the point(s) with u-coordinate u, k a 256-bit little-endian
// integer (no clamping).
void scalarProduct(const std::uint8_t k[32], const std::uint8_t u[32], std::uint8_t out[32]);

}  // namespace installer
