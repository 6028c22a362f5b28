// Turns a word-processing file that is not an Office package into plain UTF-8 text: plain text,
// RTF and HTML are read; anything else is refused.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/Result.h"
#include "platform/RegularFile.h"

namespace tvrn::TextConverter {

// The file's text. The error names why not: the file cannot be read, is not a regular file or
// is over RegularFile's cap, or its format is not one of the three ("unsupported document
// format").
Result<std::string, std::string> toPlainText(const std::filesystem::path& file);
// The same of a file the caller holds open; `name` is the name it goes by.
Result<std::string, std::string> toPlainText(const RegularFile& file,
                                             const std::filesystem::path& name);

// The text of an RTF document: paragraphs and line breaks as line feeds, tabs, \'hh characters
// (Windows-1252) and \uN characters; fonts, styles, pictures and other destinations skipped.
std::string rtfToText(std::string_view rtf);

// The text of an HTML document: block elements on lines of their own, table cells separated by
// tabs, runs of white space folded as a browser shows them; scripts and styles left out.
std::string htmlToText(std::string_view html);

}  // namespace tvrn::TextConverter
