// Turns the bytes of a text file in one of the encodings the readers accept into UTF-8: one
// table of the single-byte code pages, and UTF-16 with or without a byte-order mark.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvrn::TextDecoding {

enum class Encoding { utf8, cp1252, latin1, ascii, utf16 };

// The encoding for a name as callers write it ("utf8", "utf-8", "cp1252", "windows-1252",
// "latin1", "iso-8859-1", "ascii", "utf16", "utf-16"), letter case ignored.
std::optional<Encoding> fromName(std::string_view name);

// The text as UTF-8, or nothing when the bytes are not valid in that encoding: UTF-8 must be
// well-formed; cp1252 has no character at 0x81, 0x8D, 0x8F, 0x90 and 0x9D; ASCII takes bytes below
// 0x80 only; UTF-16 reads a byte-order mark (else big-endian) and refuses an odd length or a lone
// surrogate.
std::optional<std::string> decode(std::string_view bytes, Encoding encoding);

// Text that names no encoding, as UTF-8: the bytes as they are when they are UTF-8, else read as
// cp1252 (what older Windows exporters wrote), else as Latin-1, which has a character for every
// byte, so this never fails.
std::string fromLegacy(std::string_view bytes);

// The code point of one cp1252 byte, or nothing for the five bytes without a character.
std::optional<char32_t> cp1252CodePoint(unsigned char byte);

// Appends the UTF-8 form of a code point (surrogates and values past U+10FFFF become U+FFFD).
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace tvrn::TextDecoding
