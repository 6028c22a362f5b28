// Checks Ed25519 signatures against a raw 32-byte public key, for what the system accepts only
// when its publisher signed it (tool manifests, program updates).
#pragma once

#include <cstddef>
#include <string_view>

namespace tvrn::Ed25519Verifier {

inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;

// Why a check failed: the key cannot be a public key, or the signature does not match.
enum class Outcome { valid, invalidKey, invalidSignature };

// Checks the 64-byte signature over the exact message bytes.
Outcome verify(std::string_view message, std::string_view signature, std::string_view publicKey);

}  // namespace tvrn::Ed25519Verifier
