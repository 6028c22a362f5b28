#include "base/PercentEncoding.h"

namespace tvrn::PercentEncoding {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The three kinds share one rule: escaping only the unreserved set's complement is safe in a path
// segment, a query value and a form value alike, and every server decodes it the same way.
std::string escapeAllButUnreserved(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (isUnreserved(byte)) {
      encoded += ch;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0x0F];
    }
  }
  return encoded;
}

}  // namespace

std::string pathSegment(std::string_view text) {
  // Dots stay bare, and a segment of only "." or ".." would be folded into its neighbours when
  // the address is normalised.
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  return escapeAllButUnreserved(text);
}
std::string queryValue(std::string_view text) { return escapeAllButUnreserved(text); }
std::string formValue(std::string_view text) { return escapeAllButUnreserved(text); }

}  // namespace tvrn::PercentEncoding
