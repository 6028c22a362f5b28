#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/CalendarService.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono;
using LocalData::kMaxListingBytes;
using test::at;
using test::failureReply;

const std::string kAttendeesFailed =
    "Attendees could not be added: calendar may not support invitations. Error: ";

std::vector<std::string> titles(const json& reply) {
  std::vector<std::string> found;
  for (const auto& event : reply["result"]["events"]) found.push_back(event["title"]);
  return found;
}

// Work (CalDAV, the default), Home and Birthdays. A daily stand-up repeats five times from
// April 29; "Review" and "Lunch" start together on May 1, "Offsite" is all day on May 2.
class CalendarServiceTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
    test::startWithoutCollections();
  }

  void seed() {
    auto& store = data();
    Calendar work = test::calendarNamed("Work");
    work.type = CalendarType::calDAV;
    work.color = std::vector<double>{1.0, 0.5, 0.0};
    work_ = store.saveCalendar(work).value().id;
    home_ = store.saveCalendar(test::calendarNamed("Home")).value().id;
    birthdays_ = store.saveCalendar(test::calendarNamed("Birthdays")).value().id;
    EXPECT_TRUE(store.setDefaultCalendar(EntityType::event, work_));
    Event standUp =
        test::eventIn(work_, "Stand-up", "2024-04-29T08:00:00Z", "2024-04-29T08:15:00Z");
    standUp.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, 5, {}};
    add(standUp);
    review_ = add(test::eventIn(work_, "Review", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z"));
    add(test::eventIn(home_, "Lunch", "2024-05-01T09:00:00Z", "2024-05-01T09:30:00Z"));
    Event offsite = test::eventIn(home_, "Offsite", "2024-05-02", "2024-05-03");
    offsite.allDay = true;
    add(offsite);
  }

  std::string add(const Event& event) { return data().saveEvent(event).value().id; }

  // The one Work event that starts in the first hours of `day`.
  std::string standUpOn(const std::string& day) const {
    const auto found = data().events(at(day), at(day) + hours(9), std::vector<std::string>{work_});
    return found.size() == 1 ? found[0].id : "";
  }

  std::string work_, home_, birthdays_, review_;
};

TEST_F(CalendarServiceTest, NamesAndTheAnswerForEachPermissionState) {
  EXPECT_EQ(callData("list_calendar_names")["error"],
            "Calendars access appears granted but returned zero results. Open the TVRN tray's "
            "Permissions section → Calendars (without the tray: set \"calendar\" to \"granted\" "
            "in ~/.config/tavrin/pim/authorization.json), toggle tavrin-helper OFF and back ON.");
  seed();
  const json names = callData("list_calendar_names")["result"];
  EXPECT_EQ(names["count"], 3);
  EXPECT_EQ(names["calendars"][0],
            (json{{"id", work_}, {"title", "Work"}, {"color", "#FF7F00"}, {"type", "local"}}));

  const std::string denied =
      "Calendar access denied.\n\nOpen the TVRN tray's Permissions section → Calendar (without "
      "the tray: set \"calendar\" to \"granted\" in ~/.config/tavrin/pim/authorization.json) "
      "and turn ON the toggle for **Tavrin**.";
  const std::string writeOnly = "Calendar permission is set to **Write Only**";
  const std::string notYet = "Calendar access hasn't been granted yet.";
  const struct {
    AuthorizationStatus status;
    bool userAllows;
    std::string names, events;  // how the permission failure begins
  } cases[] = {
      {AuthorizationStatus::denied, true, denied, denied},
      // Listing names never asks for more than write-only; reading events asks for full access.
      {AuthorizationStatus::writeOnly, false, writeOnly, denied},
      {AuthorizationStatus::notDetermined, false, notYet, notYet},
  };
  for (const auto& c : cases) {
    for (const auto& [method, expected] :
         {std::pair{"list_calendar_names", c.names}, std::pair{"list_calendar_events", c.events}}) {
      // Each call starts from the case's state: an answer is recorded for the next one.
      EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, c.status));
      gate.setPrompt([&c](PrivacyEntity, PrivacyGate::Answer answer) { answer(c.userAllows); });
      const json reply = callData(method);
      EXPECT_EQ(reply["error"].get<std::string>().rfind(expected, 0), 0u) << method << reply;
      EXPECT_EQ(reply["permission"], true) << method << " " << toRaw(c.status);
    }
  }

  // Once the server stops, a call that reads the store answers an error, never what the store
  // had read by then; the permission probes still answer.
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
  data().stop();
  const json stopping = failureReply(
      "The server is stopping and no longer reads the calendars, reminders and contacts; try "
      "again once it has started.");
  for (const char* method : {"list_calendar_names", "list_calendar_events", "list_reminders",
                             "list_contacts", "delete_calendar_event"}) {
    EXPECT_EQ(callData(method, {{"event_id", review_}, {"confirm", true}}), stopping) << method;
  }
  EXPECT_EQ(callData("probe_calendar_tcc")["result"]["calendar"], "authorized");
}

