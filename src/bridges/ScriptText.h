// The text of what a script or a co-process wrote: bytes taken as UTF-8 only when they are valid,
// and trimmed of white space.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::ScriptText {

// The bytes as text with white space and line breaks trimmed from both ends; empty when they are
// not valid UTF-8.
std::string decodeTrimmed(std::string_view bytes);

}  // namespace tvrn::ScriptText
