// Hashes and Ed25519 verification through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include "platform/ed25519.h"
#include "platform/hash.h"

namespace installer {
namespace {

class EvpHasher final : public Hasher {
 public:
  explicit EvpHasher(Kind kind)
      : md_(kind == Kind::kSha1 ? EVP_sha1() : EVP_sha256()), ctx_(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(ctx_, md_, nullptr);
  }
  ~EvpHasher() override { EVP_MD_CTX_free(ctx_); }
  EvpHasher(const EvpHasher&) = delete;
  EvpHasher& operator=(const EvpHasher&) = delete;

  void update(const void* data, std::size_t size) override { EVP_DigestUpdate(ctx_, data, size); }
  void finish(std::uint8_t* out) override {
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx_, out, &size);
    EVP_DigestInit_ex(ctx_, md_, nullptr);
  }
  std::size_t digestSize() const override { return static_cast<std::size_t>(EVP_MD_size(md_)); }

 private:
  const EVP_MD* md_;
  EVP_MD_CTX* ctx_;
};

}  // namespace

std::unique_ptr<Hasher> Hasher::create(Kind kind) { return std::make_unique<EvpHasher>(kind); }

bool ed25519Verify(const std::uint8_t publicKey[32], const std::uint8_t* message,
                   std::size_t messageSize, const std::uint8_t signature[64]) {
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, 32);
  if (key == nullptr) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool valid = false;
  if (ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1) {
    valid = EVP_DigestVerify(ctx, signature, 64, message, messageSize) == 1;
  }
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return valid;
}

}  // namespace installer
