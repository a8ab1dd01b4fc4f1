// Fuzz target: the field and curve arithmetic of the older signature scheme
// against a plain reference written with OpenSSL's BIGNUM (affine points,
// modular inverses; slow but obviously right). Limb arithmetic is where
// carries go wrong for rare values, which random tests seldom reach.
// Input: a, b (32 bytes each, field elements), s, k, q (32 bytes each, the
// scalars and the public u-coordinate of the double-scalar product).
#include <openssl/bn.h>
#include <openssl/err.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "package/curve25519.h"
#include "package/field25519.h"

namespace {

using installer::FieldBytes;
using installer::FieldElement;

struct BnFree {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

BN_CTX* ctx() {
  static BN_CTX* const shared = BN_CTX_new();
  return shared;
}

Bn newBn() { return Bn(BN_new()); }

const BIGNUM* prime() {
  static BIGNUM* const p = [] {
    BIGNUM* n = BN_new();
    BN_set_bit(n, 255);
    BN_sub_word(n, 19);
    return n;
  }();
  return p;
}

// Little-endian bytes to a number; bit 255 dropped when asked.
Bn fromBytes(const std::uint8_t bytes[32], bool dropTopBit) {
  std::uint8_t copy[32];
  std::memcpy(copy, bytes, 32);
  if (dropTopBit) copy[31] &= 0x7F;
  Bn n(BN_lebin2bn(copy, 32, nullptr));
  return n;
}

Bn reduced(const BIGNUM* n) {
  Bn r = newBn();
  BN_nnmod(r.get(), n, prime(), ctx());
  return r;
}

FieldBytes toBytes(const BIGNUM* n) {
  FieldBytes out{};
  Bn r = reduced(n);
  BN_bn2lebinpad(r.get(), out.data(), 32);
  return out;
}

Bn modMul(const BIGNUM* a, const BIGNUM* b) {
  Bn r = newBn();
  BN_mod_mul(r.get(), a, b, prime(), ctx());
  return r;
}
Bn modAdd(const BIGNUM* a, const BIGNUM* b) {
  Bn r = newBn();
  BN_mod_add(r.get(), a, b, prime(), ctx());
  return r;
}
Bn modSub(const BIGNUM* a, const BIGNUM* b) {
  Bn r = newBn();
  BN_mod_sub(r.get(), a, b, prime(), ctx());
  return r;
}
Bn modInverse(const BIGNUM* a) {
  Bn r = newBn();
  if (BN_mod_inverse(r.get(), a, prime(), ctx()) == nullptr) BN_zero(r.get());
  return r;
}
Bn word(unsigned long w) {
  Bn r = newBn();
  BN_set_word(r.get(), w);
  return r;
}

// An affine point of v^2 = u^3 + A u^2 + u, or the point at infinity.
struct Point {
  bool infinity = true;
  Bn u, v;
};

Point copyOf(const Point& p) {
  Point q;
  q.infinity = p.infinity;
  if (!p.infinity) {
    q.u = Bn(BN_dup(p.u.get()));
    q.v = Bn(BN_dup(p.v.get()));
  }
  return q;
}

Point add(const Point& p, const Point& q) {
  if (p.infinity) return copyOf(q);
  if (q.infinity) return copyOf(p);
  Bn lambda;
  if (BN_cmp(p.u.get(), q.u.get()) == 0) {
    Bn vSum = modAdd(p.v.get(), q.v.get());
    if (BN_is_zero(vSum.get())) return Point{};  // P + (-P)
    // Doubling: (3u^2 + 2Au + 1) / 2v.
    Bn u2 = modMul(p.u.get(), p.u.get());
    Bn top = modAdd(modMul(word(3).get(), u2.get()).get(),
                    modAdd(modMul(word(2 * 486662).get(), p.u.get()).get(), word(1).get()).get());
    lambda = modMul(top.get(), modInverse(modMul(word(2).get(), p.v.get()).get()).get());
  } else {
    lambda = modMul(modSub(q.v.get(), p.v.get()).get(),
                    modInverse(modSub(q.u.get(), p.u.get()).get()).get());
  }
  Point r;
  r.infinity = false;
  Bn l2 = modMul(lambda.get(), lambda.get());
  r.u = modSub(modSub(modSub(l2.get(), word(486662).get()).get(), p.u.get()).get(), q.u.get());
  r.v = modSub(modMul(lambda.get(), modSub(p.u.get(), r.u.get()).get()).get(), p.v.get());
  return r;
}

Point multiply(const std::uint8_t scalar[32], const Point& p) {
  Point result;
  for (int bit = 255; bit >= 0; --bit) {
    result = add(result, result);
    if ((scalar[bit / 8] >> (bit % 8)) & 1) result = add(result, p);
  }
  return result;
}

// The point with this u and the odd one of its v, when there is one (v != 0).
std::optional<Point> oddPoint(const BIGNUM* u) {
  Bn u2 = modMul(u, u);
  Bn rhs = modAdd(
      modAdd(modMul(u2.get(), u).get(), modMul(word(486662).get(), u2.get()).get()).get(), u);
  if (BN_is_zero(rhs.get())) return std::nullopt;
  Bn v = newBn();
  if (BN_mod_sqrt(v.get(), rhs.get(), prime(), ctx()) == nullptr) {
    ERR_clear_error();
    return std::nullopt;
  }
  // BN_mod_sqrt does not check its answer for every prime shape.
  if (BN_cmp(modMul(v.get(), v.get()).get(), rhs.get()) != 0) return std::nullopt;
  if (!BN_is_odd(v.get())) v = modSub(prime(), v.get());
  Point p;
  p.infinity = false;
  p.u = Bn(BN_dup(u));
  p.v = std::move(v);
  return p;
}

void checkField(const std::uint8_t a[32], const std::uint8_t b[32]) {
  const FieldElement fa = installer::fieldFromBytes(a);
  const FieldElement fb = installer::fieldFromBytes(b);
  Bn na = fromBytes(a, true);
  Bn nb = fromBytes(b, true);
  FUZZ_CHECK(installer::fieldToBytes(fa) == toBytes(na.get()));
  FUZZ_CHECK(installer::fieldToBytes(installer::fieldAdd(fa, fb)) ==
             toBytes(modAdd(na.get(), nb.get()).get()));
  FUZZ_CHECK(installer::fieldToBytes(installer::fieldSub(fa, fb)) ==
             toBytes(modSub(reduced(na.get()).get(), reduced(nb.get()).get()).get()));
  FUZZ_CHECK(installer::fieldToBytes(installer::fieldNeg(fa)) ==
             toBytes(modSub(word(0).get(), reduced(na.get()).get()).get()));
  const FieldElement product = installer::fieldMul(fa, fb);
  Bn nProduct = modMul(na.get(), nb.get());
  FUZZ_CHECK(installer::fieldToBytes(product) == toBytes(nProduct.get()));
  FUZZ_CHECK(installer::fieldToBytes(installer::fieldSquare(fa)) ==
             toBytes(modMul(na.get(), na.get()).get()));
  const std::uint32_t small = installer::decodeLe32(b) & 0xFFFFF;
  FUZZ_CHECK(installer::fieldToBytes(installer::fieldMulSmall(fa, small)) ==
             toBytes(modMul(na.get(), word(small).get()).get()));
  // Results feed further operations without overflowing their limbs.
  const FieldElement chained =
      installer::fieldMul(installer::fieldAdd(product, fa), installer::fieldSub(product, fb));
  FUZZ_CHECK(installer::fieldToBytes(chained) ==
             toBytes(modMul(modAdd(nProduct.get(), na.get()).get(),
                            modSub(nProduct.get(), reduced(nb.get()).get()).get())
                         .get()));
  FUZZ_CHECK(installer::fieldToBytes(installer::fieldInvert(fa)) ==
             toBytes(modInverse(reduced(na.get()).get()).get()));
  FUZZ_CHECK(installer::fieldIsOdd(fa) == (BN_is_odd(reduced(na.get()).get()) != 0));
  FUZZ_CHECK(installer::fieldEqual(fa, fb) == (toBytes(na.get()) == toBytes(nb.get())));

  FieldElement root;
  Bn check = newBn();
  const bool isSquare =
      BN_is_zero(reduced(na.get()).get()) ||
      BN_mod_sqrt(check.get(), reduced(na.get()).get(), prime(), ctx()) != nullptr;
  ERR_clear_error();
  const bool found = installer::fieldSqrt(fa, root);
  FUZZ_CHECK(found == isSquare);
  if (found) FUZZ_CHECK(installer::fieldEqual(installer::fieldSquare(root), fa));
}

void checkProduct(const std::uint8_t s[32], const std::uint8_t k[32], const std::uint8_t q[32]) {
  std::uint8_t out[32];
  const bool done = installer::doubleScalarProduct(s, q, k, out);
  Bn nq = fromBytes(q, true);
  Bn qReduced = reduced(nq.get());
  std::optional<Point> pointQ = oddPoint(qReduced.get());
  Bn nine = word(9);
  std::optional<Point> base = oddPoint(nine.get());
  FUZZ_CHECK(base.has_value());
  if (!pointQ.has_value() || BN_cmp(qReduced.get(), nine.get()) == 0) {
    FUZZ_CHECK(!done);
    return;
  }
  FUZZ_CHECK(done);
  const Point sum = add(multiply(s, *pointQ), multiply(k, *base));
  const FieldBytes expected = sum.infinity ? FieldBytes{} : toBytes(sum.u.get());
  FUZZ_CHECK(std::memcmp(out, expected.data(), 32) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> in(data, data + size);
  in.resize(5 * 32, 0);
  checkField(in.data(), in.data() + 32);
  // The product costs two scalar multiplications in the reference; try it
  // on a share of the inputs only.
  if (size >= 5 * 32 && (data[0] & 3) == 0)
    checkProduct(in.data() + 64, in.data() + 96, in.data() + 128);
  return 0;
}
