// Creating, changing and deleting events, and inviting a new event's attendees.
#include <chrono>
#include <cstdio>

#include "base/Strings.h"
#include "bridges/CalendarService.h"
#include "bridges/LocalDataArgs.h"
#include "bridges/PlatformStores.h"
#include "bridges/ScriptText.h"
#include "platform/ScriptHost.h"

namespace tvrn::LocalData {
namespace {

using std::chrono::days;

constexpr const char* kAttendeesFailed =
    "Attendees could not be added: calendar may not support invitations. Error: ";

// Both ends given as days (no time of day) make an all-day event.
bool isDateOnly(std::string_view text) { return text.find_first_of("T:") == std::string::npos; }

// Why the start or end asked for cannot be an event's time: a local time the clock skips, which
// would be written as another time (an event of no length from 02:30 to 03:30 on that night).
std::optional<std::string> skippedTimes(const std::string& startText, const std::string& endText) {
  if (auto refused = skippedClockTime("start_date", startText)) return refused;
  return skippedClockTime("end_date", endText);
}

std::string orText(const std::string& text, const char* fallback) {
  return text.empty() ? fallback : text;
}

// What a caller asked a new event's calendar to be, as "<a calendar> has the id 'x' or matches
// 'Gym'" goes on; empty when nothing was asked for.
std::string askedCalendar(const nlohmann::json& args) {
  const std::string id = stringArgOrEmpty(args, "calendar_id");
  const std::string name = stringArgOrEmpty(args, "calendar");
  std::string asked = id.empty() ? "" : "has the id '" + id + "'";
  if (!name.empty()) asked += (asked.empty() ? "" : " or ") + ("matches '" + name + "'");
  return asked;
}

// The calendar a new event goes into: the one the identifier names, else the event calendar the
// name picks, else the default. A name or identifier that finds nothing is no error, but the
// default standing in for it is said wherever the calendar is named.
CreateTarget newEventTarget(const nlohmann::json& args, const PimStore& store) {
  const std::string id = stringArgOrEmpty(args, "calendar_id");
  if (!id.empty()) {
    if (auto calendar = store.calendar(id)) return {std::move(calendar), {}};
  }
  const std::string name = stringArgOrEmpty(args, "calendar");
  if (!name.empty()) {
    const auto named = pickedByName(store.calendars(EntityType::event), name, titleOf);
    if (!named.empty()) return {named.front(), {}};
  }
  const std::string asked = askedCalendar(args);
  return {store.defaultCalendarForNewEvents(), asked.empty() ? "" : "no calendar " + asked};
}

// What a preview says of the calendar beyond what was asked for: the default standing in for a
// calendar asked for that finds nothing, or, before the user allows access (the store is then
// not read, as the platform's own store shows nothing), the default unless one is found then.
std::optional<std::string> calendarCaveat(const PlatformStores& stores,
                                          const nlohmann::json& args) {
  const std::string asked = askedCalendar(args);
  if (asked.empty()) return std::nullopt;
  if (stores.events.authorizationStatus(EntityType::event) != AuthorizationStatus::granted) {
    return uncheckedTarget("a calendar " + asked);
  }
  const CreateTarget target = newEventTarget(args, stores.data);
  if (target.unmatched.empty()) return std::nullopt;
  return shownTarget(target);
}

// The calendar line of the preview: the calendar the identifier names, else the name as sent,
// else the default calendar (read only once the user allows access); or the caveat.
std::string previewedCalendar(const PlatformStores& stores, const nlohmann::json& args) {
  if (auto caveat = calendarCaveat(stores, args)) return *caveat;
  const bool readable =
      stores.events.authorizationStatus(EntityType::event) == AuthorizationStatus::granted;
  const std::string id = stringArgOrEmpty(args, "calendar_id");
  const std::string name = stringArgOrEmpty(args, "calendar");
  if (!id.empty()) {
    if (auto calendar = stores.data.calendar(id)) return calendar->title;
  }
  if (!name.empty()) return name;
  if (!readable) return "(default)";
  return shownTarget({stores.data.defaultCalendarForNewEvents(), {}});
}

std::string createPreview(const PlatformStores& stores, const nlohmann::json& args,
                          const std::vector<std::string>& attendees) {
  const auto notes = stringArg(args, "notes");
  const auto location = stringArg(args, "location");
  return "Preview — Event to be created:\n  Title:     " +
         orText(stringArgOrEmpty(args, "title"), "(no title)") +
         "\n  Start:     " + stringArgOrEmpty(args, "start_date") +
         "\n  End:       " + stringArgOrEmpty(args, "end_date") +
         "\n  Calendar:  " + previewedCalendar(stores, args) +
         "\n  Notes:     " + notes.value_or("(none)") +
         "\n  Location:  " + location.value_or("(none)") +
         "\n  Attendees: " + (attendees.empty() ? "(none)" : Strings::joined(attendees, ", ")) +
         "\n\nTo confirm, call again with confirm: true";
}

Reply createConfirmed(PimStore& store, const nlohmann::json& args,
                      const std::vector<std::string>& attendees) {
  const std::string title = stringArgOrEmpty(args, "title");
  const std::string startText = stringArgOrEmpty(args, "start_date");
  const std::string endText = stringArgOrEmpty(args, "end_date");
  const auto start = parseISO8601(startText);
  if (!start) return error(invalidDate("start_date", startText));
  const auto end = parseISO8601(endText);
  if (!end) return error(invalidDate("end_date", endText));
  if (auto refused = skippedTimes(startText, endText)) return error(*refused);

  CreateTarget target = newEventTarget(args, store);
  Event event;
  event.title = title;
  event.start = *start;
  event.allDay = isDateOnly(startText) && isDateOnly(endText);
  event.end = event.allDay ? *end + days(1) : *end;
  event.notes = stringArgOrEmpty(args, "notes");
  event.location = stringArgOrEmpty(args, "location");
  event.calendarId = target.calendar ? target.calendar->id : std::string();

  auto saved = store.saveEvent(event, Span::thisEvent);
  if (!saved) return error("Cannot save event: " + saved.error().message);

  if (!target.calendar) target.calendar = store.calendar(saved.value().calendarId);
  const std::string calendarTitle = target.calendar ? target.calendar->title : std::string();
  nlohmann::json result{{"created", true},
                        {"id", saved.value().id},
                        {"title", title},
                        {"start", iso8601(*start)},
                        {"end", iso8601(*end)},
                        {"calendar", calendarTitle},
                        {"calendar_id", saved.value().calendarId}};
  if (!target.unmatched.empty()) {
    result["calendar_note"] =
        "Created in the default calendar, " + calendarTitle + ": " + target.unmatched + ".";
  }
  if (!attendees.empty()) {
    const std::string note = addAttendeesViaAppleScript(saved.value().id, attendees);
    result["attendees_requested"] = attendees;
    result["attendees_note"] = note.empty() ? "Invitations sent via Calendar.app" : note;
  }
  return ok(std::move(result));
}

std::string updatePreview(const Event& event, const std::string& id, const nlohmann::json& args) {
  const auto title = stringArg(args, "title");
  const auto start = stringArg(args, "start_date");
  const auto end = stringArg(args, "end_date");
  const auto notes = stringArg(args, "notes");
  const auto location = stringArg(args, "location");
  std::string text = "Preview — Changes to '" + orText(event.title, id.c_str()) + "':";
  if (title) text += "\n  Title:    " + event.title + " → " + *title;
  if (start) text += "\n  Start:    " + iso8601(event.start) + " → " + *start;
  if (end) text += "\n  End:      " + iso8601(event.end) + " → " + *end;
  if (notes) text += "\n  Notes:    → " + orText(*notes, "(cleared)");
  if (location) text += "\n  Location: → " + orText(*location, "(cleared)");
  if (!title && !start && !end && !notes && !location) text += "\n  (no changes specified)";
  return text + "\n\nCall again with confirm: true to apply.";
}

// A change that finds the event gone by the time it is made (another program removed it, or the
// occurrence is not in the series) answers as a missing event does, never as done.
Reply changeFailed(const char* prefix, const std::string& id, const PimError& failure) {
  if (failure.code == PimError::Code::notFound) return error("Event '" + id + "' not found");
  return error(prefix + failure.message);
}

Reply updateConfirmed(PimStore& store, const std::string& id, Event event,
                      const nlohmann::json& args) {
  const auto startText = stringArg(args, "start_date");
  const auto endText = stringArg(args, "end_date");
  // An unreadable date fails the whole change, so nothing is saved half-done.
  std::optional<PimTime> start, end;
  if (startText && !(start = parseISO8601(*startText))) {
    return error(invalidDate("start_date", *startText));
  }
  if (endText && !(end = parseISO8601(*endText))) return error(invalidDate("end_date", *endText));
  if (auto refused = skippedTimes(startText.value_or(""), endText.value_or(""))) {
    return error(*refused);
  }

  if (auto title = stringArg(args, "title")) event.title = *title;
  if (auto notes = stringArg(args, "notes")) event.notes = *notes;
  if (auto location = stringArg(args, "location")) event.location = *location;
  if (start) event.start = *start;
  if (end) {
    // Without a new start, the event's own start is a day or a time of day as it already is: an
    // all-day event given only a last day stays all-day.
    event.allDay = (startText ? isDateOnly(*startText) : event.allDay) && isDateOnly(*endText);
    event.end = event.allDay ? *end + days(1) : *end;
  }
  const Span span = stringArg(args, "span") == "future" ? Span::futureEvents : Span::thisEvent;
  auto saved = store.saveEvent(event, span);
  if (!saved) return changeFailed("Cannot update event: ", id, saved.error());
  nlohmann::json record = eventToDict(saved.value());
  record["updated"] = true;
  return ok(std::move(record));
}

// AppleScript string literals end at a double quote (and may at a curly one), escape with a
// backslash, and a line break or other control character would end the statement. Only plain
// visible ASCII without those two is ever placed inside one.
bool unsafeInScript(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7E || c == '"' || c == '\\') return true;
  }
  return false;
}

