#include "tools/calendar/CalendarTools.h"

#include <nlohmann/json.hpp>
#include <string>

#include "bridges/HelperProxy.h"
#include "core/Params.h"
#include "core/ToolSchema.h"
#include "tools/common/HelperTools.h"

namespace tvrn::CalendarTools {
namespace {

using HelperTools::confirmedForward;
using HelperTools::forwardTo;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
using ToolSchema::stringList;

ToolHandler listCalendars(HelperProxy& helper) { return forwardTo(helper, "list_calendar_names"); }
ToolHandler listEvents(HelperProxy& helper) { return forwardTo(helper, "list_calendar_events"); }
ToolHandler updateEvent(HelperProxy& helper) { return forwardTo(helper, "update_calendar_event"); }
ToolHandler listReminders(HelperProxy& helper) { return forwardTo(helper, "list_reminders"); }
ToolHandler createReminder(HelperProxy& helper) { return forwardTo(helper, "create_reminder"); }

// The preview's line saying where the event goes when that is not simply the calendar asked for
// (the default standing in for one that finds nothing); nothing otherwise, or when the service
// cannot say.
std::string calendarLine(HelperProxy& helper, const Params::Arguments& args) {
  const bool given = args && args->asObject() != nullptr;
  const auto answer =
      helper.callDict("calendar_for_new_event", given ? args->rawValue() : json::object(), 0);
  if (!answer || !answer->contains("calendar") || !(*answer)["calendar"].is_string()) return {};
  return "\n  Calendar: " + (*answer)["calendar"].get<std::string>();
}

ToolHandler createEvent(HelperProxy& helper) {
  return confirmedForward(
      helper, "create_calendar_event", [&helper](const Params::Arguments& args) {
        return "Preview — create calendar event:\n  Title: " +
               Params::optional("title", args, "(no title)") +
               "\n  Start: " + Params::optional("start_date", args, "?") +
               "\n  End:   " + Params::optional("end_date", args, "?") +
               calendarLine(helper, args) + "\nCall again with confirm: true to create.";
      });
}

ToolHandler deleteEvent(HelperProxy& helper) {
  return confirmedForward(helper, "delete_calendar_event", [](const Params::Arguments& args) {
    return "Preview — delete calendar event '" + Params::optional("event_id", args, "?") +
           "'. Call again with confirm: true to delete.";
  });
}

}  // namespace

void registerTools(ToolRegistry& registry, HelperProxy& helper) {
  ToolRegistry::ServiceScope scope(registry, "calendar");
  registry.registerTool({"list_calendar_names", "Lists all calendars available on this Mac.",
                         schema(json::object(), json::array()), ToolKind::readOnly,
                         listCalendars(helper)});
  registry.registerTool(
      {"list_calendar_events", "Lists calendar events in a date range. Defaults to today + 7 days.",
       schema(
           {{"start_date", property("string", "ISO 8601 date (YYYY-MM-DD). Defaults to today.")},
            {"end_date",
             property("string", "ISO 8601 date (YYYY-MM-DD). Defaults to start_date + 7 days.")},
            {"calendar_id",
             property("string",
                      "Filter by a single calendar UUID from list_calendar_names (optional).")},
            {"calendar", property("string",
                                  "Filter by calendar name — partial, case-insensitive match "
                                  "(optional). Use list_calendar_names to see available names.")},
            {"calendar_ids", stringList("Filter by multiple calendar UUIDs (optional).")},
            // The limit the listing applies and its truncation note tells the client to raise.
            {"max_results", property("integer", "Max events to return (default 100)")}},
           json::array()),
       ToolKind::readOnly, listEvents(helper)});
  registry.registerTool(
      {"create_calendar_event",
       "Creates a calendar event. Requires title, start_date, end_date. Optionally invite "
       "attendees by email (CalDAV/Exchange calendars only).",
       schema(
           {{"title", property("string", "Event title")},
            {"start_date", property("string", "ISO 8601 datetime (YYYY-MM-DDTHH:MM:SS)")},
            {"end_date", property("string", "ISO 8601 datetime")},
            {"notes", property("string", "Event notes (optional)")},
            {"location", property("string", "Location (optional)")},
            {"calendar_id", property("string",
                                     "Calendar UUID from list_calendar_names (optional, "
                                     "defaults to default calendar)")},
            {"calendar",
             property("string", "Calendar name to match (optional, alternative to calendar_id)")},
            {"attendees", stringList("List of email addresses to invite (optional, "
                                     "CalDAV/Exchange only)")},
            {"confirm", property("boolean", "Must be true to create the event")}},
           json::array({"title", "start_date", "end_date"})),
       ToolKind::write, createEvent(helper)});
  registry.registerTool(
      {"update_calendar_event",
       "Updates an existing calendar event by ID. Pass only the fields you want to change — "
       "unspecified fields are left as-is. Get the event_id from list_calendar_events.",
       schema({{"event_id", property("string", "Event identifier from list_calendar_events")},
               {"title", property("string", "New title (optional)")},
               {"start_date", property("string", "New start datetime ISO 8601 (optional)")},
               {"end_date", property("string", "New end datetime ISO 8601 (optional)")},
               {"notes", property("string", "New notes — pass empty string to clear (optional)")},
               {"location",
                property("string", "New location — pass empty string to clear (optional)")},
               {"span", property("string", "For recurring events: 'this' (default) or 'future'")},
               {"confirm", property("boolean", "Must be true to apply changes")}},
              json::array({"event_id"})),
       ToolKind::write, updateEvent(helper)});
  registry.registerTool(
      {"delete_calendar_event", "Deletes a calendar event by ID.",
       schema({{"event_id", property("string", "Event identifier from list_events")},
               {"confirm", property("boolean", "Must be true to delete")}},
              json::array({"event_id"})),
       ToolKind::destructive, deleteEvent(helper)});
  ToolRegistry::ServiceScope reminders(registry, "reminders");
  registry.registerTool(
      {"list_reminders", "Lists reminders. Optionally filter by completion status or list name.",
       schema({{"completed",
                property("boolean", "true=completed, false=incomplete (default), omit=all")},
               {"list_name", property("string", "Filter by reminder list name (optional)")}},
              json::array()),
       ToolKind::readOnly, listReminders(helper)});
  registry.registerTool({"create_reminder", "Creates a reminder in Reminders.app.",
                         schema({{"title", property("string", "Reminder title")},
                                 {"due_date", property("string", "ISO 8601 date (optional)")},
                                 {"notes", property("string", "Notes (optional)")},
                                 {"list_name", property("string", "Reminder list name (optional)")},
                                 {"confirm", property("boolean", "Must be true to create")}},
                                json::array({"title"})),
                         ToolKind::write, createReminder(helper)});
}

}  // namespace tvrn::CalendarTools
