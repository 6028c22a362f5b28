#include "bridges/CalendarService.h"

#include <algorithm>
#include <chrono>

#include "base/Utf8.h"
#include "bridges/LocalDataArgs.h"
#include "bridges/PlatformStores.h"
#include "bridges/TCCMessages.h"
#include "core/JSONText.h"
#include "pim/PrivacyGate.h"

namespace tvrn::LocalData {
namespace {

using std::chrono::days;
using std::chrono::seconds;

constexpr std::int64_t kDefaultMaxEvents = 100;

std::string noCalendarsText() {
  return "Calendars access appears granted but returned zero results. Open " +
         TCCMessages::grantPlace("Calendars") + ", toggle tavrin-helper OFF and back ON.";
}

bool refused(AuthorizationStatus status) {
  return status == AuthorizationStatus::restricted || status == AuthorizationStatus::denied;
}

const char* roleWord(ParticipantRole role) {
  switch (role) {
    case ParticipantRole::required:
      return "required";
    case ParticipantRole::optional:
      return "optional";
    case ParticipantRole::chair:
      return "chair";
    case ParticipantRole::nonParticipant:
      return "non_participant";
    case ParticipantRole::unknown:
      break;
  }
  return "unknown";
}

const char* statusWord(ParticipantStatus status) {
  switch (status) {
    case ParticipantStatus::pending:
      return "not_responded";
    case ParticipantStatus::accepted:
      return "accepted";
    case ParticipantStatus::declined:
      return "declined";
    case ParticipantStatus::tentative:
      return "tentative";
    case ParticipantStatus::delegated:
      return "delegated";
    default:
      break;
  }
  return "unknown";
}

nlohmann::json attendeeToDict(const Attendee& attendee) {
  constexpr std::string_view kMailto = "mailto:";
  std::string_view email = attendee.url;
  // The scheme's letter case is free: Outlook writes "MAILTO:".
  if (Utf8::lowercased(email.substr(0, kMailto.size())) == kMailto) {
    email.remove_prefix(kMailto.size());
  }
  nlohmann::json entry{{"name", attendee.name},
                       {"email", std::string(email)},
                       {"role", roleWord(attendee.role)},
                       {"status", statusWord(attendee.status)}};
  if (attendee.isCurrentUser) entry["is_me"] = true;
  return entry;
}

// Built member by member, cheaper than an initializer list (see the To Do list records).
nlohmann::json calendarEntry(const Calendar& calendar) {
  nlohmann::json entry = nlohmann::json::object();
  entry["id"] = calendar.id;
  entry["title"] = calendar.title;
  entry["color"] = hexColor(calendar.color);
  entry["type"] = calendarType(calendar.type);
  return entry;
}

// About what one calendar takes printed, its identifier a folder's path.
constexpr std::size_t kPrintedBytes = 256;

// The names' result as the tree of calendarEntry's would print, written straight from the
// calendars; nothing when a text is not UTF-8, which the tree's printing answers in its own way.
std::optional<std::string> printedNames(const std::vector<Calendar>& calendars) {
  JSONText::Writer out(2, kPrintedBytes * (calendars.size() + 1));
  out.beginObject();
  if (!out.key("calendars")) return std::nullopt;
  out.beginArray();
  for (const auto& calendar : calendars) {
    out.beginObject();
    if (!out.key("color") || !out.string(hexColor(calendar.color)) || !out.key("id") ||
        !out.string(calendar.id) || !out.key("title") || !out.string(calendar.title) ||
        !out.key("type") || !out.string(calendarType(calendar.type))) {
      return std::nullopt;
    }
    out.endObject();
  }
  out.endArray();
  if (!out.key("count")) return std::nullopt;
  out.integer(static_cast<std::int64_t>(calendars.size()));
  out.endObject();
  return std::move(out).take();
}

// The calendars a listing searches: every calendar (nothing), or exactly those named, even none.
struct CalendarChoice {
  std::optional<std::vector<std::string>> ids;
  std::optional<Reply> failure;
};

CalendarChoice chooseCalendars(const nlohmann::json& args, const PimStore& store) {
  std::vector<std::string> ids =
      stringListArg(args, "calendar_ids").value_or(std::vector<std::string>{});
  const std::string calendarId = stringArgOrEmpty(args, "calendar_id");
  if (!calendarId.empty()) ids.push_back(calendarId);

  const std::string name = stringArgOrEmpty(args, "calendar");
  if (!name.empty()) {
    const auto all = store.calendars(EntityType::event);
    std::vector<std::string> titles;
    bool matched = false;
    for (const auto& calendar : all) {
      titles.push_back(calendar.title);
      if (caselessContains(calendar.title, name)) {
        ids.push_back(calendar.id);
        matched = true;
      }
    }
    if (!matched) {
      std::string available;
      for (const auto& title : titles) available += (available.empty() ? "" : ", ") + title;
      return {std::nullopt, error("No calendar matching '" + name + "' found. Available: " +
                                  available + ". Use list_calendar_names to see all calendars.")};
    }
  }
  if (ids.empty()) return {};

  std::vector<std::string> found;
  for (const auto& id : ids) {
    if (store.calendar(id)) found.push_back(id);
  }
  return {found, std::nullopt};
}

}  // namespace

Reply withCalendarAccess(const EventStore& events, const std::function<Reply()>& work) {
  const AuthorizationStatus status = events.authorizationStatus(EntityType::event);
  if (refused(status)) return permissionError(calendarDeniedMsg("Calendar"));
  if (status == AuthorizationStatus::granted) return work();

  if (!events.requestAccess(EntityType::event).granted) {
    return permissionError(status == AuthorizationStatus::notDetermined
                               ? calendarNotDeterminedMsg()
                               : calendarDeniedMsg("Calendar"));
  }
  if (events.authorizationStatus(EntityType::event) == AuthorizationStatus::writeOnly) {
    return permissionError(calendarWriteOnlyMsg());
  }
  return work();
}

nlohmann::json eventToDict(const Event& event) {
  const PimTime end = event.allDay ? event.end - days(1) : event.end;
  nlohmann::json record{{"id", event.id},
                        {"title", event.title},
                        {"start", iso8601(event.start)},
                        {"end", iso8601(end)},
                        {"all_day", event.allDay},
                        {"location", event.location},
                        {"notes", event.notes},
                        {"calendar", event.calendarTitle},
                        {"calendar_id", event.calendarId}};
  if (!event.attendees.empty()) {
    nlohmann::json attendees = nlohmann::json::array();
    for (const auto& attendee : event.attendees) attendees.push_back(attendeeToDict(attendee));
    record["attendees"] = std::move(attendees);
  }
  return record;
}

Reply calendarListNames(PlatformStores& stores) {
  // Listing names must not raise a prompt for a permission the user already narrowed.
  const AuthorizationStatus status = stores.events.authorizationStatus(EntityType::event);
  if (refused(status)) return permissionError(calendarDeniedMsg("Calendar"));
  if (status == AuthorizationStatus::writeOnly) return permissionError(calendarWriteOnlyMsg());

  return withCalendarAccess(stores.events, [&stores] {
    const auto calendars = stores.data.calendars(EntityType::event);
    if (calendars.empty()) return permissionError(noCalendarsText());
    if (auto printed = printedNames(calendars)) return okPrinted(*std::move(printed));
    nlohmann::json result = nlohmann::json::object();
    nlohmann::json& entries = result["calendars"] = nlohmann::json::array();
    for (const auto& calendar : calendars) entries.push_back(calendarEntry(calendar));
    result["count"] = calendars.size();
    return ok(std::move(result));
  });
}

namespace {

// A bare day bounding a listing is that day where the user is (the daily brief asks for "today"
// this way), not the day in UTC.
PimTime listingBound(const std::string& text, PimTime fallback) {
  const auto day = isBareDate(text) ? parseISO8601(text) : std::nullopt;
  if (!day) return parseDateStr(text, fallback);
  const std::chrono::year_month_day ymd(std::chrono::floor<days>(*day));
  return DateComponents{static_cast<int>(ymd.year()),
                        static_cast<int>(unsigned(ymd.month())),
                        static_cast<int>(unsigned(ymd.day())),
                        {},
                        {}}
      .date()
      .value_or(*day);
}

// Why a listing's dates are refused: dates it reads but holds nothing for, which it would
// otherwise answer as now and a week after, naming them; nothing when there are none.
std::optional<std::string> outsideTheYears(const nlohmann::json& args) {
  std::vector<std::string> named;
  for (const char* key : {"start_date", "end_date"}) {
    const std::string text = stringArgOrEmpty(args, key);
    if (outsideStoredYears(text)) named.push_back(std::string(key) + " '" + text + "'");
  }
  if (named.empty()) return std::nullopt;
  return (named.size() == 1 ? named[0] + " is" : named[0] + " and " + named[1] + " are") +
         " outside the years the calendars are read for (" + std::to_string(kPimFirstYear) +
         " to " + std::to_string(kPimLastYear) + "). Ask for dates within them.";
}

}  // namespace

Reply calendarListEvents(PlatformStores& stores, const nlohmann::json& args) {
  return withCalendarAccess(stores.events, [&stores, &args] {
    if (auto refused = outsideTheYears(args)) return error(*refused);
    const PimStore& store = stores.data;
    const PimTime start =
        listingBound(stringArgOrEmpty(args, "start_date"), std::chrono::system_clock::now());
    PimTime end = listingBound(stringArgOrEmpty(args, "end_date"), start + days(7));
    if (end <= start) end = start + days(1);
    // A negative limit keeps nothing rather than everything.
    const auto max = static_cast<size_t>(
        std::max<std::int64_t>(0, intArg(args, "max_results").value_or(kDefaultMaxEvents)));

    CalendarChoice choice = chooseCalendars(args, store);
    if (choice.failure) return *choice.failure;

    const EventPage page = store.firstEvents(start, end, choice.ids, max);
    nlohmann::json records = nlohmann::json::array();
    for (const auto& event : page.events) records.push_back(eventToDict(event));

    nlohmann::json result{{"events", records},
                          {"count", records.size()},
                          {"start_date", iso8601(start)},
                          {"end_date", iso8601(end)}};
    // A listing cut short at the store's cap reports what it counted: at least that many.
    if (page.totalMatched > max || !page.complete) {
      result["truncated"] = true;
      result["total_matched"] = page.totalMatched;
      result["note"] = leftOutNote(
          records.size(), page.totalMatched, !page.complete, "events",
          "ask for a shorter range (start_date, end_date) or a higher limit (max_results)");
    }
    return ok(std::move(result));
  });
}

Reply probeCalendarTCC(PlatformStores& stores) {
  return probeAccess(stores.gate, "calendar", stores.events.authorizationStatus(EntityType::event),
                     tccStatusString, PrivacyEntity::calendar);
}

}  // namespace tvrn::LocalData