std::string withoutQuotes(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != '"') out += c;
  }
  return out;
}

std::string attendeeScript(const std::vector<std::string>& addresses, const std::string& uid) {
  std::string list;
  for (const auto& address : addresses) list += (list.empty() ? "\"" : ", \"") + address + "\"";
  return "tell application \"Calendar\"\n    set theEmails to {" + list +
         "}\n    set theUID to \"" + uid +
         "\"\n    repeat with cal in calendars\n        try\n            set matchingEvents to "
         "(events of cal whose uid is theUID)\n            if (count of matchingEvents) > 0 "
         "then\n                set theEvent to item 1 of matchingEvents\n                repeat "
         "with anEmail in theEmails\n                    make new attendee at end of attendees "
         "of theEvent with properties {address:anEmail}\n                end repeat\n          "
         "      return \"ok\"\n            end if\n        end try\n    end repeat\n    return "
         "\"event not found\"\nend tell";
}

// The empty text when the script added everyone, else why not.
std::string runAttendeeScript(const std::vector<std::string>& addresses, const std::string& uid,
                              double timeoutSeconds) {
  if (unsafeInScript(uid)) {
    return std::string(kAttendeesFailed) + "the event identifier cannot be sent";
  }
  const auto timeout = std::chrono::duration_cast<SubprocessClock::duration>(
      std::chrono::duration<double>(timeoutSeconds));
  const CompletedProcess run = ScriptHost::run(ScriptHost::ScriptLanguage::appleScript,
                                               attendeeScript(addresses, uid), timeout, true);
  if (!run.launched) {
    return kAttendeesFailed + ("cannot run " + ScriptHost::programPath() + ": ") + run.launchError;
  }
  const std::string output = ScriptText::decodeTrimmed(run.standardOutput);
  if (run.timedOut) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
    return kAttendeesFailed + std::string("the script was ended after ") + limit + " seconds" +
           (output.empty() ? "" : ": " + output);
  }
  if (!run.exit.signalled && run.exit.status == 0 && output == "ok") return {};
  return kAttendeesFailed + output;
}

}  // namespace

