// Note bodies between plain text and ENML, the XHTML dialect Evernote stores notes in.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::EvernoteTools {

// The text escaped, each line one paragraph, inside the ENML document envelope.
std::string enmlWrap(std::string_view text);
// The words of an ENML (or HTML) body: tags dropped, common entities read, white space runs
// folded into line feeds.
std::string enmlToText(std::string_view enml);

}  // namespace tvrn::EvernoteTools