// A bare day bounding a listing is the user's day; an all-day event is its own days in any zone.
TEST_F(CalendarServiceTest, ABareDayIsTheLocalDayAndAllDayEventsKeepTheirDate) {
  ::setenv("TZ", "America/Los_Angeles", 1);
  ::tzset();
  const std::string home = data().saveCalendar(test::calendarNamed("Home")).value().id;
  add(test::eventIn(home, "Dinner", "2026-12-11T04:00:00Z", "2026-12-11T05:00:00Z"));  // 20:00
  Event fair = test::eventIn(home, "Fair", "2026-12-11", "2026-12-12");
  fair.allDay = true;
  add(fair);
  const struct {
    const char* day;
    std::vector<std::string> titles;
  } days[] = {{"2026-12-10", {"Dinner"}}, {"2026-12-11", {"Fair"}}, {"2026-12-12", {}}};
  for (const auto& d : days) {
    const json reply =
        callData("list_calendar_events", {{"start_date", d.day}, {"end_date", d.day}});
    EXPECT_EQ(titles(reply), d.titles) << d.day;
  }
  const json listed = callData(
      "list_calendar_events", {{"start_date", "2026-12-11"}, {"end_date", "2026-12-11"}})["result"];
  EXPECT_EQ(listed["start_date"], "2026-12-11T08:00:00Z");
  EXPECT_EQ(listed["events"][0]["start"], "2026-12-11T00:00:00Z");
  EXPECT_EQ(listed["events"][0]["end"], "2026-12-11T00:00:00Z");  // its last day
  ::setenv("TZ", "UTC", 1);
  ::tzset();
}

