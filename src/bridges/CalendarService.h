// The calendar half of the personal-data service: listing calendars and events, creating,
// changing and deleting events, and the calendar permission gate every one of them passes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridges/LocalDataReply.h"
#include "bridges/PlatformStores.h"
#include "core/Timeouts.h"
#include "pim/PimTypes.h"

namespace tvrn::LocalData {

// Runs `work` when calendar access is (or, after asking the user, becomes) full access;
// otherwise answers the permission failure without running it.
Reply withCalendarAccess(const EventStore& events, const std::function<Reply()>& work);

// The event as a reply record: id, title, start, end, all_day, location, notes, calendar,
// calendar_id and, when it has any, attendees. An all-day event's end is its last day.
nlohmann::json eventToDict(const Event& event);

// "list_calendar_names": {"calendars": [{"id", "title", "color", "type"}], "count"}.
Reply calendarListNames(PlatformStores& stores);
// "list_calendar_events": events overlapping a date range (default now to now + 7 days),
// optionally from chosen calendars, sorted by start, at most "max_results" (default 100). A range
// holding more than kMaxMatchedEvents (PimStore.h) is counted only that far: "truncated" is true
// and "total_matched" then means at least that many.
Reply calendarListEvents(PlatformStores& stores, const nlohmann::json& args);
// "probe_calendar_tcc": the status word, or "requested" after starting a request without
// waiting for it.
Reply probeCalendarTCC(PlatformStores& stores);

// "create_calendar_event", "update_calendar_event", "delete_calendar_event": a text preview
// without "confirm": true, the change with it.
Reply calendarCreateEvent(PlatformStores& stores, const nlohmann::json& args);
Reply calendarUpdateEvent(PlatformStores& stores, const nlohmann::json& args);
Reply calendarDeleteEvent(PlatformStores& stores, const nlohmann::json& args);
// "calendar_for_new_event", for a preview answered outside the service: {"calendar": what it is
// to say of the calendar} where that is not simply the one asked for (the default standing in for
// one that finds nothing, or the default unless it is found once access is allowed); {} where
// the preview need say nothing. Reads nothing of the store before the user allows access.
Reply calendarForNewEvent(PlatformStores& stores, const nlohmann::json& args);

// Invites `attendees` to the event through the Calendar application's scripting. Answers the
// empty text when every address was added, else a note saying what went wrong and which
// addresses were not sent (an address holding a backslash, a quote, a control character or a
// character outside plain ASCII never is).
std::string addAttendeesViaAppleScript(std::string_view eventUID,
                                       const std::vector<std::string>& attendees,
                                       double timeoutSeconds = Timeouts::jxaDefault);

}  // namespace tvrn::LocalData
