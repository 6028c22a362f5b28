// The text of what a script or a co-process wrote: bytes taken as UTF-8 only when they are valid,
// trimmed of white space, and cut by characters rather than bytes so no character is split.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvrn::ScriptText {

bool isValidUTF8(std::string_view bytes);

// The bytes as text with white space and line breaks trimmed from both ends; empty when they are
// not valid UTF-8.
std::string decodeTrimmed(std::string_view bytes);

// The first or last `count` characters (code points) of valid UTF-8 text.
std::string firstCharacters(std::string_view text, std::size_t count);
std::string lastCharacters(std::string_view text, std::size_t count);

}  // namespace tvrn::ScriptText
