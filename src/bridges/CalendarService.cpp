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

std::string_view mailAddress(std::string_view url) {
  constexpr std::string_view kMailto = "mailto:";
  // The scheme's letter case is free: Outlook writes "MAILTO:".
  if (Utf8::lowercased(url.substr(0, kMailto.size())) == kMailto) url.remove_prefix(kMailto.size());
  return url;
}

nlohmann::json attendeeToDict(const Attendee& attendee) {
  nlohmann::json entry{{"name", attendee.name},
                       {"email", std::string(mailAddress(attendee.url))},
                       {"role", roleWord(attendee.role)},
                       {"status", statusWord(attendee.status)}};
  if (attendee.isCurrentUser) entry["is_me"] = true;
  return entry;
}

// An all-day event's record ends with its last day, not the day after.
PimTime recordEnd(const Event& event) { return event.allDay ? event.end - days(1) : event.end; }

// The event's record as eventToDict's tree would print, in the order of its keys; false when a
// text is not UTF-8.
bool writeEventRecord(JSONText::Writer& out, const Event& event) {
  const auto text = [&out](std::string_view key, std::string_view value) {
    return out.key(key) && out.string(value);
  };
  out.beginObject();
  if (!out.key("all_day")) return false;
  out.boolean(event.allDay);
  if (!event.attendees.empty()) {
    if (!out.key("attendees")) return false;
    out.beginArray();
    for (const auto& attendee : event.attendees) {
      out.beginObject();
      if (!text("email", mailAddress(attendee.url))) return false;
      if (attendee.isCurrentUser) {
        if (!out.key("is_me")) return false;
        out.boolean(true);
      }
      if (!text("name", attendee.name) || !text("role", roleWord(attendee.role)) ||
          !text("status", statusWord(attendee.status))) {
        return false;
      }
      out.endObject();
    }
    out.endArray();
  }
  if (!text("calendar", event.calendarTitle) || !text("calendar_id", event.calendarId) ||
      !text("end", iso8601(recordEnd(event))) || !text("id", event.id) ||
      !text("location", event.location) || !text("notes", event.notes) ||
      !text("start", iso8601(event.start)) || !text("title", event.title)) {
    return false;
  }
  out.endObject();
  return true;
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
  nlohmann::json record{{"id", event.id},
                        {"title", event.title},
                        {"start", iso8601(event.start)},
                        {"end", iso8601(recordEnd(event))},
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
    if (calendars.empty()) {
      if (auto trouble = stores.settingsTrouble()) {
        return error(noneWhileSettingsUnreadable("calendars", "calendar", *trouble));
      }
      return permissionError(noCalendarsText());
    }
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

// A listing's events as the records of one reply, taken one by one as the store finds them and
// kept only as text, until `max` are taken or the next does not fit. A record whose text is not
// UTF-8 ends the writing; the tree, which answers such text in its own way, lists them then.
class EventRecords {
 public:
  explicit EventRecords(std::size_t max) : max_(max) {}

  // Whether the event was taken.
  bool add(const Event& event) {
    if (count_ == max_ || !printable_) return false;
    JSONText::Writer one(2);
    if (!writeEventRecord(one, event)) {
      printable_ = false;
      return false;
    }
    const std::string printed = std::move(one).take();
    const std::size_t bytes = sentRecordBytes(printed);
    if (bytes > room_) {
      firstLeftOut_ = event.start;
      return false;
    }
    room_ -= bytes;
    // Two levels in: every line of the record indented by four more spaces (a text holds no line
    // break of its own, only its escape).
    text_ += count_ == 0 ? "\n    " : ",\n    ";
    for (std::size_t from = 0; from < printed.size();) {
      const std::size_t line = std::min(printed.find('\n', from), printed.size() - 1) + 1;
      text_.append(printed, from, line - from);
      if (printed[line - 1] == '\n') text_ += "    ";
      from = line;
    }
    ++count_;
    return true;
  }

  std::size_t count() const { return count_; }
  bool printable() const { return printable_; }
  // The start of the first event that did not fit, when one did not.
  const std::optional<PimTime>& firstLeftOut() const { return firstLeftOut_; }
  // The records as the listing's "events" array holds them, between its brackets.
  const std::string& text() const { return text_; }

 private:
  std::size_t max_;
  std::size_t room_ = kMaxListingBytes - kListingMembersBytes;
  std::size_t count_ = 0;
  bool printable_ = true;
  std::optional<PimTime> firstLeftOut_;
  std::string text_;
};

// A listing's reply besides its events.
struct Listing {
  PimTime start, end;
  std::size_t count = 0;
  std::optional<std::size_t> totalMatched = std::nullopt;  // when events were left out
  std::optional<std::string> note = std::nullopt;
};

// What the reply says of the events left out: those past the reply's room or past `max`.
void sayLeftOut(Listing& listing, const EventPage& page, std::size_t max,
                const std::optional<PimTime>& firstLeftOut) {
  // A listing cut short at the store's cap reports what it counted: at least that many.
  if (firstLeftOut) {
    listing.totalMatched = page.totalMatched;
    listing.note = cutNote(
        listing.count, page.totalMatched, !page.complete, "events",
        "ask for a shorter range (start_date, end_date): the first one left out starts at " +
            iso8601(*firstLeftOut));
  } else if (page.totalMatched > max || !page.complete) {
    listing.totalMatched = page.totalMatched;
    listing.note = leftOutNote(
        listing.count, page.totalMatched, !page.complete, "events",
        "ask for a shorter range (start_date, end_date) or a higher limit (max_results)");
  }
}

// The listing's result as its tree would print it, the records written already.
std::string printedListing(const Listing& listing, const std::string& records) {
  std::string text;
  text.reserve(records.size() + kListingMembersBytes);
  text += "{\n  \"count\": ";
  JSONText::appendInteger(text, static_cast<std::uint64_t>(listing.count));
  text += ",\n  \"end_date\": ";
  static_cast<void>(JSONText::appendString(text, iso8601(listing.end)));
  text += ",\n  \"events\": [";
  text += records;
  text += records.empty() ? "]" : "\n  ]";
  if (listing.note) {
    text += ",\n  \"note\": ";
    static_cast<void>(JSONText::appendString(text, *listing.note));
  }
  text += ",\n  \"start_date\": ";
  static_cast<void>(JSONText::appendString(text, iso8601(listing.start)));
  if (listing.totalMatched) {
    text += ",\n  \"total_matched\": ";
    JSONText::appendInteger(text, static_cast<std::uint64_t>(*listing.totalMatched));
    text += ",\n  \"truncated\": true";
  }
  text += "\n}";
  return text;
}

nlohmann::json listingTree(nlohmann::json records, const Listing& listing) {
  nlohmann::json result = nlohmann::json::object();
  result["events"] = std::move(records);
  result["count"] = listing.count;
  result["start_date"] = iso8601(listing.start);
  result["end_date"] = iso8601(listing.end);
  if (listing.totalMatched) {
    result["truncated"] = true;
    result["total_matched"] = *listing.totalMatched;
  }
  if (listing.note) result["note"] = *listing.note;
  return result;
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

    // Only the records' text is kept, not the events.
    Listing listing{.start = start, .end = end};
    EventRecords records(max);
    const EventPage page = store.eachFirstEvent(
        start, end, choice.ids, [&records](Event&& event) { return records.add(event); });
    if (records.printable()) {
      listing.count = records.count();
      sayLeftOut(listing, page, max, records.firstLeftOut());
      return okPrinted(printedListing(listing, records.text()));
    }
    BoundedRecords tree;
    std::optional<PimTime> firstLeftOut;
    const EventPage again = store.eachFirstEvent(start, end, choice.ids, [&](Event&& event) {
      if (tree.size() == max) return false;
      if (tree.add(eventToDict(event))) return true;
      firstLeftOut = event.start;
      return false;
    });
    listing.count = tree.size();
    sayLeftOut(listing, again, max, firstLeftOut);
    return ok(listingTree(std::move(tree).take(), listing));
  });
}

Reply probeCalendarTCC(PlatformStores& stores) {
  return probeAccess(stores.gate, "calendar", stores.events.authorizationStatus(EntityType::event),
                     tccStatusString, PrivacyEntity::calendar);
}

}  // namespace tvrn::LocalData
