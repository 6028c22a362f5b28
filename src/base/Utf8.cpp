#include "base/Utf8.h"

#include <unicode/locid.h>
#include <unicode/ubrk.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    // Runs of ASCII, the bulk of most text, are passed over sixteen or eight bytes at a time.
    std::size_t ascii = 0;
#if defined(__SSE2__)
    for (; ascii + 16 <= bytes.size(); ascii += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + ascii));
      if (_mm_movemask_epi8(block) != 0) break;
    }
#endif
    for (std::uint64_t word = 0; ascii + sizeof word <= bytes.size(); ascii += sizeof word) {
      std::memcpy(&word, bytes.data() + ascii, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
    }
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    bytes.remove_prefix(ascii);
    if (bytes.empty()) break;
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

namespace {

struct TextCloser {
  void operator()(UText* text) const { utext_close(text); }
};
struct BreaksCloser {
  void operator()(UBreakIterator* breaks) const { ubrk_close(breaks); }
};

// Walks the character boundaries of UTF-8 text; boundaries are byte offsets into it.
class CharacterBoundaries {
 public:
  explicit CharacterBoundaries(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    text_.reset(utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status));
    breaks_.reset(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
    if (breaks_) ubrk_setUText(breaks_.get(), text_.get(), &status);
    ok_ = U_SUCCESS(status) && text_ && breaks_;
  }
  bool ok() const { return ok_; }
  int32_t first() { return ubrk_first(breaks_.get()); }
  int32_t last() { return ubrk_last(breaks_.get()); }
  int32_t next() { return ubrk_next(breaks_.get()); }
  int32_t previous() { return ubrk_previous(breaks_.get()); }

 private:
  std::unique_ptr<UText, TextCloser> text_;
  std::unique_ptr<UBreakIterator, BreaksCloser> breaks_;
  bool ok_ = false;
};

}  // namespace

std::string firstCharacters(std::string_view text, std::size_t count) {
  CharacterBoundaries boundaries(text);
  if (!boundaries.ok()) return std::string(text);
  std::size_t end = static_cast<std::size_t>(boundaries.first());
  for (std::size_t taken = 0; taken < count; ++taken) {
    const int32_t next = boundaries.next();
    if (next == UBRK_DONE) return std::string(text);
    end = static_cast<std::size_t>(next);
  }
  return std::string(text.substr(0, end));
}

std::string lastCharacters(std::string_view text, std::size_t count) {
  CharacterBoundaries boundaries(text);
  if (!boundaries.ok()) return std::string(text);
  std::size_t start = static_cast<std::size_t>(boundaries.last());
  for (std::size_t taken = 0; taken < count; ++taken) {
    const int32_t previous = boundaries.previous();
    if (previous == UBRK_DONE) return std::string(text);
    start = static_cast<std::size_t>(previous);
  }
  return std::string(text.substr(start));
}

std::size_t characterCount(std::string_view text) {
  // Plain ASCII needs no break iterator: every byte is a character, except that CR LF is one.
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
    std::size_t count = text.size();
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == '\r' && text[i + 1] == '\n') --count;
    }
    return count;
  }
  CharacterBoundaries boundaries(text);
  if (!boundaries.ok()) return text.size();
  std::size_t count = 0;
  boundaries.first();
  while (boundaries.next() != UBRK_DONE) ++count;
  return count;
}

bool isWhiteSpace(char32_t codePoint) {
  return (codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x20 || codePoint == 0x85 ||
         codePoint == 0xA0 || codePoint == 0x1680 || (codePoint >= 0x2000 && codePoint <= 0x200A) ||
         codePoint == 0x2028 || codePoint == 0x2029 || codePoint == 0x202F || codePoint == 0x205F ||
         codePoint == 0x3000;
}

std::string lowercased(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::string out;
  unicode.toLower(icu::Locale::getRoot()).toUTF8String(out);
  return out;
}

}  // namespace tvrn::Utf8
