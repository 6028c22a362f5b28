// The document tools: reading PDF files; reading, creating and extending Word documents; reading
// and writing Excel workbooks; reading and creating PowerPoint decks.
#pragma once

#include <cstdint>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::OfficeTools {

// Adds the nine document tools, PDF first, then Word, Excel and PowerPoint.
void registerTools(ToolRegistry& registry);

// pdf_read's answer: a header with the page count, then the text of at most `maxPages` pages
// (50 when not positive), cut short once the text passes about 100 kB.
ToolResult extractPDFText(const std::string& path, std::int64_t maxPages);

}  // namespace tvrn::OfficeTools
