// The Microsoft 365 tool family: signing in and out, and the organisation's directory (finding
// people, one person's entry, the people most relevant to the user), all through Microsoft Graph.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::M365Tools {

// Adds connect_m365_account, disconnect_m365_account, search_m365_directory, get_m365_person
// and list_m365_people_insights, in that order.
void registerTools(ToolRegistry& registry);

// A directory user as the lines a reader wants: name, addresses, role, phones and id.
std::string formatUser(const nlohmann::json& user);

}  // namespace tvrn::M365Tools
