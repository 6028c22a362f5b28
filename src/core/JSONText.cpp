#include "core/JSONText.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "base/Utf8.h"

namespace tvrn::JSONText {
namespace {

using Json = nlohmann::json;

// What a byte becomes inside a string: 0 for itself, else the character after the backslash
// ('u' for the \u00xx form of the other control characters).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

constexpr std::uint64_t kEachByte = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;

// The high bit of each byte below 0x20. Each byte is tested on its own: no sum carries into the
// next byte.
std::uint64_t controlBytes(std::uint64_t word) {
  return ~(((word & kLowBits) + kEachByte * (0x80 - 0x20)) | word) & kHighBits;
}

// The high bit of each byte that is zero, likewise.
std::uint64_t zeroBytes(std::uint64_t word) {
  return ~(((word & kLowBits) + kLowBits) | word) & kHighBits;
}

// The high bit of each byte written escaped: a control character, a quotation mark, a backslash.
std::uint64_t escapedBytes(std::uint64_t word) {
  return controlBytes(word) | zeroBytes(word ^ (kEachByte * '"')) |
         zeroBytes(word ^ (kEachByte * '\\'));
}

// How many bytes longer each byte is written.
constexpr std::array<unsigned char, 256> kLengthened = [] {
  std::array<unsigned char, 256> table{};
  for (std::size_t c = 0; c < table.size(); ++c) {
    table[c] = kEscapes[c] == 0 ? 0 : kEscapes[c] == 'u' ? 5 : 1;
  }
  return table;
}();

char* writeEscaped(char* to, unsigned char byte) {
  constexpr char kHex[] = "0123456789abcdef";
  const char escape = kEscapes[byte];
  *to++ = '\\';
  *to++ = escape;
  if (escape == 'u') {
    *to++ = '0';
    *to++ = '0';
    *to++ = kHex[byte >> 4];
    *to++ = kHex[byte & 0xF];
  }
  return to;
}

std::uint64_t load(const unsigned char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void appendIndent(std::string& out, int indent, int depth) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(depth), ' ');
}

bool write(std::string& out, const Json& value, int indent, int depth) {
  switch (value.type()) {
    case Json::value_t::object: {
      const auto& members = value.get_ref<const Json::object_t&>();
      if (members.empty()) {
        out += "{}";
        return true;
      }
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : members) {
        if (!first) out.push_back(',');
        first = false;
        if (indent >= 0) appendIndent(out, indent, depth + 1);
        if (!appendString(out, key)) return false;
        out += indent >= 0 ? ": " : ":";
        if (!write(out, member, indent, depth + 1)) return false;
      }
      if (indent >= 0) appendIndent(out, indent, depth);
      out.push_back('}');
      return true;
    }
    case Json::value_t::array: {
      const auto& elements = value.get_ref<const Json::array_t&>();
      if (elements.empty()) {
        out += "[]";
        return true;
      }
      out.push_back('[');
      bool first = true;
      for (const auto& element : elements) {
        if (!first) out.push_back(',');
        first = false;
        if (indent >= 0) appendIndent(out, indent, depth + 1);
        if (!write(out, element, indent, depth + 1)) return false;
      }
      if (indent >= 0) appendIndent(out, indent, depth);
      out.push_back(']');
      return true;
    }
    case Json::value_t::string:
      return appendString(out, value.get_ref<const std::string&>());
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return true;
    case Json::value_t::null:
      out += "null";
      return true;
    case Json::value_t::number_integer:
      appendInteger(out, value.get<std::int64_t>());
      return true;
    case Json::value_t::number_unsigned:
      appendInteger(out, value.get<std::uint64_t>());
      return true;
    case Json::value_t::number_float:
      appendDouble(out, value.get<double>());
      return true;
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return false;
}

}  // namespace

bool appendString(std::string& out, std::string_view text) {
  if (!Utf8::isValid(text)) return false;
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = at + text.size();
  // Measured first, so the text is written in place, eight bytes at a time where it can be.
  std::size_t length = text.size() + 2;
  const unsigned char* measured = at;
  for (; end - measured >= 8; measured += 8) {
    const std::uint64_t word = load(measured);
    // One for each escaped byte: the high bits brought down and summed in the top byte.
    length += (((escapedBytes(word) >> 7) * kEachByte) >> 56);
    // Four more for each control character written \u00xx.
    for (std::uint64_t controls = controlBytes(word); controls != 0; controls &= controls - 1) {
      length += kLengthened[measured[std::countr_zero(controls) / 8]] - 1;
    }
  }
  for (; measured != end; ++measured) length += kLengthened[*measured];

  const std::size_t start = out.size();
  out.resize(start + length);
  char* to = out.data() + start;
  *to++ = '"';
  // Each byte left is written as one byte at least, so eight can always be written ahead.
  while (end - at >= 8) {
    const std::uint64_t word = load(at);
    std::memcpy(to, &word, sizeof word);
    const std::uint64_t escaped = escapedBytes(word);
    if (escaped == 0) {
      to += 8, at += 8;
      continue;
    }
    const int plain = std::countr_zero(escaped) / 8;
    to = writeEscaped(to + plain, at[plain]);
    at += plain + 1;
  }
  for (; at != end; ++at) {
    if (kEscapes[*at] == 0) {
      *to++ = static_cast<char>(*at);
    } else {
      to = writeEscaped(to, *at);
    }
  }
  *to = '"';
  return true;
}

void appendInteger(std::string& out, std::int64_t value) { appendDecimal(out, value); }

void appendInteger(std::string& out, std::uint64_t value) { appendDecimal(out, value); }

void appendDouble(std::string& out, double value) { out += Json(value).dump(); }

std::optional<std::string> dump(const nlohmann::json& value, int indent) {
  std::string text;
  if (!write(text, value, indent, 0)) return std::nullopt;
  return text;
}

}  // namespace tvrn::JSONText
