// The document tools: reading PDF files and reading, creating and extending Word documents.
#pragma once

#include <cstdint>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::OfficeTools {

// Adds pdf_read, word_read, word_create and word_append, in that order.
void registerTools(ToolRegistry& registry);

// pdf_read's answer: a header with the page count, then the text of at most `maxPages` pages
// (50 when not positive), cut short once the text passes about 100 kB.
ToolResult extractPDFText(const std::string& path, std::int64_t maxPages);

}  // namespace tvrn::OfficeTools
