#include "tools/m365/M365Calendar.h"

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/PercentEncoding.h"
#include "base/Strings.h"
#include "base/Timestamp.h"
#include "base/Utf8.h"
#include "base/WallClock.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "tools/common/SettingsHandler.h"
#include "tools/m365/M365Account.h"
#include "tools/m365/M365Graph.h"
#include "tools/m365/M365Records.h"
#include "tools/m365/M365Texts.h"

namespace tvrn::M365Tools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = M365Texts;

constexpr const char* kEventFields = "id,subject,start,end,location,organizer,bodyPreview";

// The events collection of the named calendar, or of the primary one when no name is given.
Result<std::string, ToolError> eventsPath(const std::string& calendar, const std::string& token) {
  if (calendar.empty()) return std::string("/me/events");
  auto id = m365ResolveCalendarId(calendar, token);
  if (!id) return fail(id.error());
  return "/me/calendars/" + PercentEncoding::pathSegment(id.value()) + "/events";
}

std::string eventBlock(const json& event) {
  std::string block = textOr(event, "subject", "(no subject)") + "\n  " +
                      shortMoment(textOr(objectAt(event, "start"), "dateTime"), 16) + " → " +
                      shortMoment(textOr(objectAt(event, "end"), "dateTime"), 16);
  if (const auto place = textOr(objectAt(event, "location"), "displayName"); !place.empty()) {
    block += "\n  Location: " + place;
  }
  const json& organizer = objectAt(objectAt(event, "organizer"), "emailAddress");
  if (const auto name = textOr(organizer, "name"); !name.empty()) {
    block += "\n  Organizer: " + name;
  }
  return block + "\n  ID: " + textOr(event, "id");
}

ToolResult m365ListEvents(const ConfigManager& settings, const Params::Arguments& arguments) {
  const std::int64_t days = boundedInt("days", arguments, 7, 30);
  const std::int64_t limit = boundedInt("limit", arguments, 20, 50);
  const std::string calendar = Params::optional("calendar", arguments, "");
  auto token = m365AccessToken(settings);
  if (!token) return fail(token.error());
  auto path = eventsPath(calendar, token.value());
  if (!path) return fail(path.error());
  const auto start = WallClock::now();
  const auto end = start + std::chrono::seconds(days * 86'400);
  const std::string url = graphRoot() + path.value() + "?$select=" + kEventFields +
                          "&$orderby=start/dateTime&$top=" + std::to_string(limit) +
                          "&$filter=start/dateTime+ge+'" + Timestamp::iso8601UTC(start) +
                          "'+and+start/dateTime+le+'" + Timestamp::iso8601UTC(end) + "'";
  return listing(
      m365GET(url, token.value(), false), Texts::kUnexpectedGraphResponse,
      Texts::noEvents(days, calendar),
      [&](std::size_t count) { return Texts::eventsFound(count, days, calendar); }, eventBlock);
}

json eventRequest(const Params::Arguments& arguments, const std::string& subject,
                  const std::string& start, const std::string& end) {
  // Graph needs a zone for both ends; the tool promises UTC when none is named.
  std::string zone = Params::optional("timezone", arguments, "");
  if (zone.empty()) zone = "UTC";
  json event = {{"subject", subject},
                {"start", {{"dateTime", start}, {"timeZone", zone}}},
                {"end", {{"dateTime", end}, {"timeZone", zone}}}};
  if (auto location = Params::optional("location", arguments, ""); !location.empty()) {
    event["location"] = {{"displayName", location}};
  }
  if (auto body = Params::optional("body", arguments, ""); !body.empty()) {
    event["body"] = {{"contentType", "Text"}, {"content", body}};
  }
  json attendees = json::array();
  for (const auto& address : addressList(Params::optional("attendees", arguments, ""))) {
    attendees.push_back({{"emailAddress", {{"address", address}}}, {"type", "required"}});
  }
  if (!attendees.empty()) event["attendees"] = std::move(attendees);
  return event;
}

ToolResult m365CreateEvent(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired3(
      "subject", "start", "end", arguments,
      [&](const std::string& subject, const std::string& start,
          const std::string& end) -> ToolResult {
        const json event = eventRequest(arguments, subject, start, end);
        const std::string calendar = Params::optional("calendar", arguments, "");
        auto token = m365AccessToken(settings);
        if (!token) return fail(token.error());
        auto path = eventsPath(calendar, token.value());
        if (!path) return fail(path.error());
        GraphBody created = m365POST(graphRoot() + path.value(), token.value(), jsonText(event));
        if (!created) return fail(created.error());
        const std::string id = textOr(json::parse(created.value(), nullptr, false), "id");
        return ToolResponse::text(Texts::eventCreated(subject, start, calendar, id));
      });
}

ToolResult m365DeleteEvent(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("id", arguments, [&](const std::string& id) -> ToolResult {
    if (!isTrue("confirm", arguments)) return ToolResponse::text(Texts::deletionNotConfirmed(id));
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    auto deleted =
        m365DELETE(graphRoot() + "/me/events/" + PercentEncoding::pathSegment(id), token.value());
    if (!deleted) return fail(deleted.error());
    return ToolResponse::text(Texts::kEventDeleted);
  });
}

}  // namespace

