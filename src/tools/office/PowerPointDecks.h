// PowerPoint decks for the ppt_* tools: the plain text of every slide of a .pptx, in deck order,
// and new decks of title-and-bullets slides.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::PowerPointDecks {

// The tool handlers.
ToolResult readPowerPoint(const Params::Arguments& arguments);
ToolResult createPowerPoint(const Params::Arguments& arguments);

// ppt_read's answer: {"slides": [{"slide": number, "text": text}...], "count": n}.
ToolResult readPptx(const std::string& path);

// A slide part's text as it was written: every tag a space, entities and character references
// decoded, runs of spaces and tabs one space, ends trimmed. Nothing when it is not well-formed XML.
std::optional<std::string> slideText(std::string_view xml);

}  // namespace tvrn::PowerPointDecks
