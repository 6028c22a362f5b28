#include "platform/Utf8.h"

namespace tvrn::Utf8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Scan {
  std::size_t length = 0;  // of the sequence, or of the ill-formed piece to replace
  bool wellFormed = false;
  char32_t codePoint = 0;
};

// The lead byte fixes the length and the range of the second byte; the range is what rules out
// overlong forms, surrogates and code points past U+10FFFF.
Scan scan(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, true, lead};
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  char32_t codePoint = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, codePoint = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, codePoint = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false, 0};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return {i, false, 0};
    const unsigned char next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return {i, false, 0};
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  return {length, true, codePoint};
}

}  // namespace

std::size_t sequenceLength(std::string_view bytes) {
  char32_t codePoint = 0;
  return decode(bytes, codePoint);
}

std::size_t decode(std::string_view bytes, char32_t& codePoint) {
  if (bytes.empty()) return 0;
  const Scan found = scan(bytes);
  if (!found.wellFormed) return 0;
  codePoint = found.codePoint;
  return found.length;
}

bool isValid(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t length = sequenceLength(bytes);
    if (length == 0) return false;
    bytes.remove_prefix(length);
  }
  return true;
}

std::string replaceInvalid(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const Scan found = scan(bytes);
    text.append(found.wellFormed ? bytes.substr(0, found.length) : kReplacement);
    bytes.remove_prefix(found.length);
  }
  return text;
}

std::string firstCodePoints(std::string_view text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t taken = 0; taken < count && at < text.size(); ++taken) {
    ++at;
    while (at < text.size() && isContinuation(static_cast<unsigned char>(text[at]))) ++at;
  }
  return std::string(text.substr(0, at));
}

std::string lastCodePoints(std::string_view text, std::size_t count) {
  std::size_t at = text.size();
  for (std::size_t taken = 0; taken < count && at > 0; ++taken) {
    --at;
    while (at > 0 && isContinuation(static_cast<unsigned char>(text[at]))) --at;
  }
  return std::string(text.substr(at));
}

bool isWhiteSpace(char32_t codePoint) {
  return (codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x20 || codePoint == 0x85 ||
         codePoint == 0xA0 || codePoint == 0x1680 || (codePoint >= 0x2000 && codePoint <= 0x200A) ||
         codePoint == 0x2028 || codePoint == 0x2029 || codePoint == 0x202F || codePoint == 0x205F ||
         codePoint == 0x3000;
}

}  // namespace tvrn::Utf8
