// UTF-8 as the system checks and repairs it: well-formed means no overlong forms, no surrogates
// and nothing past U+10FFFF; ill-formed bytes are replaced by U+FFFD where text must stay readable.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvrn::Utf8 {

// Length of the well-formed sequence at the start of bytes, or 0 when it is ill-formed or empty.
std::size_t sequenceLength(std::string_view bytes);

// Like sequenceLength, also giving the code point of a well-formed sequence.
std::size_t decode(std::string_view bytes, char32_t& codePoint);

bool isValid(std::string_view bytes);

// The bytes with each maximal ill-formed piece (the longest start of a sequence that could still
// have become well-formed, else one byte) replaced by one U+FFFD.
std::string replaceInvalid(std::string_view bytes);

inline bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The first or last `count` characters of the text as a reader sees them (grapheme clusters: a
// letter with its accents, an emoji with its modifiers), never splitting one.
std::string firstCharacters(std::string_view text, std::size_t count);
std::string lastCharacters(std::string_view text, std::size_t count);
// How many characters a reader sees in the text (grapheme clusters, as above).
std::size_t characterCount(std::string_view text);

// The text in lower case by Unicode's rules for no particular language (Ä becomes ä), for
// matching that ignores letter case; ill-formed bytes become U+FFFD.
std::string lowercased(std::string_view text);

// Unicode's White_Space characters: what is trimmed as white space and line breaks.
bool isWhiteSpace(char32_t codePoint);

// Valid text without the code points `drop` accepts at either end.
template <typename Predicate>
std::string_view trim(std::string_view text, Predicate drop) {
  char32_t codePoint = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t length = decode(text.substr(begin), codePoint);
    if (length == 0 || !drop(codePoint)) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && isContinuation(static_cast<unsigned char>(text[start]))) --start;
    if (decode(text.substr(start, end - start), codePoint) != end - start || !drop(codePoint)) {
      break;
    }
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tvrn::Utf8
