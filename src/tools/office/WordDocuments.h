// Word documents for the word_* tools: the text of a .docx (other word-processing formats through
// the text converter), a new minimal .docx from plain text, and paragraphs added to an existing
// one. Files are only ever replaced whole, by rename, so a failed write keeps the old document.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Params.h"
#include "core/ToolDefinition.h"
#include "platform/CloudPlaceholderProbe.h"

namespace tvrn::WordDocuments {

// The tool handlers.
ToolResult readWord(const Params::Arguments& arguments);
ToolResult createWord(const Params::Arguments& arguments);
ToolResult appendWord(const Params::Arguments& arguments);

// The text of a .docx; a cloud file that is not local yet is downloaded and tried once more.
ToolResult readDocx(const std::string& path, bool retryAfterDownload,
                    const PlaceholderPolling& polling = {});

// The text of a document.xml, as it was written: each paragraph ends with a line break, a break
// in a run reads as a line break and a tab in a run as a tab, other tags are dropped, entities
// and character references decoded. Nothing when it is not well-formed XML.
std::optional<std::string> textOfDocumentXml(std::string_view xml);

// document.xml with the paragraphs placed once at the end of the body, before the body's own
// section properties; nothing when the text has no body to put them in.
std::optional<std::string> withParagraphsAppended(std::string_view xml,
                                                  std::string_view paragraphs);

}  // namespace tvrn::WordDocuments
