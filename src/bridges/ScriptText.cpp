#include "bridges/ScriptText.h"

namespace tvrn::ScriptText {
namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point starting at `at` of valid UTF-8 text, and where the next one starts.
char32_t decodeAt(std::string_view text, std::size_t at, std::size_t& next) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t point = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  }
  next = at + length;
  return point;
}

// Unicode's White_Space characters: what the platform trims as white space and line breaks.
bool isWhiteSpace(char32_t point) {
  return (point >= 0x09 && point <= 0x0D) || point == 0x20 || point == 0x85 || point == 0xA0 ||
         point == 0x1680 || (point >= 0x2000 && point <= 0x200A) || point == 0x2028 ||
         point == 0x2029 || point == 0x202F || point == 0x205F || point == 0x3000;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    std::size_t length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      minimum = 0x10000;
    } else {
      return false;
    }
    if (bytes.size() - at < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      if (!isContinuation(static_cast<unsigned char>(bytes[at + i]))) return false;
    }
    std::size_t next = 0;
    const char32_t point = decodeAt(bytes, at, next);
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    at = next;
  }
  return true;
}

std::string decodeTrimmed(std::string_view bytes) {
  if (!isValidUTF8(bytes)) return {};
  std::size_t begin = 0;
  std::size_t end = bytes.size();
  // Find the first character that is not white space.
  while (begin < end) {
    std::size_t next = 0;
    if (!isWhiteSpace(decodeAt(bytes, begin, next))) break;
    begin = next;
  }
  // Walk back over trailing white space, one character at a time.
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && isContinuation(static_cast<unsigned char>(bytes[start]))) --start;
    std::size_t next = 0;
    if (!isWhiteSpace(decodeAt(bytes, start, next))) break;
    end = start;
  }
  return std::string(bytes.substr(begin, end - begin));
}

std::string firstCharacters(std::string_view text, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t taken = 0; taken < count && at < text.size(); ++taken) {
    ++at;
    while (at < text.size() && isContinuation(static_cast<unsigned char>(text[at]))) ++at;
  }
  return std::string(text.substr(0, at));
}

std::string lastCharacters(std::string_view text, std::size_t count) {
  std::size_t at = text.size();
  for (std::size_t taken = 0; taken < count && at > 0; ++taken) {
    --at;
    while (at > 0 && isContinuation(static_cast<unsigned char>(text[at]))) --at;
  }
  return std::string(text.substr(at));
}

}  // namespace tvrn::ScriptText
