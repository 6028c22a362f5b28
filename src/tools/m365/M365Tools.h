// The Microsoft 365 tool family: signing in and out, the organisation's directory, the user's mail,
// calendar and contacts, and posts to Teams channels, all through Microsoft Graph.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::M365Tools {

// Adds the family's seventeen tools: sign-in, directory, mail, calendar, the channel message and
// contacts, in that order.
void registerTools(ToolRegistry& registry);

// A directory user as the lines a reader wants: name, addresses, role, phones and id.
std::string formatUser(const nlohmann::json& user);

}  // namespace tvrn::M365Tools
