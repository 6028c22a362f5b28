#include "base/TextDecoding.h"

#include <array>
#include <utility>

#include "base/Utf8.h"

namespace tvrn::TextDecoding {
namespace {

// cp1252's 0x80-0x9F row; 0 marks the bytes without a character.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

template <typename Map>
std::optional<std::string> decodeSingleByte(std::string_view bytes, Map map) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const std::optional<char32_t> codePoint = map(static_cast<unsigned char>(c));
    if (!codePoint) return std::nullopt;
    appendUtf8(out, *codePoint);
  }
  return out;
}

std::optional<std::string> decodeUtf16(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  bool bigEndian = true;
  std::size_t pos = 0;
  const auto unit = [&](std::size_t at) -> char16_t {
    const auto a = static_cast<unsigned char>(bytes[at]);
    const auto b = static_cast<unsigned char>(bytes[at + 1]);
    return static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  if (bytes.size() >= 2) {
    const auto a = static_cast<unsigned char>(bytes[0]);
    const auto b = static_cast<unsigned char>(bytes[1]);
    if (a == 0xFE && b == 0xFF) pos = 2;
    if (a == 0xFF && b == 0xFE) bigEndian = false, pos = 2;
  }
  std::string out;
  out.reserve(bytes.size());
  while (pos < bytes.size()) {
    const char16_t first = unit(pos);
    pos += 2;
    if (first >= 0xDC00 && first <= 0xDFFF) return std::nullopt;
    if (first < 0xD800 || first > 0xDBFF) {
      appendUtf8(out, first);
      continue;
    }
    if (pos >= bytes.size()) return std::nullopt;
    const char16_t second = unit(pos);
    if (second < 0xDC00 || second > 0xDFFF) return std::nullopt;
    pos += 2;
    appendUtf8(out, 0x10000 + ((char32_t(first) - 0xD800) << 10) + (char32_t(second) - 0xDC00));
  }
  return out;
}

}  // namespace

std::optional<Encoding> fromName(std::string_view name) {
  const std::string key = lower(name);
  if (key == "utf8" || key == "utf-8") return Encoding::utf8;
  if (key == "cp1252" || key == "windows-1252") return Encoding::cp1252;
  if (key == "latin1" || key == "iso-8859-1") return Encoding::latin1;
  if (key == "ascii" || key == "us-ascii") return Encoding::ascii;
  if (key == "utf16" || key == "utf-16") return Encoding::utf16;
  return std::nullopt;
}

std::optional<char32_t> cp1252CodePoint(unsigned char byte) {
  if (byte < 0x80 || byte >= 0xA0) return byte;
  const char16_t codePoint = kCp1252High[byte - 0x80];
  if (codePoint == 0) return std::nullopt;
  return codePoint;
}

std::optional<std::string> decode(std::string_view bytes, Encoding encoding) {
  switch (encoding) {
    case Encoding::utf8:
      if (!Utf8::isValid(bytes)) return std::nullopt;
      return std::string(bytes);
    case Encoding::cp1252:
      return decodeSingleByte(bytes, cp1252CodePoint);
    case Encoding::latin1:
      return decodeSingleByte(bytes, [](unsigned char b) -> std::optional<char32_t> { return b; });
    case Encoding::ascii:
      return decodeSingleByte(bytes, [](unsigned char b) -> std::optional<char32_t> {
        if (b >= 0x80) return std::nullopt;
        return b;
      });
    case Encoding::utf16:
      return decodeUtf16(bytes);
  }
  return std::nullopt;
}

std::string fromLegacy(std::string_view bytes) {
  for (const auto encoding : {Encoding::utf8, Encoding::cp1252}) {
    if (auto text = decode(bytes, encoding)) return std::move(*text);
  }
  return decode(bytes, Encoding::latin1).value_or("");
}

void appendUtf8(std::string& out, char32_t codePoint) {
  if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

}  // namespace tvrn::TextDecoding
