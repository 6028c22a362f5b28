// Checks a downloaded manifest's detached Ed25519 signature against the publisher's public key,
// and converts byte buffers to and from hexadecimal text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvrn {

// The bytes the text spells, two hexadecimal digits (either case) per byte; nothing for an odd
// length or a pair that is not hexadecimal. The empty text gives no bytes.
std::optional<std::string> hexDecode(std::string_view text);
// The bytes as lower-case hexadecimal text, without separators.
std::string hexEncode(std::string_view bytes);

class ManifestSignatureVerifier {
 public:
  // The key this build was configured with (64 hexadecimal characters), empty when none was:
  // then every signature is refused.
  static std::string_view builtInKey();

  explicit ManifestSignatureVerifier(std::string publicKeyHex = std::string(builtInKey()));

  // True when the signature (hexadecimal text) is the key's over exactly these bytes; each
  // refusal logs why.
  bool verify(std::string_view data, std::string_view signatureHex) const;

 private:
  std::string publicKeyHex_;
};

}  // namespace tvrn
