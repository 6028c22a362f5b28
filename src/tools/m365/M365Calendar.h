// The Microsoft 365 calendar tools: the coming days' events, new events and, once confirmed,
// deleting one, in the primary calendar or in one picked by part of its name.
#pragma once

#include <string>
#include <string_view>

#include "core/ToolDefinition.h"
#include "core/ToolRegistry.h"

namespace tvrn::M365Tools {

// Adds m365_list_events, m365_create_event and m365_delete_event, in that order.
void registerCalendarTools(ToolRegistry& registry);

// The id of the first of the user's calendars (in Graph's order) whose name holds `name`,
// ignoring letter case; when none does, a failure that lists the names there are.
Result<std::string, ToolError> m365ResolveCalendarId(std::string_view name,
                                                     const std::string& token);

}  // namespace tvrn::M365Tools