Result<std::string, ToolError> m365ResolveCalendarId(std::string_view name,
                                                     const std::string& token) {
  GraphBody answer = m365GET(graphRoot() + "/me/calendars?$select=id,name&$top=50", token, false);
  if (!answer) return fail(answer.error());
  const auto calendars = collection(answer.value());
  if (!calendars) return fail(failure(Texts::kUnexpectedCalendars));
  const std::string wanted = Utf8::lowercased(name);
  std::vector<std::string> names;
  for (const auto& calendar : *calendars) {
    const auto calendarName = textOf(calendar, "name");
    if (!calendarName) continue;
    if (Utf8::lowercased(*calendarName).find(wanted) != std::string::npos) {
      return textOr(calendar, "id");
    }
    names.push_back(*calendarName);
  }
  return fail(
      ToolError::executionFailed(Texts::noCalendarMatching(name, Strings::joined(names, ", "))));
}

void registerCalendarTools(ToolRegistry& registry) {
  const ConfigManager& settings = *registry.context().settings;
  registry.registerTool(
      {"m365_list_events",
       "List upcoming calendar events from your Microsoft 365 / Outlook calendar.",
       schema({{"days", property("integer", "Number of days ahead to look (default 7, max 30)")},
               {"limit", property("integer", "Max events to return (default 20, max 50)")},
               {"calendar", property("string",
                                     "Calendar name to filter by — partial, case-insensitive "
                                     "match (optional). Omit to use the primary calendar.")}},
              json::array()),
       ToolKind::readOnly, withSettings(settings, m365ListEvents)});
  registry.registerTool(
      {"m365_create_event", "Create a calendar event in your Microsoft 365 / Outlook calendar.",
       schema({{"subject", property("string", "Event title")},
               {"start", property("string", "Start time in ISO 8601, e.g. '2026-05-20T10:00:00'")},
               {"end", property("string", "End time in ISO 8601, e.g. '2026-05-20T11:00:00'")},
               {"timezone",
                property("string", "IANA timezone, e.g. 'America/New_York' (default: UTC)")},
               {"location", property("string", "Location (optional)")},
               {"body", property("string", "Event description (optional)")},
               {"attendees",
                property("string", "Comma-separated email addresses to invite (optional)")},
               {"calendar", property("string",
                                     "Calendar name to create the event in — partial, "
                                     "case-insensitive match (optional). Omit to use the primary "
                                     "calendar.")}},
              json::array({"subject", "start", "end"})),
       ToolKind::write, withSettings(settings, m365CreateEvent)});
  registry.registerTool(
      {"m365_delete_event",
       "Delete a calendar event from your Microsoft 365 / Outlook calendar by its ID.",
       schema({{"id", property("string", "Event ID from m365_list_events")},
               {"confirm", property("boolean", "Set to true to confirm deletion (required)")}},
              json::array({"id", "confirm"})),
       ToolKind::destructive, withSettings(settings, m365DeleteEvent)});
}

}  // namespace tvrn::M365Tools