Reply calendarCreateEvent(PlatformStores& stores, const nlohmann::json& args) {
  const auto attendees = stringListArg(args, "attendees").value_or(std::vector<std::string>{});
  if (!confirmed(args)) return okText(createPreview(stores, args, attendees));
  if (stringArgOrEmpty(args, "title").empty() || stringArgOrEmpty(args, "start_date").empty() ||
      stringArgOrEmpty(args, "end_date").empty()) {
    return error("title, start_date, and end_date are required");
  }
  return withCalendarAccess(stores.events,
                            [&] { return createConfirmed(stores.data, args, attendees); });
}

Reply calendarForNewEvent(PlatformStores& stores, const nlohmann::json& args) {
  const auto caveat = calendarCaveat(stores, args);
  return ok(caveat ? nlohmann::json{{"calendar", *caveat}} : nlohmann::json::object());
}

Reply calendarUpdateEvent(PlatformStores& stores, const nlohmann::json& args) {
  const std::string id = stringArgOrEmpty(args, "event_id");
  if (id.empty()) return error("event_id is required");
  return withCalendarAccess(stores.events, [&] {
    PimUnreadable unreadable;
    auto event = stores.data.event(id, &unreadable);
    if (unreadable) return error("Cannot update event: " + *unreadable);
    if (!event) return error("Event '" + id + "' not found");
    if (!confirmed(args)) return okText(updatePreview(*event, id, args));
    return updateConfirmed(stores.data, id, *event, args);
  });
}

