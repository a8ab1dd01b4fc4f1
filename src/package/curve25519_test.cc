#include "package/curve25519.h"

#include <gtest/gtest.h>

#include "package/field25519.h"
#include "support/hex.h"

namespace installer {
namespace {

using testing_support::fromHex;
using testing_support::toHex;

FieldElement fe(const std::string& hex) { return fieldFromBytes(fromHex(hex).data()); }
std::string hexOf(const FieldElement& f) { return toHex(fieldToBytes(f)); }

const std::string kDevLegacyPublic =
    "5dd6d85d4f596860d7685c488559f44b9bb2ab63645b6b261fbb677a76b1cf68";

struct FieldCase {
  const char* a;
  const char* b;
  const char* product;
  const char* sum;
  const char* difference;
  const char* inverseOfA;
};

// Computed with arbitrary-precision integers.
const FieldCase kFieldCases[] = {
    {"38b4e652e44da7f2370d9e260e27136550a4a3a6d07f5c0c332f8b1212841f69",
     "2b902f8911e81818f8c99d5d5d9831957504d90e945de2e8f54ee781e63a7b1b",
     "1dd55beefc5da817fc4ba68639834f2f3e133c3058b7aaa8988665d89aebe60f",
     "764416dcf535c00a30d73b846bbf44fac5a87cb564dd3ef5287e7294f8be9a04",
     "0d24b7c9d2658eda3f4300c9b08ee1cfda9fca973c227a233de0a3902b49a44d",
     "80b59f83ce3d2630be7bcd6a8e60032a7fcfd54e42ee64fb45885a7295ba5b23"},
    {"d85099095aa300165a67036f9b540d6b8f0be21124179c3dd9f7381767b78846",
     "264aad6cb6dd210faf94acd3cf92c190237cb11f5d108cf2593026399c59b850",
     "99d8eee4ca6c1795a4537b9b9d45feeed00d5a33e66778aeab9b4bffabfc5b71",
     "119b46761081222509fcaf426be7cefbb28793318127283033285f5003114117",
     "9f06ec9ca3c5de06abd2569bcbc14bda6b8f30f2c606104b7fc712deca5dd075",
     "e1be68650ba79e6d4de2c3f88bb5775400b16ceeff1ed166b57f7b0f57096f17"},
    {"b5769fa0f1483f95a90d9df2f130d60fcf04bd93f50ae69514da8c654ef15806",
     "ccdaebf990d19838b0d7ec0b3e97818ecb96c4dbadbe172296d5234a2159a635",
     "2f962d01578ec38da346911d3ab38233accc035303ba3f3dda27f1f59560d91d",
     "81518b9a821ad8cd59e589fe2fc8579e9a9b816fa3c9fdb7aaafb0af6f4aff3b",
     "d69bb3a66077a65cf935b0e6b3995481036ef8b7474cce737e04691b2d98b250",
     "656377a70f9e16eac82ffa671d44a5580603584bea188bfa825ff6696a7f1f7a"},
};

TEST(FieldTest, OperationsMatchBigIntegerResults) {
  for (const FieldCase& c : kFieldCases) {
    SCOPED_TRACE(c.a);
    const FieldElement a = fe(c.a);
    const FieldElement b = fe(c.b);
    EXPECT_EQ(hexOf(a), c.a);
    EXPECT_EQ(hexOf(fieldMul(a, b)), c.product);
    EXPECT_EQ(hexOf(fieldAdd(a, b)), c.sum);
    EXPECT_EQ(hexOf(fieldSub(a, b)), c.difference);
    EXPECT_EQ(hexOf(fieldInvert(a)), c.inverseOfA);
    EXPECT_EQ(hexOf(fieldSquare(a)), hexOf(fieldMul(a, a)));
    EXPECT_EQ(hexOf(fieldMulSmall(a, 486662)), hexOf(fieldMul(a, fieldFromInt(486662))));
    FieldElement root;
    ASSERT_TRUE(fieldSqrt(fieldSquare(a), root));
    EXPECT_TRUE(fieldEqual(root, a) || fieldEqual(root, fieldNeg(a)));
  }
}

TEST(FieldTest, EncodingIsFullyReduced) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      // p itself, p + 1, 2^255 - 1 and a set bit 255 (ignored).
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       "0000000000000000000000000000000000000000000000000000000000000000"},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       "0100000000000000000000000000000000000000000000000000000000000000"},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       "1200000000000000000000000000000000000000000000000000000000000000"},
      {"0500000000000000000000000000000000000000000000000000000000000080",
       "0500000000000000000000000000000000000000000000000000000000000000"},
      // p - 1 stays as it is.
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
  };
  for (const auto& c : cases) EXPECT_EQ(hexOf(fe(c.in)), c.out) << c.in;
  EXPECT_EQ(hexOf(fieldSub(fieldFromInt(0), fieldFromInt(1))),
            "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
  EXPECT_EQ(hexOf(fieldInvert(fieldFromInt(0))), hexOf(fieldFromInt(0)));
}

TEST(FieldTest, SquareRootOfNonSquareFails) {
  FieldElement root;
  EXPECT_FALSE(fieldSqrt(fieldFromInt(2), root));  // 2 is not a square modulo p
  ASSERT_TRUE(fieldSqrt(fieldFromInt(-1), root));  // -1 is
  EXPECT_TRUE(fieldEqual(fieldSquare(root), fieldFromInt(-1)));
}

