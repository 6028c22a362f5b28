#include "base/Base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace tvrn::Base64 {
namespace {

// The "=" characters at the end (all of them when the text is nothing else).
std::size_t paddingOf(std::string_view text) {
  const std::size_t last = text.find_last_not_of('=');
  return last == std::string_view::npos ? text.size() : text.size() - last - 1;
}

bool isStandardSymbol(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// OpenSSL's block decoder skips surrounding white space and turns padding into zero bytes, so
// the text is checked here first and the padding's bytes are taken off afterwards.
bool isStrictStandard(std::string_view text) {
  if (text.empty()) return true;
  if (text.size() % 4 != 0) return false;
  const std::size_t padding = paddingOf(text);
  if (padding > 2) return false;
  return std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding),
                     isStandardSymbol);
}

}  // namespace

std::string encode(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(written));
  return text;
}

std::optional<std::string> decode(std::string_view text) {
  if (!isStrictStandard(text)) return std::nullopt;
  if (text.empty()) return std::string();
  std::string bytes(text.size() / 4 * 3, '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(written) - paddingOf(text));
  return bytes;
}

std::string encodeURL(std::string_view bytes) {
  std::string text = encode(bytes);
  text.erase(text.find_last_not_of('=') + 1);
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

std::optional<std::string> decodeURL(std::string_view text) {
  if (text.find_first_of("+/") != std::string_view::npos) return std::nullopt;
  std::string standard(text);
  std::replace(standard.begin(), standard.end(), '-', '+');
  std::replace(standard.begin(), standard.end(), '_', '/');
  if (standard.size() % 4 != 0) standard.append(4 - standard.size() % 4, '=');
  return decode(standard);
}

}  // namespace tvrn::Base64