Reply calendarDeleteEvent(PlatformStores& stores, const nlohmann::json& args) {
  const std::string id = stringArgOrEmpty(args, "event_id");
  if (id.empty()) return error("event_id is required");
  if (!confirmed(args))
    return okText("To delete event '" + id + "', call again with confirm: true");
  return withCalendarAccess(stores.events, [&] {
    PimStore& store = stores.data;
    PimUnreadable unreadable;
    auto event = store.event(id, &unreadable);
    if (unreadable) return error("Cannot delete event: " + *unreadable);
    if (!event) return error("Event '" + id + "' not found");
    auto removed = store.removeEvent(id, Span::thisEvent);
    if (!removed) return changeFailed("Cannot delete event: ", id, removed.error());
    return okText("Event deleted: " + orText(event->title, id.c_str()));
  });
}

std::string addAttendeesViaAppleScript(std::string_view eventUID,
                                       const std::vector<std::string>& attendees,
                                       double timeoutSeconds) {
  if (attendees.empty() || eventUID.empty()) return {};
  std::vector<std::string> sendable, refusedAddresses;
  for (const auto& address : attendees) {
    if (unsafeInScript(address)) {
      refusedAddresses.push_back(address);
    } else {
      sendable.push_back(address);
    }
  }
  std::string note;
  if (!sendable.empty())
    note = runAttendeeScript(sendable, withoutQuotes(eventUID), timeoutSeconds);
  if (!refusedAddresses.empty()) {
    if (!note.empty()) note += "\n";
    note +=
        "Not added (an address may not hold a backslash, a quote, a control character or a "
        "character outside plain ASCII): " +
        Strings::joined(refusedAddresses, ", ");
  }
  return note;
}

}  // namespace tvrn::LocalData
