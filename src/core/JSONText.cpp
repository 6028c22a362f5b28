#include "core/JSONText.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Bytes looked at together: a block's escaped bytes, and those above 0x7F, are found at once.
constexpr std::size_t kBlock = 16;

// One bit per byte of the block (bit i for at[i]): `escaped` for those written escaped (a control
// character, a quotation mark, a backslash), `high` for those above 0x7F.
struct BlockMasks {
  std::uint32_t escaped;
  std::uint32_t high;
};

#if defined(__SSE2__)
BlockMasks masksOf(const unsigned char* at) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i lastControl = _mm_set1_epi8(0x1F);
  // Unsigned: max(b, 0x1F) == 0x1F only for b <= 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, lastControl), lastControl);
  const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
  const __m128i escaped = _mm_or_si128(control, _mm_or_si128(quote, backslash));
  return {static_cast<std::uint32_t>(_mm_movemask_epi8(escaped)),
          static_cast<std::uint32_t>(_mm_movemask_epi8(bytes))};
}
#else
BlockMasks masksOf(const unsigned char* at) {
  BlockMasks masks{0, 0};
  for (std::size_t i = 0; i < kBlock; ++i) {
    if (kEscapes[at[i]] != 0) masks.escaped |= 1U << i;
    if (at[i] >= 0x80) masks.high |= 1U << i;
  }
  return masks;
}
#endif

char* writeEscaped(char* to, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape = kEscapes[byte];
  *to++ = '\\';
  *to++ = escape;
  if (escape == 'u') [[unlikely]] {
    *to++ = '0';
    *to++ = '0';
    *to++ = kHex[byte >> 4];
    *to++ = kHex[byte & 0xF];
  }
  return to;
}

// Copies fewer than a block's bytes without a call: two overlapping loads and stores each.
void copyShort(unsigned char* to, const unsigned char* from, std::size_t length) {
  if (length >= 8) {
    std::uint64_t head = 0, tail = 0;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + length - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + length - 8, &tail, 8);
  } else if (length >= 4) {
    std::uint32_t head = 0, tail = 0;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + length - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + length - 4, &tail, 4);
  } else {
    for (std::size_t i = 0; i < length; ++i) to[i] = from[i];
  }
}

