#include "base/Ed25519Verifier.h"

#include <openssl/evp.h>

#include <memory>

namespace tvrn::Ed25519Verifier {

Outcome verify(std::string_view message, std::string_view signature, std::string_view publicKey) {
  if (publicKey.size() != kPublicKeyBytes) return Outcome::invalidKey;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                  reinterpret_cast<const unsigned char*>(publicKey.data()),
                                  publicKey.size()),
      EVP_PKEY_free);
  if (!key) return Outcome::invalidKey;
  if (signature.size() != kSignatureBytes) return Outcome::invalidSignature;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return Outcome::invalidKey;
  }
  const int checked = EVP_DigestVerify(
      context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
      reinterpret_cast<const unsigned char*>(message.data()), message.size());
  return checked == 1 ? Outcome::valid : Outcome::invalidSignature;
}

}  // namespace tvrn::Ed25519Verifier
