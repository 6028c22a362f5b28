// An Ed25519 key pair for a test, so signed documents can be made without the publisher's
// private key.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>
#include <string_view>

namespace tvrn::test {

class Ed25519KeyPair {
 public:
  Ed25519KeyPair() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free) {}
  // The same pair every time for the same 32-byte seed.
  explicit Ed25519KeyPair(std::string_view seed)
      : key_(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                          reinterpret_cast<const unsigned char*>(seed.data()),
                                          seed.size()),
             EVP_PKEY_free) {}

  // The raw 32-byte public key.
  std::string publicKey() const {
    std::string raw(32, '\0');
    std::size_t length = raw.size();
    EVP_PKEY_get_raw_public_key(key_.get(), reinterpret_cast<unsigned char*>(raw.data()), &length);
    return raw;
  }

  // The 64-byte signature over the message.
  std::string sign(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get());
    std::string signature(64, '\0');
    std::size_t length = signature.size();
    EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                   reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return signature;
  }

 private:
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_;
};

}  // namespace tvrn::test
