// The calendar and reminder tools: listing calendars and events, creating, changing and deleting
// events, listing and creating reminders, answered by the calendar and reminders data service
// through the helper bridge.
#pragma once

#include "bridges/HelperProxy.h"
#include "core/ToolRegistry.h"

namespace tvrn::CalendarTools {

// Adds list_calendar_names, list_calendar_events, create_calendar_event, update_calendar_event,
// delete_calendar_event, list_reminders and create_reminder, in that order.
void registerTools(ToolRegistry& registry, HelperProxy& helper);

}  // namespace tvrn::CalendarTools