TEST_F(CalendarServiceTest, EventsInARangeAcrossCalendarsWithFiltersAndTheLimit) {
  seed();
  const json range{{"start_date", "2024-05-01"}, {"end_date", "2024-05-03"}};
  const json reply = callData("list_calendar_events", range);
  const std::vector<std::string> all = {"Stand-up", "Review", "Lunch", "Offsite", "Stand-up"};
  ASSERT_EQ(titles(reply), all);  // by start; Review and Lunch in store order
  const json& events = reply["result"]["events"];
  EXPECT_EQ(events[3]["end"], "2024-05-02T00:00:00Z");  // an all-day event ends with its last day
  EXPECT_EQ(reply["result"]["end_date"], "2024-05-03T00:00:00Z");

  const std::pair<json, std::vector<std::string>> filters[] = {
      {{{"calendar_id", home_}}, {"Lunch", "Offsite"}},
      {{{"calendar_ids", {"unknown"}}}, {}},  // never widened to every calendar
      {{{"calendar", "WOR"}, {"calendar_ids", {birthdays_}}}, {"Stand-up", "Review", "Stand-up"}},
  };
  for (const auto& [filter, expected] : filters) {
    json args = range;
    args.update(filter);
    EXPECT_EQ(titles(callData("list_calendar_events", args)), expected) << filter;
  }
  EXPECT_EQ(callData("list_calendar_events", {{"calendar", "Gym"}}),
            failureReply("No calendar matching 'Gym' found. Available: Work, Home, Birthdays. Use "
                         "list_calendar_names to see all calendars."));

  // By default, from now for a week; so too from a date it cannot read, or that names no day.
  for (const char* unread : {"soon", "2031-02-29"}) {
    const json week = callData("list_calendar_events", {{"start_date", unread}})["result"];
    EXPECT_LT(abs(at(week["start_date"]) - system_clock::now()), minutes(1)) << unread;
    EXPECT_EQ(at(week["end_date"]) - at(week["start_date"]), days(7)) << unread;
  }
  // Dates it reads but holds no events for are refused, naming them, rather than read as now.
  const std::pair<json, std::string> outside[] = {
      {{{"start_date", "2300-01-01"}, {"end_date", "2300-01-08"}},
       "start_date '2300-01-01' and end_date '2300-01-08' are"},
      {{{"start_date", "1650-06-01T09:00:00Z"}}, "start_date '1650-06-01T09:00:00Z' is"},
      {{{"end_date", "2261-12-31T23:59:59-12:00"}}, "end_date '2261-12-31T23:59:59-12:00' is"},
  };
  for (const auto& [args, named] : outside) {
    EXPECT_EQ(
        callData("list_calendar_events", args),
        failureReply(named + " outside the years the calendars are read for (1700 to 2261). Ask "
                             "for dates within them."));
  }

  Event daily = test::eventIn(birthdays_, "Daily", "2024-01-01T12:00:00Z", "2024-01-01T12:30:00Z");
  daily.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, 150, {}};
  add(daily);
  const std::string centuries = data().saveCalendar(test::calendarNamed("Centuries")).value().id;
  Event longest = test::eventIn(centuries, "Long", "1800-01-01T12:00:00Z", "1800-01-01T12:30:00Z");
  longest.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, 100000, {}};
  add(longest);
  constexpr size_t kFull = SIZE_MAX;  // as many as one reply holds
  const struct {
    json extra;
    size_t count;
    size_t matched;  // 0: none left out
  } limits[] = {
      {json::object(), 100, 150},
      {{{"max_results", -5}}, 0, 150},
      {{{"end_date", "2024-04-10"}}, 100, 0},  // exactly 100 match
      {{{"calendar_id", centuries},
        {"start_date", "1800-01-01"},
        {"end_date", "2100-01-01"},
        {"max_results", 1000000}},
       kFull,
       100000},
  };
  // A listing cut at its limit says how many it left out and how to see them.
  EXPECT_EQ(callData("list_calendar_events", {{"calendar_id", birthdays_},
                                              {"start_date", "2024-01-01"},
                                              {"end_date", "2025-01-01"}})["result"]["note"],
            "Only the first 100 of 150 events are listed; 50 were left out. To see them, ask for a "
            "shorter range (start_date, end_date) or a higher limit (max_results).");
  for (const auto& c : limits) {
    json args{
        {"calendar_id", birthdays_}, {"start_date", "2024-01-01"}, {"end_date", "2025-01-01"}};
    args.update(c.extra);
    const json result = callData("list_calendar_events", args)["result"];
    const size_t count = c.count == kFull ? result["events"].size() : c.count;
    EXPECT_EQ(result["events"].size(), count) << c.extra;
    EXPECT_EQ(result["count"], count) << c.extra;
    EXPECT_EQ(result.value("total_matched", 0), c.matched) << c.extra;
    EXPECT_EQ(result.value("truncated", false), c.matched > 0) << c.extra;
    EXPECT_EQ(result.contains("note"), c.matched > 0) << c.extra;
    // The tool's text, escaped again in the message that carries it, stays within the bound
    // with no room left for three more records.
    const size_t sent = json(result.dump(2)).dump().size();
    EXPECT_LE(sent, kMaxListingBytes) << c.extra;
    if (c.count != kFull) continue;
    EXPECT_GT(sent + 3 * json(result["events"].back().dump(2)).dump().size(), kMaxListingBytes);
    const std::time_t next = -5364619200 + static_cast<std::time_t>(count) * 86400;  // 1800 on
    char starts[32];
    std::tm tm{};
    std::strftime(starts, sizeof starts, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&next, &tm));
    EXPECT_EQ(result["note"], "Only the first " + std::to_string(count) +
                                  " of 100000 events fit in one reply (at most 4 MiB); " +
                                  std::to_string(100000 - count) +
                                  " were left out. To see them, ask for a shorter range "
                                  "(start_date, end_date): the first one left out starts at " +
                                  starts + ".");
  }
}

