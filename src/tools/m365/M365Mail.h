// The Microsoft 365 mail tools: listing, reading, searching, and sending or replying once the
// caller confirms.
#pragma once

#include <string>
#include <string_view>

#include "core/ToolRegistry.h"

namespace tvrn::M365Tools {

// Adds m365_list_emails, m365_read_email, m365_send_email, m365_reply_email and
// m365_search_emails, in that order.
void registerMailTools(ToolRegistry& registry);

// A message body as a reader wants it: every <tag> removed, entities kept, white space and line
// breaks trimmed from both ends. One pass, so a body of megabytes costs no more than its length.
std::string plainBodyText(std::string_view html);

}  // namespace tvrn::M365Tools