// Whether the text is shorter than a block and written as it is: nothing to escape, no byte
// above 0x7F.
bool isShortAndPlain(std::string_view text) {
  if (text.size() >= kBlock) return false;
  alignas(16) unsigned char padded[kBlock];
  std::memset(padded, 'a', sizeof padded);
  copyShort(padded, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  const BlockMasks masks = masksOf(padded);
  return ((masks.escaped | masks.high) & ((1U << text.size()) - 1)) == 0;
}

template <typename Integer>
void appendDecimal(std::string& out, Integer value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

// A line end and the indentation of the usual depths, appended in one piece.
constexpr std::string_view kLine =
    "\n                                                                ";

void appendIndent(std::string& out, int indent, int depth) {
  const std::size_t width = static_cast<std::size_t>(indent) * static_cast<std::size_t>(depth);
  if (width < kLine.size()) {
    out.append(kLine.data(), width + 1);
    return;
  }
  out.push_back('\n');
  out.append(width, ' ');
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
  if (isShortAndPlain(text)) {
    // A short text, such as a key, goes out as it is, quoted, in one append.
    char quoted[kBlock + 2];
    quoted[0] = '"';
    copyShort(reinterpret_cast<unsigned char*>(quoted) + 1, at, text.size());
    quoted[text.size() + 1] = '"';
    out.append(quoted, text.size() + 2);
    return true;
  }
  // Written a piece at a time into a buffer on the stack with room for the piece all escaped (six
  // bytes each) and a block stored ahead, so nothing is measured first. Text with no byte above
  // 0x7F is UTF-8 as it stands; any other is checked once it is written, from its first such
  // byte, since the ASCII before it is well-formed whatever follows.
  constexpr std::size_t kPiece = 256;
  char buffer[kPiece * 6 + kBlock + 2];
  if (text.size() > kPiece) out.reserve(start + text.size() + text.size() / 8 + 2);
  const unsigned char* firstHigh = nullptr;
  char* to = buffer;
  *to++ = '"';
  for (;;) {
    const auto* const pieceEnd = static_cast<std::size_t>(end - at) > kPiece ? at + kPiece : end;
    while (at != pieceEnd) {
      const std::size_t length = std::min<std::size_t>(kBlock, pieceEnd - at);
      // A short last block is looked at in a copy padded with plain bytes; a block with an
      // escaped byte is copied too, so that what follows each escaped byte can be stored again
      // one place on without reading past the text.
      alignas(16) unsigned char copy[2 * kBlock];
      const unsigned char* block = at;
      if (length < kBlock) {
        std::memset(copy, 'a', kBlock);
        copyShort(copy, at, length);
        block = copy;
      }
      BlockMasks masks = masksOf(block);
      const std::uint32_t inBlock = (1U << length) - 1;
      masks.escaped &= inBlock;
      masks.high &= inBlock;
      if (masks.high != 0 && firstHigh == nullptr) firstHigh = at + std::countr_zero(masks.high);
      if (masks.escaped == 0) {
        std::memcpy(to, block, kBlock);
        to += length;
      } else {
        if (block == at) std::memcpy(copy, at, kBlock);
        // The whole block is stored, then each escaped byte in turn, what follows it stored
        // again after its escape: the plain bytes between are never handled one by one.
        std::memcpy(to, copy, kBlock);
        std::size_t done = 0;
        for (std::uint32_t escaped = masks.escaped; escaped != 0; escaped &= escaped - 1) {
          const std::size_t next = static_cast<std::size_t>(std::countr_zero(escaped));
          to = writeEscaped(to + (next - done), copy[next]);
          done = next + 1;
          std::memcpy(to, copy + done, kBlock);
        }
        to += length - done;
      }
      at += length;
    }
    if (at == end) break;
    out.append(buffer, static_cast<std::size_t>(to - buffer));
    to = buffer;
  }
  *to++ = '"';
  out.append(buffer, static_cast<std::size_t>(to - buffer));
  if (firstHigh != nullptr &&
      !Utf8::isValid(text.substr(static_cast<std::size_t>(
          firstHigh - reinterpret_cast<const unsigned char*>(text.data()))))) {
    out.resize(start);
    return false;
  }
  return true;
}

void appendInteger(std::string& out, std::int64_t value) { appendDecimal(out, value); }

void appendInteger(std::string& out, std::uint64_t value) { appendDecimal(out, value); }

std::size_t escapedSize(std::string_view text) {
  std::size_t size = text.size();
  for (const char c : text) {
    const char escape = kEscapes[static_cast<unsigned char>(c)];
    if (escape != 0) size += escape == 'u' ? 5 : 1;
  }
  return size;
}

void appendDouble(std::string& out, double value) { out += Json(value).dump(); }

std::size_t& Writer::count(std::size_t level) {
  return level < shallow_.size() ? shallow_[level] : deeper_[level - shallow_.size()];
}

void Writer::beforeValue() {
  if (keyWritten_) {
    keyWritten_ = false;
    return;
  }
  if (depth_ == 0) return;
  if (count(depth_ - 1)++ > 0) text_.push_back(',');
  if (indent_ >= 0) appendIndent(text_, indent_, static_cast<int>(depth_));
}

void Writer::open(char bracket) {
  beforeValue();
  text_.push_back(bracket);
  if (depth_ < shallow_.size()) {
    shallow_[depth_] = 0;
  } else {
    deeper_.push_back(0);
  }
  ++depth_;
}

void Writer::close(char bracket) {
  const bool empty = count(depth_ - 1) == 0;
  --depth_;
  if (depth_ >= shallow_.size()) deeper_.pop_back();
  if (!empty && indent_ >= 0) appendIndent(text_, indent_, static_cast<int>(depth_));
  text_.push_back(bracket);
}

bool Writer::key(std::string_view name) {
  const std::size_t width = indent_ >= 0 ? static_cast<std::size_t>(indent_) * depth_ : 0;
  if (!keyWritten_ && depth_ > 0 && width < kLine.size() && isShortAndPlain(name)) {
    // The usual key goes out with the comma and line before it and the colon after it in one
    // append.
    char piece[1 + kLine.size() + kBlock + 4];
    std::size_t length = 0;
    if (count(depth_ - 1)++ > 0) piece[length++] = ',';
    if (indent_ >= 0) {
      std::memcpy(piece + length, kLine.data(), width + 1);
      length += width + 1;
    }
    piece[length++] = '"';
    copyShort(reinterpret_cast<unsigned char*>(piece) + length,
              reinterpret_cast<const unsigned char*>(name.data()), name.size());
    length += name.size();
    piece[length++] = '"';
    piece[length++] = ':';
    if (indent_ >= 0) piece[length++] = ' ';
    text_.append(piece, length);
    keyWritten_ = true;
    return true;
  }
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

void Writer::boolean(bool value) {
  beforeValue();
  text_ += value ? "true" : "false";
}

std::optional<std::string> dump(const nlohmann::json& value, int indent) {
  std::string text;
  if (!write(text, value, indent, 0)) return std::nullopt;
  return text;
}

}  // namespace tvrn::JSONText
