// The Microsoft 365 address-book tools (list, search, one contact in full) and the post to a
// Teams channel, which is sent only once the caller confirms.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::M365Tools {

// Adds teams_send_channel_message, m365_list_contacts, m365_search_contacts and
// m365_get_contact, in that order.
void registerContactTools(ToolRegistry& registry);

// A contact as the lines a reader wants: name, title and company, addresses, phones and id.
std::string formatM365Contact(const nlohmann::json& contact);

}  // namespace tvrn::M365Tools
