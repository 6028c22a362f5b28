// daily_brief: today's events, the open reminders due by the end of today, and unread inbox mail,
// gathered one after the other; no part failing fails the whole.
#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bridges/JXARunner.h"
#include "core/DateFormat.h"
#include "core/ToolResponse.h"
#include "pim/PimCodec.h"
#include "platform/RunningApps.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/common/SystemToolsTexts.h"

namespace tvrn::SystemTools {
namespace {

namespace Texts = SystemTexts;
using nlohmann::json;
using Clock = std::chrono::system_clock;

std::string textMember(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// The objects of the reply's list member; none when there is no reply or no such list.
json objectsIn(const std::optional<json>& reply, const char* member) {
  json objects = json::array();
  if (!reply) return objects;
  const auto list = reply->find(member);
  if (list == reply->end() || !list->is_array()) return objects;
  for (const json& element : *list) {
    if (element.is_object()) objects.push_back(element);
  }
  return objects;
}

json todaysEvents(HelperProxy& proxy, Clock::time_point today, Clock::time_point tomorrow) {
  json events = json::array();
  const auto reply = proxy.callDict("list_calendar_events", {{"start_date", iso8601Date(today)},
                                                             {"end_date", iso8601Date(tomorrow)}});
  for (const json& event : objectsIn(reply, "events")) {
    const auto allDay = event.find("all_day");
    events.push_back(
        {{"title", textMember(event, "title")},
         {"start", textMember(event, "start")},
         {"end", textMember(event, "end")},
         {"location", textMember(event, "location")},
         {"all_day", allDay != event.end() && allDay->is_boolean() && allDay->get<bool>()},
         {"calendar", textMember(event, "calendar")}});
  }
  return events;
}

// A due moment written as a date and time with its zone; a bare date or any other text names
// none.
std::optional<Clock::time_point> dueMoment(const std::string& text) {
  bool dateOnly = false;
  const auto moment = PimCodec::parseTime(text, &dateOnly);
  if (!moment || dateOnly) return std::nullopt;
  return *moment;
}

json openReminders(HelperProxy& proxy, Clock::time_point now, Clock::time_point tomorrow) {
  json kept = json::array();
  for (const json& reminder :
       objectsIn(proxy.callDict("list_reminders", {{"completed", false}}), "reminders")) {
    const std::string dueText = textMember(reminder, "due_date");
    const auto due = dueMoment(dueText);
    if (due && *due > tomorrow) continue;
    kept.push_back({{"title", textMember(reminder, "title")},
                    {"due_date", dueText},
                    {"list", textMember(reminder, "list")},
                    {"overdue", due && *due < now}});
  }
  return kept;
}

JSONValue unreadMail(JXARunning& jxa) {
  if (!RunningApps::isRunning("com.apple.mail")) {
    return JSONValue::Object{{"skipped", std::string(Texts::kMailSkipped)}};
  }
  // A Linux mail client counts as Mail, but its mail is read through scripts.
  if (!jxa.canRun()) return JSONValue::Object{{"skipped", std::string(kScriptsUnavailable)}};
  ToolResult summary = jxa.runAsJSONValue(Texts::kUnreadMailScript);
  if (!summary.ok()) return JSONValue::Object{{"error", summary.error().description()}};
  return std::move(summary).value();
}

}  // namespace

ToolResult dailyBrief(HelperProxy& proxy, JXARunning& jxa, const Params::Arguments& arguments) {
  const bool includeEmails = Params::optionalBool("include_emails", arguments, true);
  const Clock::time_point now = Clock::now();
  const Clock::time_point today = localMidnight(now, 0);
  const Clock::time_point tomorrow = localMidnight(now, 1);
  JSONValue::Object brief{
      {"date", iso8601Date(now)},
      {"events",
       JSONValue::fromRaw(todaysEvents(proxy, today, tomorrow)).value_or(JSONValue::Array{})},
      {"reminders",
       JSONValue::fromRaw(openReminders(proxy, now, tomorrow)).value_or(JSONValue::Array{})},
      {"emails", includeEmails ? unreadMail(jxa) : JSONValue()}};
  return ToolResponse::json(brief);
}

}  // namespace tvrn::SystemTools
