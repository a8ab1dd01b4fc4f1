// Signing primitives through OpenSSL's libcrypto.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

#include "platform/signing.h"

namespace installer {
namespace {

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
struct CtxFree {
  void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using BnCtx = std::unique_ptr<BN_CTX, CtxFree>;

// The order of the Curve25519 base point, big-endian.
constexpr unsigned char kOrder[32] = {
    0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x14, 0xde, 0xf9, 0xde, 0xa2, 0xf7, 0x9c, 0xd6, 0x58, 0x12, 0x63, 0x1a, 0x5c, 0xf5, 0xd3, 0xed,
};

Bn order() { return Bn(BN_bin2bn(kOrder, sizeof kOrder, nullptr)); }
Bn fromLe(const std::uint8_t* bytes, std::size_t size) {
  return Bn(BN_lebin2bn(bytes, static_cast<int>(size), nullptr));
}
bool toLe(const Bn& bn, std::uint8_t out[32]) { return BN_bn2lebinpad(bn.get(), out, 32) == 32; }

EVP_PKEY* privateKey(const std::uint8_t seed[32]) {
  return EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
}

}  // namespace

bool ed25519PublicFromSeed(const std::uint8_t seed[32], std::uint8_t publicKey[32]) {
  EVP_PKEY* key = privateKey(seed);
  if (key == nullptr) return false;
  std::size_t size = 32;
  const bool ok = EVP_PKEY_get_raw_public_key(key, publicKey, &size) == 1 && size == 32;
  EVP_PKEY_free(key);
  return ok;
}

bool ed25519Sign(const std::uint8_t seed[32], const std::uint8_t* message, std::size_t messageSize,
                 std::uint8_t signature[64]) {
  EVP_PKEY* key = privateKey(seed);
  if (key == nullptr) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t size = 64;
  const bool ok = ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestSign(ctx, signature, &size, message, messageSize) == 1 && size == 64;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

bool randomBytes(std::uint8_t* out, std::size_t size) {
  return RAND_priv_bytes(out, static_cast<int>(size)) == 1;
}

bool scalarReduce(const std::uint8_t* in, std::size_t size, std::uint8_t out[32]) {
  BnCtx ctx(BN_CTX_new());
  Bn value = fromLe(in, size);
  Bn l = order();
  Bn result(BN_new());
  if (!ctx || !value || !l || !result) return false;
  return BN_nnmod(result.get(), value.get(), l.get(), ctx.get()) == 1 && toLe(result, out);
}

bool scalarNegate(const std::uint8_t x[32], std::uint8_t out[32]) {
  BnCtx ctx(BN_CTX_new());
  Bn value = fromLe(x, 32);
  Bn l = order();
  Bn zero(BN_new());
  Bn result(BN_new());
  if (!ctx || !value || !l || !zero || !result) return false;
  BN_zero(zero.get());
  return BN_mod_sub(result.get(), zero.get(), value.get(), l.get(), ctx.get()) == 1 &&
         toLe(result, out);
}

bool scalarSolve(const std::uint8_t r[32], const std::uint8_t k[32], const std::uint8_t x[32],
                 std::uint8_t out[32]) {
  BnCtx ctx(BN_CTX_new());
  Bn rb = fromLe(r, 32);
  Bn kb = fromLe(k, 32);
  Bn xb = fromLe(x, 32);
  Bn l = order();
  Bn difference(BN_new());
  Bn result(BN_new());
  if (!ctx || !rb || !kb || !xb || !l || !difference || !result) return false;
  Bn inverse(BN_mod_inverse(nullptr, xb.get(), l.get(), ctx.get()));
  if (!inverse) return false;
  return BN_mod_sub(difference.get(), rb.get(), kb.get(), l.get(), ctx.get()) == 1 &&
         BN_mod_mul(result.get(), difference.get(), inverse.get(), l.get(), ctx.get()) == 1 &&
         toLe(result, out);
}

}  // namespace installer
