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
  const std::size_t start = out.size();
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = at + text.size();
  // Written a piece at a time into a buffer on the stack with room for the piece all escaped
  // (six bytes each) and eight bytes stored ahead, so nothing is measured first. Text with no
  // byte above 0x7F is UTF-8 as it stands; any other is checked once it is written.
  constexpr std::ptrdiff_t kPiece = 64;
  char buffer[kPiece * 6 + 8 + 2];
  if (text.size() > kPiece) out.reserve(start + text.size() + text.size() / 8 + 2);
  std::uint64_t seen = 0;  // every byte or'ed together, for its high bit
  char* to = buffer;
  *to++ = '"';
  for (;;) {
    const auto* const pieceEnd = end - at > kPiece ? at + kPiece : end;
    for (; pieceEnd - at >= 8; at += 8) {
      // The whole word is stored, then each escaped byte in turn: what follows it is stored
      // again one place on, so the plain bytes between are never handled one by one.
      const std::uint64_t word = load(at);
      seen |= word;
      std::memcpy(to, &word, sizeof word);
      int done = 0;
      for (std::uint64_t escaped = escapedBytes(word); escaped != 0; escaped &= escaped - 1) {
        const int next = std::countr_zero(escaped) / 8;
        to = writeEscaped(to + (next - done), at[next]);
        done = next + 1;
        if (done < 8) {
          const std::uint64_t rest = word >> (8 * done);
          std::memcpy(to, &rest, sizeof rest);
        }
      }
      to += 8 - done;
    }
    for (; at != pieceEnd; ++at) {
      seen |= *at;
      if (kEscapes[*at] == 0) {
        *to++ = static_cast<char>(*at);
      } else {
        to = writeEscaped(to, *at);
      }
    }
    if (at == end) break;
    out.append(buffer, static_cast<std::size_t>(to - buffer));
    to = buffer;
  }
  *to++ = '"';
  out.append(buffer, static_cast<std::size_t>(to - buffer));
  if ((seen & kHighBits) != 0 && !Utf8::isValid(text)) {
    out.resize(start);
    return false;
  }
  return true;
}

void appendInteger(std::string& out, std::int64_t value) { appendDecimal(out, value); }

void appendInteger(std::string& out, std::uint64_t value) { appendDecimal(out, value); }

void appendDouble(std::string& out, double value) { out += Json(value).dump(); }

void Writer::beforeValue() {
  if (keyWritten_) {
    keyWritten_ = false;
    return;
  }
  if (counts_.empty()) return;
  if (counts_.back()++ > 0) text_.push_back(',');
  if (indent_ >= 0) appendIndent(text_, indent_, static_cast<int>(counts_.size()));
}

void Writer::open(char bracket) {
  beforeValue();
  text_.push_back(bracket);
  counts_.push_back(0);
}

void Writer::close(char bracket) {
  const bool empty = counts_.back() == 0;
  counts_.pop_back();
  if (!empty && indent_ >= 0) appendIndent(text_, indent_, static_cast<int>(counts_.size()));
  text_.push_back(bracket);
}

bool Writer::key(std::string_view name) {
  beforeValue();
  if (!appendString(text_, name)) return false;
  text_ += indent_ >= 0 ? ": " : ":";
  keyWritten_ = true;
  return true;
}

bool Writer::string(std::string_view text) {
  beforeValue();
  return appendString(text_, text);
}

void Writer::integer(std::int64_t value) {
  beforeValue();
  appendInteger(text_, value);
}

std::optional<std::string> dump(const nlohmann::json& value, int indent) {
  std::string text;
  if (!write(text, value, indent, 0)) return std::nullopt;
  return text;
}

}  // namespace tvrn::JSONText
