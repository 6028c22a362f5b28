// Message digests through OpenSSL, as the system compares them with published ones.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::Digest {

// The SHA-256 of the bytes in lower-case hexadecimal.
std::string sha256Hex(std::string_view bytes);

}  // namespace tvrn::Digest