TEST_F(CalendarServiceTest, AListingOverCenturiesOfDailyEventsStopsCountingAtTheCap) {
  const std::string daily = data().saveCalendar(test::calendarNamed("Daily")).value().id;
  for (int i = 0; i < 20; ++i) {
    const std::string uid = "d" + std::to_string(i);
    test::writeItem(
        daily, uid + ".ics",
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
            "\r\nDTSTART;VALUE=DATE:17000102\r\nDTEND;VALUE=DATE:17000103\r\n"
            "RRULE:FREQ=DAILY\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
  }

  const json result = callData(
      "list_calendar_events",
      {{"start_date", "1700-01-01"}, {"end_date", "2261-12-31"}, {"max_results", 1}})["result"];
  ASSERT_EQ(result["events"].size(), 1u);
  EXPECT_EQ(result["events"][0]["id"], "d0/17000102");
  EXPECT_EQ(result["count"], 1);
  EXPECT_EQ(result["truncated"], true);
  EXPECT_EQ(result["total_matched"], kMaxMatchedEvents);  // read as "at least"
  EXPECT_EQ(result["note"],
            "Only the first 1 of at least 100000 events are listed; at least 99999 were left "
            "out. To see them, ask for a shorter range (start_date, end_date) or a higher limit "
            "(max_results).");
}

std::string skipped(const std::string& key, const std::string& at) {
  return "Invalid " + key + " '2027-03-28T" + at +
         "': the clock goes from 02:00 straight to 03:00 on "
         "2027-03-28 (Europe/Berlin), so that time does not exist there. Give a time before 02:00 "
         "or from 03:00 on, or the time with its offset from UTC, such as 2027-03-28T" +
         at + "+01:00.";
}

TEST_F(CalendarServiceTest, CreatePreviewsUntilConfirmedAndDaysMakeAnAllDayEvent) {
  seed();
  EXPECT_EQ(callData("create_calendar_event", {{"start_date", "2024-05-01T09:00:00"},
                                               {"calendar_id", home_},
                                               {"notes", ""},
                                               {"attendees", {"a@example.com", "b@example.com"}},
                                               {"confirm", "true"}})["text"],
            "Preview — Event to be created:\n  Title:     (no title)\n  Start:     "
            "2024-05-01T09:00:00\n  End:       \n  Calendar:  Home\n  Notes:     \n  "
            "Location:  (none)\n  Attendees: a@example.com, b@example.com\n\nTo confirm, call "
            "again with confirm: true");
  EXPECT_EQ(
      callData("create_calendar_event", {{"title", "T"}, {"start_date", "x"}, {"confirm", true}}),
      failureReply("title, start_date, and end_date are required"));

  const json args{{"title", "Holiday"},
                  {"start_date", "2024-06-10"},
                  {"end_date", "2024-06-11"},
                  {"calendar", "Gym"},
                  {"confirm", true}};
  const json created = callData("create_calendar_event", args)["result"];
  EXPECT_EQ(created, (json{{"created", true},
                           {"id", created["id"]},
                           {"title", "Holiday"},
                           {"start", "2024-06-10T00:00:00Z"},
                           {"end", "2024-06-11T00:00:00Z"},
                           {"calendar", "Work"},
                           {"calendar_id", work_},
                           {"calendar_note",
                            "Created in the default calendar, Work: no calendar matches 'Gym'."}}));
  const Event holiday = *data().event(created["id"].get<std::string>());
  EXPECT_TRUE(holiday.allDay);
  EXPECT_EQ(holiday.end, at("2024-06-12"));
  EXPECT_EQ(holiday.calendarId, work_);  // no calendar of that name: the default

  for (const auto& [field, value, message] :
       {std::tuple{"start_date", "tomorrow", test::invalidDate("start_date", "tomorrow")},
        std::tuple{"start_date", "2026-13-40", test::invalidDate("start_date", "2026-13-40")},
        std::tuple{"start_date", "2261-12-31T23:59:59-12:00",
                   test::invalidDate("start_date", "2261-12-31T23:59:59-12:00")},
        std::tuple{"end_date", "2024-06-10 10:00",
                   test::invalidDate("end_date", "2024-06-10 10:00")},
        std::tuple{"end_date", "2024-06-09T10:00:00Z",
                   std::string("Cannot save event: The event ends before it starts.")},
        // A time Berlin's clock skips as it goes forward is none an event can have.
        std::tuple{"start_date", "2027-03-28T02:30:00", skipped("start_date", "02:30:00")},
        std::tuple{"end_date", "2027-03-28T02:00:00", skipped("end_date", "02:00:00")}}) {
    json bad = args;
    bad[field] = value;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    EXPECT_EQ(callData("create_calendar_event", bad), failureReply(message));
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  EXPECT_EQ(data().events(at("2024-06-01"), at("2024-07-01")).size(), 1u);
}

TEST_F(CalendarServiceTest, UpdateAndDeletePreviewThenApply) {
  seed();
  EXPECT_EQ(callData("update_calendar_event", {{"event_id", "gone"}}),
            failureReply("Event 'gone' not found"));
  const json change{{"event_id", review_},
                    {"title", "Retro"},
                    {"end_date", "2024-05-02"},
                    {"notes", ""},
                    {"location", "Hall"}};
  EXPECT_EQ(callData("update_calendar_event", change)["text"],
            "Preview — Changes to 'Review':\n  Title:    Review → Retro\n  End:      "
            "2024-05-01T10:00:00Z → 2024-05-02\n  Notes:    → (cleared)\n  Location: → Hall\n\n"
            "Call again with confirm: true to apply.");

  // An unreadable date fails the whole change.
  json apply = change;
  apply["confirm"] = true;
  for (const char* field : {"start_date", "end_date"}) {
    json bad = apply;
    bad[field] = "2024-05-01 12:00";
    EXPECT_EQ(callData("update_calendar_event", bad),
              failureReply(test::invalidDate(field, "2024-05-01 12:00")));
    EXPECT_EQ(data().event(review_)->title, "Review");
  }
  // Only the end given, as a day: the start keeps its time of day, so the event stays timed.
  EXPECT_EQ(callData("update_calendar_event", apply)["result"],
            (json{{"id", review_},
                  {"title", "Retro"},
                  {"start", "2024-05-01T09:00:00Z"},
                  {"end", "2024-05-02T00:00:00Z"},
                  {"all_day", false},
                  {"location", "Hall"},
                  {"notes", ""},
                  {"calendar", "Work"},
                  {"calendar_id", work_},
                  {"updated", true}}));

  // Given only a last day, an all-day event, an occurrence and a series from one on stay all-day.
  Event leave = test::eventIn(home_, "Leave", "2024-07-01", "2024-07-02");
  leave.allDay = true;
  const std::string alone = add(leave);
  leave.recurrence = RecurrenceRule{RecurrenceFrequency::weekly, 1, 3, {}};
  const std::string second = add(leave).substr(0, 36) + "/20240708";
  for (const auto& [id, span, last] : {std::tuple{alone, "", "2024-07-03"},
                                       {second, "", "2024-07-09"},
                                       {second, "future", "2024-07-10"}}) {
    const json reply =
        callData("update_calendar_event",
                 {{"event_id", id}, {"end_date", last}, {"span", span}, {"confirm", true}});
    EXPECT_EQ(reply.value("result", json::object()).value("end", ""),
              std::string(last) + "T00:00:00Z")
        << reply;
    EXPECT_EQ(reply.value("result", json::object()).value("all_day", false), true) << reply;
  }

  // One occurrence alone, then this and every later one; then one removed.
  callData("update_calendar_event",
           {{"event_id", standUpOn("2024-05-01")}, {"title", "Once"}, {"confirm", true}});
  callData("update_calendar_event", {{"event_id", standUpOn("2024-05-02")},
                                     {"title", "Sync"},
                                     {"span", "future"},
                                     {"confirm", true}});
  EXPECT_EQ(callData("delete_calendar_event", {{"event_id", "gone"}}),
            test::textReply("To delete event 'gone', call again with confirm: true"));
  EXPECT_EQ(
      callData("delete_calendar_event", {{"event_id", standUpOn("2024-04-30")}, {"confirm", true}}),
      test::textReply("Event deleted: Stand-up"));
  std::vector<std::string> series;
  for (const char* day : {"2024-04-29", "2024-04-30", "2024-05-01", "2024-05-02", "2024-05-03"}) {
    const auto event = data().event(standUpOn(day));
    series.push_back(event ? event->title : "-");
  }
  EXPECT_EQ(series, (std::vector<std::string>{"Stand-up", "-", "Once", "Sync", "Sync"}));
}

TEST_F(CalendarServiceTest, AttendeesAreInvitedByScriptButNeverWithWhatCouldBreakOut) {
  seed();
  const auto argv = test::home() / "osascript-argv.jsonl";
  ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  ::setenv("FAKE_OSASCRIPT_ARGV", argv.c_str(), 1);
  const auto invite = [this](const json& attendees, const std::string& directive) {
    ::setenv("FAKE_OSASCRIPT_DIRECTIVE", directive.c_str(), 1);
    const json reply = callData("create_calendar_event", {{"title", "Planning"},
                                                          {"start_date", "2024-06-03T09:00:00Z"},
                                                          {"end_date", "2024-06-03T10:00:00Z"},
                                                          {"attendees", attendees},
                                                          {"confirm", true}});
    EXPECT_TRUE(data().event(reply["result"].value("id", "")));
    return reply["result"];
  };
  const auto lastScript = [&argv] {
    std::istringstream lines(test::readFile(argv));
    std::string line, last;
    while (std::getline(lines, line)) last = json::parse(line).back();
    return last;
  };

  const json sent = invite({"ann@example.com", "bob@example.com"}, R"({"stdout": "ok"})");
  EXPECT_EQ(sent["attendees_note"], "Invitations sent via Calendar.app");
  EXPECT_NE(lastScript().find("set theEmails to {\"ann@example.com\", \"bob@example.com\"}\n    "
                              "set theUID to \"" +
                              sent["id"].get<std::string>() + "\"\n"),
            std::string::npos);

  // Curly quotes may end an AppleScript string too, so nothing beyond plain ASCII is sent.
  const json partly = invite(
      {"ann@example.com", "x\\\" & do shell script \"id", "eve@ex\nample.com", "bo\"b@example.com",
       "\u201cann\u201d@example.com", "jos\u00e9@example.com", "a b@example.com"},
      R"({"stdout": "event not found"})");
  EXPECT_EQ(partly["attendees_note"],
            kAttendeesFailed +
                "event not found\nNot added (an address may not hold a backslash, a quote, a "
                "control character or a character outside plain ASCII): x\\\" & do shell script "
                "\"id, eve@ex\nample.com, bo\"b@example.com, \u201cann\u201d@example.com, "
                "jos\u00e9@example.com, a b@example.com");
  EXPECT_NE(lastScript().find("set theEmails to {\"ann@example.com\"}\n"), std::string::npos);

  ::setenv("TVRN_OSASCRIPT", (test::home() / "no-osascript").c_str(), 1);
  const std::string missing = invite({"ann@example.com"}, "{}")["attendees_note"];
  EXPECT_EQ(missing.rfind(kAttendeesFailed, 0), 0u);
  EXPECT_NE(missing.find("cannot run " + (test::home() / "no-osascript").string()),
            std::string::npos);

  ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  ::setenv("FAKE_OSASCRIPT_DIRECTIVE", R"({"stdout": "ok", "delay_ms": 20000})", 1);
  const auto started = steady_clock::now();
  EXPECT_EQ(LocalData::addAttendeesViaAppleScript("E1", {"ann@example.com"}, 0.2),
            kAttendeesFailed + "the script was ended after 0.2 seconds");
  EXPECT_LT(steady_clock::now() - started, seconds(10));
}

}  // namespace
}  // namespace tvrn
