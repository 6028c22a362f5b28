// The ServiceNow tool family: connecting to a user's instance, and its incidents and
// knowledge-base articles through the instance's Table API.
#pragma once

#include "core/ToolRegistry.h"

namespace tvrn::ServiceNowTools {

// Adds the nine tools: connect, disconnect, list, search, get, create, update, comment, KB search.
void registerTools(ToolRegistry& registry);

}  // namespace tvrn::ServiceNowTools