TEST(CurveTest, BasePointHasTheStandardOddCoordinate) {
  const CurvePoint b = basePoint();
  EXPECT_EQ(hexOf(b.u), "0900000000000000000000000000000000000000000000000000000000000000");
  // v of the base point from RFC 7748, little-endian.
  EXPECT_EQ(hexOf(b.v), "d9d3ce7ea2c5e929b2617c6d7e4d3d924cd148772cdd1ee0b486a0b8a119ae20");
}

TEST(CurveTest, DecompressionRefusesPointsOffTheCurve) {
  CurvePoint point;
  std::uint8_t u[32] = {2};  // 2^3 + 486662 * 4 + 2 is not a square
  EXPECT_FALSE(decompressOddPoint(u, point));
  std::uint8_t zero[32] = {};
  EXPECT_FALSE(decompressOddPoint(zero, point));  // (0, 0) has no odd root
  ASSERT_TRUE(decompressOddPoint(fromHex(kDevLegacyPublic).data(), point));
  EXPECT_TRUE(fieldIsOdd(point.v));
}

struct ProductCase {
  const char* s;
  const char* k;
  std::string expected;
};

TEST(CurveTest, DoubleScalarProductReferenceValues) {
  const ProductCase cases[] = {
      {"01", "00", kDevLegacyPublic},
      {"00", "01", "0900000000000000000000000000000000000000000000000000000000000000"},
      {"00", "00", "0000000000000000000000000000000000000000000000000000000000000000"},
      {"02", "03", "3903795860e6fa946817cffc17e8ddb23f74ba86d56345ac107f5b34c0877912"},
      {"043a718774c572bd8a25adbeb1bfcd5c0256ae11cecf9f9c3f925d0e52beaf89",
       "8254c329a92850f6d539dd376f4816ee2764517da5e0235514af433164480d7a",
       "e4b0bd5770634bde3bd84e40243387edf04a6317ef8edc7524811afc332c291f"},
  };
  const auto q = fromHex(kDevLegacyPublic);
  for (const ProductCase& c : cases) {
    std::uint8_t s[32] = {};
    std::uint8_t k[32] = {};
    const auto sBytes = fromHex(c.s);
    const auto kBytes = fromHex(c.k);
    std::copy(sBytes.begin(), sBytes.end(), s);
    std::copy(kBytes.begin(), kBytes.end(), k);
    std::uint8_t out[32];
    ASSERT_TRUE(doubleScalarProduct(s, q.data(), k, out));
    EXPECT_EQ(toHex(out, 32), c.expected) << "s=" << c.s << " k=" << c.k;
  }
}

TEST(CurveTest, LadderAgreesWithSumDifferenceAndSingleLadder) {
  const auto q = fromHex(kDevLegacyPublic);
  CurvePoint qPoint;
  ASSERT_TRUE(decompressOddPoint(q.data(), qPoint));
  FieldElement sum;
  FieldElement difference;
  ASSERT_TRUE(sumAndDifference(basePoint(), qPoint, sum, difference));

  std::uint8_t one[32] = {1};
  std::uint8_t out[32];
  ASSERT_TRUE(doubleScalarProduct(one, q.data(), one, out));
  EXPECT_EQ(toHex(out, 32), hexOf(sum));
  // B has order l, so (l - 1) * B = -B and Q + (l - 1) * B = Q - B.
  const auto orderMinusOne =
      fromHex("ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  ASSERT_TRUE(doubleScalarProduct(one, q.data(), orderMinusOne.data(), out));
  EXPECT_EQ(toHex(out, 32), hexOf(difference));

  // With s = 0 the two-dimensional ladder is a plain multiple of B, using
  // every one of the 256 bits.
  const auto k = fromHex("8254c329a92850f6d539dd376f4816ee2764517da5e0235514af433164480dfa");
  std::uint8_t zero[32] = {};
  std::uint8_t nine[32] = {9};
  std::uint8_t single[32];
  ASSERT_TRUE(doubleScalarProduct(zero, q.data(), k.data(), out));
  scalarProduct(k.data(), nine, single);
  EXPECT_EQ(toHex(out, 32), toHex(single, 32));
}

TEST(CurveTest, SingleLadderMatchesX25519Vector) {
  // RFC 7748 section 5.2, first vector, with the scalar clamped by hand.
  auto k = fromHex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
  k[0] &= 248;
  k[31] = static_cast<std::uint8_t>((k[31] & 127) | 64);
  const auto u = fromHex("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
  std::uint8_t out[32];
  scalarProduct(k.data(), u.data(), out);
  EXPECT_EQ(toHex(out, 32), "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
}

TEST(CurveTest, ProductRefusesBadKeys) {
  std::uint8_t one[32] = {1};
  std::uint8_t out[32];
  std::uint8_t offCurve[32] = {2};
  EXPECT_FALSE(doubleScalarProduct(one, offCurve, one, out));
  std::uint8_t base[32] = {9};  // Q = B leaves B - Q at infinity
  EXPECT_FALSE(doubleScalarProduct(one, base, one, out));
}

}  // namespace
}  // namespace installer
