// Base64 in its standard and URL-safe alphabets, through OpenSSL. Decoding is strict: a character
// outside the alphabet, misplaced padding or a length that cannot be Base64 makes it fail.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvrn::Base64 {

// Standard alphabet with "=" padding.
std::string encode(std::string_view bytes);
std::optional<std::string> decode(std::string_view text);

// URL-safe alphabet ("-" and "_"), written without padding; decoding takes it with or without.
std::string encodeURL(std::string_view bytes);
std::optional<std::string> decodeURL(std::string_view text);

}  // namespace tvrn::Base64
