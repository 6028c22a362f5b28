#include "manifest/ManifestSignatureVerifier.h"

#include "base/Ed25519Verifier.h"
#include "core/Logger.h"
#include "manifest/ManifestLoaderTexts.h"

#ifndef TVRN_MANIFEST_PUBLIC_KEY
#define TVRN_MANIFEST_PUBLIC_KEY ""
#endif

namespace tvrn {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t at = 0; at < text.size(); at += 2) {
    const int high = hexDigit(text[at]);
    const int low = hexDigit(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

std::string hexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text.push_back(kDigits[value >> 4]);
    text.push_back(kDigits[value & 0x0f]);
  }
  return text;
}

std::string_view ManifestSignatureVerifier::builtInKey() { return TVRN_MANIFEST_PUBLIC_KEY; }

ManifestSignatureVerifier::ManifestSignatureVerifier(std::string publicKeyHex)
    : publicKeyHex_(std::move(publicKeyHex)) {}

bool ManifestSignatureVerifier::verify(std::string_view data, std::string_view signatureHex) const {
  namespace Texts = ManifestLoaderTexts;
  const auto key = hexDecode(publicKeyHex_);
  const auto signature = hexDecode(signatureHex);
  if (!key || !signature) {
    Logger::warn(Texts::kCategory, Texts::kHexDecodeFailed);
    return false;
  }
  switch (Ed25519Verifier::verify(data, *signature, *key)) {
    case Ed25519Verifier::Outcome::valid:
      return true;
    case Ed25519Verifier::Outcome::invalidKey:
      Logger::warn(Texts::kCategory, Texts::kInvalidKey);
      return false;
    case Ed25519Verifier::Outcome::invalidSignature:
      break;
  }
  Logger::warn(Texts::kCategory, Texts::kVerificationFailed);
  return false;
}

}  // namespace tvrn
