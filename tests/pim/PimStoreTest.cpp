#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pim/PimCodec.h"
#include "pim/PimDocument.h"
#include "pim/PimStore.h"
#include "platform/Paths.h"
#include "support/Eventually.h"
#include "support/ScopedUmask.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

// What a store call made. One that failed fails the test with the store's message and ends it
// (the test framework reports the exception), instead of ending the whole test program.
template <typename T>
T valueOf(Result<T, PimError> result) {
  if (!result.ok()) throw std::runtime_error("the store refused: " + result.error().message);
  return std::move(result).value();
}

std::string ics(const std::string& components) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\n" + components +
         "END:VCALENDAR\r\n";
}

std::string vevent(const std::string& uid, const std::string& lines) {
  return "BEGIN:VEVENT\r\nUID:" + uid + "\r\nDTSTAMP:20240101T000000Z\r\n" + lines +
         "END:VEVENT\r\n";
}

Calendar named(const std::string& title) {
  Calendar calendar;
  calendar.title = title;
  return calendar;
}

void useZone(const char* zone) {
  ::setenv("TZ", zone, 1);
  ::tzset();
}

std::vector<std::string> titlesOf(const std::vector<Event>& events) {
  std::vector<std::string> titles;
  for (const auto& e : events) titles.push_back(e.title);
  return titles;
}

std::vector<std::string> startsOf(const std::vector<Event>& events) {
  std::vector<std::string> starts;
  for (const auto& e : events) starts.push_back(PimCodec::instantText(e.start));
  return starts;
}

// A store over the default folders of a private HOME, with the warnings it gives kept.
class PimStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useZone("UTC");
    calendar_ = store_.defaultCalendarForNewEvents().value().id;
  }
  void TearDown() override { fs::remove(Paths::appSupport() / "config.json"); }

  // Where the test's stores report: into warnings_.
  std::function<void(const std::string&)> keepWarnings() {
    return [this](const std::string& line) { warnings_.push_back(line); };
  }

  Event eventIn(const std::string& title, const std::string& start, const std::string& end) {
    Event event;
    event.calendarId = calendar_;
    event.title = title;
    event.start = at(start);
    event.end = at(end);
    return event;
  }

  fs::path fileOf(const std::string& id) const {
    return fs::path(calendar_) / (id.substr(0, id.find('/')) + ".ics");
  }

  std::vector<Event> may(const std::string& from = "2024-05-01",
                         const std::string& to = "2024-06-01") {
    return store_.events(at(from), at(to));
  }

  // What a test plays just before the store replaces an item file.
  std::function<void(const fs::path&)> beforeReplace_;
  // A folder of its own, so tests run in one process do not meet.
  PimStore store_{test::home() / ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                  {.beforeReplace =
                       [this](const fs::path& file) {
                         if (beforeReplace_) beforeReplace_(file);
                       },
                   .warn = keepWarnings()}};
  std::string calendar_;
  std::vector<std::string> warnings_;
};

TEST_F(PimStoreTest, AFreshStoreHasACalendarAndAReminderListToCreateIn) {
  EXPECT_EQ(store_.defaultCalendarForNewEvents()->title, "Calendar");
  const auto list = store_.defaultCalendarForNewReminders().value();
  EXPECT_EQ(list.title, "Reminders");
  EXPECT_EQ(list.entityType, EntityType::reminder);

  const Event saved =
      valueOf(store_.saveEvent(eventIn("Dentist", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z")));
  const std::string file = test::readFile(fileOf(saved.id));
  EXPECT_EQ(file.rfind("BEGIN:VCALENDAR", 0), 0u) << file;
  EXPECT_NE(file.find("SUMMARY:Dentist"), std::string::npos) << file;
  EXPECT_NE(file.find("DTSTART:20240501T090000Z"), std::string::npos) << file;

  Reminder milk;
  milk.listId = list.id;
  milk.title = "Milk";
  milk.dueDateComponents = DateComponents{2024, 5, 3, {}, {}};
  milk.priority = 1;
  const Reminder stored = valueOf(store_.saveReminder(milk));
  const std::string task = test::readFile(fs::path(list.id) / (stored.id + ".ics"));
  for (const char* line : {"BEGIN:VTODO", "DUE;VALUE=DATE:20240503", "PRIORITY:1"}) {
    EXPECT_NE(task.find(line), std::string::npos) << task;
  }
}

// Another program's file is its own: a change touches only the properties it concerns, and a
// file changed on disk since it was read is changed as it now is.
TEST_F(PimStoreTest, AChangeKeepsWhatItDoesNotTouchAndWhatAnotherProgramWroteMeanwhile) {
  const fs::path file = fs::path(calendar_) / "theirs.ics";
  test::writeFile(file, ics(vevent("theirs",
                                   "SUMMARY:Review\r\nDTSTART:20240502T090000Z\r\n"
                                   "DTEND:20240502T100000Z\r\nX-OTHER-APP:keep me\r\n"
                                   "ATTENDEE;CN=Bo;PARTSTAT=ACCEPTED:mailto:bo@example.com\r\n"
                                   "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Soon\r\n"
                                   "TRIGGER:-PT15M\r\nEND:VALARM\r\n")));
  Event wanted = store_.event("theirs").value();
  EXPECT_EQ(wanted.attendees.at(0).status, ParticipantStatus::accepted);

  // Rewritten by the other program after we read it: a location added.
  std::string now = test::readFile(file);
  now.insert(now.find("X-OTHER-APP"), "LOCATION:Room 4\r\n");
  test::writeFile(file, now);

  wanted.title = "Retro";
  ASSERT_TRUE(store_.saveEvent(wanted).ok());
  const std::string saved = test::readFile(file);
  for (const char* kept : {"SUMMARY:Retro", "LOCATION:Room 4", "X-OTHER-APP:keep me",
                           "BEGIN:VALARM", "TRIGGER:-PT15M", "mailto:bo@example.com"}) {
    EXPECT_NE(saved.find(kept), std::string::npos) << kept << "\n" << saved;
  }
  EXPECT_EQ(saved.find("Review"), std::string::npos);
}

// One bad file must not hide the others, and must not be written over.
TEST_F(PimStoreTest, AFileThatDoesNotReadIsSkippedWithOneWarningAndLeftAsItIs) {
  const fs::path folder = calendar_;
  test::writeFile(folder / "a.ics", ics(vevent("a", "SUMMARY:A\r\nDTSTART:20240501T090000Z\r\n")));
  test::writeFile(folder / "b.ics", "not a calendar at all");
  test::writeFile(folder / "c.ics", ics("BEGIN:VEVENT\r\nSUMMARY:No UID\r\n"
                                        "DTSTART:20240501T090000Z\r\nEND:VEVENT\r\n"));
  test::writeFile(folder / "d.ics", ics(vevent("d", "SUMMARY:D\r\nDTSTART:20240502T090000Z\r\n")));
  test::writeFile(folder / "e.ics", ics(vevent("e", "SUMMARY:E\r\nDTSTART:99990101T000000Z\r\n")));
  // A changed occurrence on a day that does not exist: the series is listed without it.
  test::writeFile(
      folder / "f.ics",
      ics(vevent("f", "SUMMARY:F\r\nDTSTART:20240503T090000Z\r\nRRULE:FREQ=DAILY;COUNT=2\r\n") +
          vevent("f",
                 "RECURRENCE-ID:20240504T090000Z\r\nSUMMARY:Moved\r\n"
                 "DTSTART:20240230T090000\r\n")));
  // Ten million seconds from New Year: too many to count to May in one listing.
  test::writeFile(folder / "g.ics", ics(vevent("g",
                                               "SUMMARY:G\r\nDTSTART:20240101T000000Z\r\n"
                                               "RRULE:FREQ=SECONDLY;COUNT=20000000\r\n")));
  test::writeFile(folder / "h.ics", ics(vevent("h",
                                               "SUMMARY:H\r\nDTSTART:20240501T100000Z\r\n"
                                               "RRULE:FREQ=DAILY;COUNT=3;BYDAY=-1FR\r\n")));

  // Month 37, which libical carries into 2264, past the years the store keeps.
  test::writeFile(folder / "i.ics", ics(vevent("i",
                                               "SUMMARY:I\r\nDTSTART:20240531T110000Z\r\n"
                                               "RRULE:FREQ=DAILY;UNTIL=22613708T000000Z\r\n")));

  const std::vector<std::string> titles = {"A", "H", "D", "F", "H", "F", "H", "H", "I"};
  EXPECT_EQ(titlesOf(store_.events(at("2024-05-01"), at("2024-06-01"))), titles);
  EXPECT_EQ(titlesOf(may()), titles);
  EXPECT_EQ(warnings_.size(), 7u);
  for (const auto& [file, text] :
       {std::pair{"i.ics",
                  ": its rule RRULE:FREQ=DAILY;UNTIL=22613708T000000Z ends at no day there is "
                  "(UNTIL=22613708T000000Z), and is read without an end; its occurrences are "
                  "listed so, and the file is left as it is"},
        {"h.ics",
         ": its rule RRULE:FREQ=DAILY;COUNT=3;BYDAY=-1FR names BYDAY=-1FR (allowed only in "
         "monthly and yearly rules, read as every FR); its occurrences are listed so, and the "
         "file is left as it is"},
        {"f.ics",
         ": the VEVENT of line 11 (UID f) is left out: its DTSTART:20240230T090000 is no time "
         "the store can hold; the rest is listed, and the file is left as it is"}}) {
    const std::string warning = "Personal data file " + (folder / file).string() + text;
    EXPECT_NE(std::find(warnings_.begin(), warnings_.end(), warning), warnings_.end()) << warning;
  }
  for (const char* name : {"b.ics", "c.ics", "e.ics", "f.ics", "g.ics", "h.ics", "i.ics"}) {
    EXPECT_EQ(std::count_if(warnings_.begin(), warnings_.end(),
                            [&](const std::string& w) { return w.find(name) != w.npos; }),
              1)
        << name;
  }
  // Replaced the way other programs write their files.
  test::writeFile(folder / ".b.tmp", "still not a calendar");
  fs::rename(folder / ".b.tmp", folder / "b.ics");
  may();
  EXPECT_EQ(warnings_.size(), 8u);  // once more for the change
  EXPECT_EQ(test::readFile(folder / "b.ics"), "still not a calendar");
}

TEST_F(PimStoreTest, TwoItemsWithOneUidAreBothListedAndChangedOnlyByTheirOwnId) {
  const Calendar other = valueOf(store_.saveCalendar(named("Other")));
  test::writeFile(fs::path(calendar_) / "one.ics",
                  ics(vevent("same", "SUMMARY:First\r\nDTSTART:20240501T090000Z\r\n")));
  test::writeFile(fs::path(other.id) / "two.ics",
                  ics(vevent("same", "SUMMARY:Second\r\nDTSTART:20240502T090000Z\r\n")));
  const auto listed = may();
  ASSERT_EQ(titlesOf(listed), (std::vector<std::string>{"First", "Second"}));
  EXPECT_NE(listed[0].id, listed[1].id);
  EXPECT_FALSE(store_.event("same"));
  EXPECT_TRUE(warnings_.empty());

  Event changed = listed[1];
  changed.title = "Changed";
  EXPECT_TRUE(store_.saveEvent(changed).ok());
  EXPECT_EQ(titlesOf(may()), (std::vector<std::string>{"First", "Changed"}));
}

// Dates the store cannot hold are refused before anything is written, so later listings work.
TEST_F(PimStoreTest, DatesOutsideTheStoredYearsAreRefusedBeforeSaving) {
  const Event saved =
      valueOf(store_.saveEvent(eventIn("Kept", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z")));
  const std::string before = test::readFile(fileOf(saved.id));
  const PimTime first = sys_days(year(kPimFirstYear) / January / 1);
  const PimTime last = sys_days(year(kPimLastYear) / December / 31);
  const struct {
    const char* what;
    PimTime start, end;
    bool allDay;
    std::optional<PimTime> until;
  } cases[] = {
      {"before the first year", first - hours(1), first + hours(1), false, {}},
      {"after the last year", last, last + days(2), false, {}},
      {"an all-day last day ending past it", last, last + hours(1), true, {}},
      {"an end of repetition past it", last, last + hours(1), false, last + days(50)},
      {"the ends of a clock", PimTime::min(), PimTime::max(), false, {}},
      {"the first year to the last", first, last, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Event event = saved;
    event.start = c.start;
    event.end = c.end;
    event.allDay = c.allDay;
    if (c.until) event.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, {}, c.until};
    const auto refused = store_.saveEvent(event);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, PimError::Code::invalid);
    event.id.clear();
    EXPECT_FALSE(store_.saveEvent(event).ok());
    EXPECT_EQ(test::readFile(fileOf(saved.id)), before);
  }
  // A series that runs to the last year is listed to its end without overflowing.
  Event daily = eventIn("Daily", "2261-12-30T09:00:00Z", "2261-12-30T10:00:00Z");
  daily.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, {}, {}};
  ASSERT_TRUE(store_.saveEvent(daily).ok());
  EXPECT_EQ(titlesOf(store_.events(first, sys_days(year(kPimLastYear + 1) / January / 1))),
            (std::vector<std::string>{"Kept", "Daily", "Daily"}));
  EXPECT_EQ(titlesOf(may()), (std::vector<std::string>{"Kept"}));

  // Another program's events: one as long as the stored years (skipped), one of 150 years
  // repeating every year, whose last occurrences end past what a clock holds.
  test::writeFile(fs::path(calendar_) / "long.ics",
                  ics(vevent("long",
                             "SUMMARY:Long\r\nDTSTART:17000101T000000Z\r\n"
                             "DTEND:22611231T000000Z\r\nRRULE:FREQ=YEARLY\r\n")));
  test::writeFile(fs::path(calendar_) / "longer.ics",
                  ics(vevent("longer",
                             "SUMMARY:Longer\r\nDTSTART:17000101T000000Z\r\n"
                             "DTEND:18500101T000000Z\r\nRRULE:FREQ=YEARLY\r\n")));
  EXPECT_EQ(store_.events(first, sys_days(year(kPimLastYear + 1) / January / 1)).size(),
            3u + (kPimLastYear - kPimFirstYear + 1));
  const auto atTheEnd = titlesOf(store_.events(last, last + days(1)));
  // 2113 to 2261: 54,787 days from 2112 end as 2261-12-31 begins, with one leap day more.
  EXPECT_EQ(std::count(atTheEnd.begin(), atTheEnd.end(), "Longer"), 149);
  EXPECT_EQ(std::count(atTheEnd.begin(), atTheEnd.end(), "Long"), 0);
}

// Repetition is libical's, in the event's own time zone: a day the zone skipped gives no instant
// twice, and an hour it repeats gives the same answer whatever was converted before.
TEST_F(PimStoreTest, RepetitionFollowsTheEventsTimeZone) {
  test::writeFile(
      fs::path(calendar_) / "apia.ics",
      ics(vevent("apia",
                 "SUMMARY:Apia\r\nDTSTART;TZID=Pacific/Apia:20111228T090000\r\n"
                 "DTEND;TZID=Pacific/Apia:20111228T100000\r\nRRULE:FREQ=DAILY;COUNT=6\r\n")));
  const auto apia = store_.events(at("2011-12-01"), at("2012-02-01"));
  const auto starts = startsOf(apia);
  EXPECT_TRUE(std::adjacent_find(starts.begin(), starts.end(), std::greater_equal<>()) ==
              starts.end())
      << ::testing::PrintToString(starts);
  // 09:00 at UTC-10, then at UTC+14; the 30th, which the zone skipped, is no second 31st.
  EXPECT_EQ(starts, (std::vector<std::string>{"2011-12-28T19:00:00Z", "2011-12-29T19:00:00Z",
                                              "2011-12-30T19:00:00Z", "2011-12-31T19:00:00Z",
                                              "2012-01-01T19:00:00Z"}));

  test::writeFile(fs::path(calendar_) / "berlin.ics",
                  ics(vevent("berlin",
                             "SUMMARY:Weekly\r\nDTSTART;TZID=Europe/Berlin:20240320T090000\r\n"
                             "DTEND;TZID=Europe/Berlin:20240320T100000\r\nRRULE:FREQ=WEEKLY\r\n"
                             "EXDATE;TZID=Europe/Berlin:20240403T090000\r\n") +
                      vevent("berlin",
                             "RECURRENCE-ID;TZID=Europe/Berlin:20240327T090000\r\n"
                             "SUMMARY:Moved\r\nDTSTART;TZID=Europe/Berlin:20240328T110000\r\n"
                             "DTEND;TZID=Europe/Berlin:20240328T120000\r\n")));
  test::writeFile(fs::path(calendar_) / "night.ics",
                  ics(vevent("night",
                             "SUMMARY:Night\r\nDTSTART;TZID=America/New_York:20241102T013000\r\n"
                             "DURATION:PT15M\r\nRRULE:FREQ=DAILY;COUNT=3\r\n")));
  const auto run = [&](const char* from, const char* to) {
    return startsOf(store_.events(at(from), at(to), std::vector<std::string>{calendar_}));
  };
  const auto spring = run("2024-03-18", "2024-04-15");
  const auto autumn = run("2024-11-01", "2024-11-05");
  useZone("America/New_York");
  for (int hour : {0, 1, 2}) DateComponents{2024, 11, 3, hour, 30}.date();  // converted between
  EXPECT_EQ(run("2024-03-18", "2024-04-15"), spring);
  EXPECT_EQ(run("2024-11-01", "2024-11-05"), autumn);
  EXPECT_EQ(spring, (std::vector<std::string>{"2024-03-20T08:00:00Z", "2024-03-28T10:00:00Z",
                                              "2024-04-10T07:00:00Z"}));  // 09:00 across the change
  ASSERT_EQ(autumn.size(), 3u);  // 01:30 on the night the hour repeats is one instant
  EXPECT_EQ(autumn.front(), "2024-11-02T05:30:00Z");
  EXPECT_EQ(autumn.back(), "2024-11-04T06:30:00Z");
}

// A change to one occurrence, its removal, and a change to it and every later one are written
// as RECURRENCE-ID, EXDATE and a shortened rule with a new series.
TEST_F(PimStoreTest, SpansOfAChangeAreWrittenTheICalendarWay) {
  Event daily = eventIn("Stand-up", "2024-05-01T08:00:00Z", "2024-05-01T08:15:00Z");
  daily.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, 6, {}};
  const std::string first = valueOf(store_.saveEvent(daily)).id;
  const std::string series = first.substr(0, first.find('/'));
  auto on = [&](int day) {
    return series + "/202405" + (day < 10 ? "0" : "") + std::to_string(day) + "T080000Z";
  };
  Event second = store_.event(on(2)).value();
  second.title = "Once";
  ASSERT_TRUE(store_.saveEvent(second, Span::thisEvent).ok());
  ASSERT_TRUE(store_.removeEvent(on(3), Span::thisEvent).ok());
  Event fifth = store_.event(on(5)).value();
  fifth.title = "Sync";
  const Event split = valueOf(store_.saveEvent(fifth, Span::futureEvents));
  EXPECT_NE(split.id.substr(0, series.size()), series);

  EXPECT_EQ(titlesOf(may()),
            (std::vector<std::string>{"Stand-up", "Once", "Stand-up", "Sync", "Sync"}));
  const std::string file = test::readFile(fileOf(series));
  for (const char* line :
       {"RECURRENCE-ID:20240502T080000Z", "EXDATE:20240503T080000Z", "UNTIL=20240504T080000Z"}) {
    EXPECT_NE(file.find(line), std::string::npos) << line << "\n" << file;
  }
  EXPECT_NE(test::readFile(fileOf(split.id)).find("COUNT=2"), std::string::npos);

  ASSERT_TRUE(store_.removeEvent(split.id, Span::futureEvents).ok());
  EXPECT_FALSE(fs::exists(fileOf(split.id)));
  EXPECT_EQ(titlesOf(may()), (std::vector<std::string>{"Stand-up", "Once", "Stand-up"}));
}

// Left by a process that ended mid-write, whatever their age: gone at the first look at the folder
// (a store's start) and at each later one, but never while a write of ours is under way.
TEST_F(PimStoreTest, TemporaryFilesLeftByAnUnfinishedWriteAreRemoved) {
  const fs::path folder = calendar_;
  test::writeFile(folder / ".x.ics.AbC123", "half");
  test::writeFile(folder / ".hidden-of-another-program", "theirs");
  PimStore restarted{test::home() /
                     ::testing::UnitTest::GetInstance()->current_test_info()->name()};
  restarted.calendars(EntityType::event);
  EXPECT_EQ(test::namesIn(folder),
            (std::vector<std::string>{".hidden-of-another-program", "displayname", "tavrin-kind"}));

  bool oursKept = false;
  beforeReplace_ = [&](const fs::path& file) {
    restarted.events(at("2024-05-01"), at("2024-06-01"));  // another store reads the folder
    for (const auto& name : test::namesIn(folder)) {
      oursKept |= name.rfind("." + file.filename().string() + ".", 0) == 0;
    }
  };
  const auto saved =
      store_.saveEvent(eventIn("Dentist", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z"));
  beforeReplace_ = nullptr;
  ASSERT_TRUE(saved.ok()) << saved.error().message;
  EXPECT_TRUE(oursKept);
  restarted.calendars(EntityType::event);
  EXPECT_EQ(test::namesIn(folder),
            (std::vector<std::string>{".hidden-of-another-program", saved.value().id + ".ics",
                                      "displayname", "tavrin-kind"}));
}

// Another program's write that lands after we read an item and before we replace it fails our
// change instead of being lost.
TEST_F(PimStoreTest, AnItemChangedByAnotherProgramWhileWeWriteIsLeftToIt) {
  const fs::path file = fs::path(calendar_) / "theirs.ics";
  const std::string theirs =
      ics(vevent("theirs", "SUMMARY:Theirs\r\nDTSTART:20240502T090000Z\r\n"));
  const struct {
    const char* what;
    bool newItem;
    std::function<void(const fs::path&)> meanwhile;
  } cases[] = {
      {"rewritten in place", false,
       [&](const fs::path& f) { std::ofstream(f, std::ios::app) << "X-THEIRS:1\r\n"; }},
      {"replaced", false,
       [&](const fs::path& f) {
         test::writeFile(f.string() + ".new", theirs + "X-THEIRS:2\r\n");
         fs::rename(f.string() + ".new", f);
       }},
      {"removed", false, [&](const fs::path& f) { fs::remove(f); }},
      {"a new item's name taken", true, [&](const fs::path& f) { test::writeFile(f, theirs); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::writeFile(file, theirs);
    Event wanted = c.newItem ? eventIn("Ours", "2024-05-02T09:00:00Z", "2024-05-02T10:00:00Z")
                             : store_.event("theirs").value();
    wanted.title = "Ours";
    fs::path written;
    beforeReplace_ = [&](const fs::path& f) {
      written = f;
      c.meanwhile(f);
    };
    const auto saved = store_.saveEvent(wanted);
    beforeReplace_ = nullptr;
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().message,
              "The change could not be saved: another program changed the item at the same "
              "time; try again.");
    EXPECT_EQ(test::readFile(written).find("Ours"), std::string::npos);
    for (const auto& name : test::namesIn(calendar_)) EXPECT_EQ(name.find(".ics."), name.npos);
    fs::remove(written);
  }
}

// A split whose second write fails is taken back, so no two series repeat one event; when taking
// it back fails too, the caller and the log are told which file repeats it.
TEST_F(PimStoreTest, ASplitThatCannotFinishIsTakenBackOrSaysWhereItStayed) {
  for (const bool takingBackFails : {false, true}) {
    SCOPED_TRACE(takingBackFails ? "taking back fails" : "taken back");
    warnings_.clear();
    Event daily = eventIn("Stand-up", "2024-05-01T08:00:00Z", "2024-05-01T08:15:00Z");
    daily.recurrence = RecurrenceRule{RecurrenceFrequency::daily, 1, 6, {}};
    const std::string first = valueOf(store_.saveEvent(daily)).id;
    const fs::path old = fileOf(first);
    Event later = store_.event(first.substr(0, first.find('/')) + "/20240504T080000Z").value();
    later.title = "Sync";
    fs::path written;  // the new series, written first
    beforeReplace_ = [&](const fs::path& file) {
      if (file != old) {
        written = file;
        return;
      }
      std::ofstream(file, std::ios::app) << "X-THEIRS:1\r\n";  // the old one's write fails
      if (!takingBackFails) return;
      fs::remove(written);
      test::writeFile(written / "theirs", "theirs");
    };
    const auto saved = store_.saveEvent(later, Span::futureEvents);
    beforeReplace_ = nullptr;

    ASSERT_FALSE(saved.ok());
    const std::string overlap = " Taking back the part already written failed too, so " +
                                written.string() + " repeats the event from that occurrence on (";
    const std::string meanwhile =
        "The change could not be saved: another program changed the item at the same time; try "
        "again.";
    const std::string& message = saved.error().message;
    EXPECT_TRUE(takingBackFails ? message.starts_with(meanwhile + overlap) : message == meanwhile)
        << message;
    EXPECT_EQ(warnings_.size(), takingBackFails ? 1u : 0u);
    EXPECT_EQ(fs::exists(written), takingBackFails);
    fs::remove_all(written);
    fs::remove(old);
  }
}

// The record of the default folders is only a preference: a store that cannot write it works
// on, and the log says so.
TEST_F(PimStoreTest, ADefaultsRecordThatCannotBeWrittenIsLogged) {
  const fs::path folder = test::home() / "unrecorded";
  test::writeFile(folder / "defaults.json" / "in-the-way", "");
  PimStore fresh{folder, {.warn = keepWarnings()}};
  EXPECT_EQ(fresh.defaultCalendarForNewEvents().value().title, "Calendar");
  ASSERT_EQ(warnings_.size(), 3u);  // the calendar, the reminder list and the address book
  EXPECT_EQ(warnings_[0].rfind("The default personal-data folders could not be recorded: " +
                                   (folder / "defaults.json").string() + " could not be written",
                               0),
            0u);
}

// What we write into the user's folders takes the mode of what is there, never writable by
// everyone, and 0644 less the umask when nothing is; a rewritten item keeps its own mode.
TEST_F(PimStoreTest, ItemsKeepTheirModeAndNewOnesTakeTheirNeighboursButNeverWorldWrite) {
  const auto modeOf = [](const fs::path& path) {
    return static_cast<int>(fs::status(path).permissions() & fs::perms::mask);
  };
  for (const mode_t mask : {0000, 0022, 0077}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    const test::ScopedUmask masked(mask);
    // The mode of a new item in a calendar of its own, beside one of this mode (0: alone).
    const auto modeBeside = [&](const char* title, int neighbour) {
      const Calendar made = valueOf(store_.saveCalendar(named(title + std::to_string(mask))));
      if (neighbour != 0) {
        const std::string uid = "n" + std::to_string(neighbour) + "-" + std::to_string(mask);
        const fs::path file = fs::path(made.id) / (uid + ".ics");
        test::writeFile(file, ics(vevent(uid, "SUMMARY:N\r\nDTSTART:20240502T090000Z\r\n")));
        fs::permissions(file, static_cast<fs::perms>(neighbour));
      }
      Event event = eventIn("New", "2024-05-03T09:00:00Z", "2024-05-03T10:00:00Z");
      event.calendarId = made.id;
      return modeOf(fs::path(made.id) / (valueOf(store_.saveEvent(event)).id + ".ics"));
    };
    EXPECT_EQ(modeBeside("Shared", 0666), 0664);
    EXPECT_EQ(modeBeside("Kept", 0640), 0640);
    EXPECT_EQ(modeBeside("Alone", 0), 0644 & ~static_cast<int>(mask));
  }

  const fs::path kept = fs::path(calendar_) / "kept.ics";
  test::writeFile(kept, ics(vevent("kept", "SUMMARY:Kept\r\nDTSTART:20240502T090000Z\r\n")));
  fs::permissions(kept, static_cast<fs::perms>(0666));
  Event changed = store_.event("kept").value();
  changed.title = "Changed";
  ASSERT_TRUE(store_.saveEvent(changed).ok());
  const Calendar fresh = valueOf(store_.saveCalendar(named("Fresh")));
  EXPECT_EQ(modeOf(kept), 0666);
  EXPECT_EQ(modeOf(fresh.id), 0700);
  EXPECT_EQ(modeOf(fs::path(fresh.id) / "displayname"), 0600);
  EXPECT_EQ(test::readFile(kept).find("SUMMARY:Changed") != std::string::npos, true);
}

// A collection a server made without saying what it holds serves as either until its first item.
TEST_F(PimStoreTest, AnEmptyUnmarkedFolderIsACalendarAndAListUntilItsFirstItem) {
  const fs::path root = test::home() / "synced";
  test::writeFile(Paths::appSupport() / "config.json",
                  nlohmann::json{{"calendar_folders", {root.string()}}}.dump());
  fs::create_directories(root / "a");
  fs::create_directories(root / "b");
  const auto idsOf = [&](EntityType type) {
    std::vector<std::string> found;
    for (const auto& c : store_.calendars(type)) {
      EXPECT_EQ(c.entityType, type);
      found.push_back(fs::path(c.id).filename());
    }
    return found;
  };
  const std::vector<std::string> both{"a", "b"};
  EXPECT_EQ(idsOf(EntityType::event), both);
  EXPECT_EQ(idsOf(EntityType::reminder), both);
  EXPECT_EQ(store_.defaultCalendarForNewReminders()->entityType, EntityType::reminder);

  Reminder milk;
  milk.listId = (root / "a").string();
  milk.title = "Milk";
  ASSERT_TRUE(store_.saveReminder(milk).ok());
  Event dentist = eventIn("Dentist", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z");
  dentist.calendarId = (root / "b").string();
  ASSERT_TRUE(store_.saveEvent(dentist).ok());
  EXPECT_EQ(idsOf(EntityType::event), std::vector<std::string>{"b"});
  EXPECT_EQ(idsOf(EntityType::reminder), std::vector<std::string>{"a"});
  PimStore restarted{test::home() / "elsewhere"};
  restarted.calendars(EntityType::event);
  EXPECT_EQ(restarted.calendars(EntityType::reminder).at(0).title, "a");
}

TEST_F(PimStoreTest, CollectionsComeFromTheConfiguredFoldersWithTheirNamesAndColours) {
  test::writeFile(
      Paths::appSupport() / "config.json",
      R"({"calendar_folders": ["~/sync/calendars"], "contact_folders": ["~/sync/books"]})");
  const fs::path root = test::home() / "sync" / "calendars";
  test::writeFile(root / "work" / "displayname", "Work\n");
  test::writeFile(root / "work" / "color", "#FF8000\n");
  test::writeFile(root / "chores" / "t.ics",
                  ics("BEGIN:VTODO\r\nUID:t\r\nSUMMARY:Bins\r\nSTATUS:COMPLETED\r\n"
                      "COMPLETED:20240501T100000Z\r\nDUE:20240501T083000\r\nEND:VTODO\r\n"));
  test::writeFile(test::home() / "sync" / "books" / "friends" / "a.vcf",
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:a\r\nFN:Ann\r\nN:;Ann;;;\r\nEND:VCARD\r\n");

  const auto calendars = store_.calendars(EntityType::event);
  ASSERT_EQ(calendars.size(), 1u);
  EXPECT_EQ(calendars[0].title, "Work");
  EXPECT_EQ(calendars[0].source->title, "calendars");
  EXPECT_EQ(calendars[0].color, (std::vector<double>{1.0, 128 / 255.0, 0.0}));
  const auto lists = store_.calendars(EntityType::reminder);
  ASSERT_EQ(lists.size(), 2u);  // an empty, unmarked folder is offered as either
  EXPECT_EQ(lists[0].title, "chores");
  EXPECT_EQ(lists[1].title, "Work");
  const Reminder bins = store_.reminder("t").value();
  EXPECT_TRUE(bins.completed);
  EXPECT_EQ(bins.completionDate, at("2024-05-01T10:00:00Z"));
  EXPECT_EQ(bins.dueDateComponents, (DateComponents{2024, 5, 1, 8, 30}));
  EXPECT_EQ(store_.containers().at(0).name, "friends");
  EXPECT_EQ(store_.contacts().at(0).givenName, "Ann");
}

// Start-up reads the folders before the first call, at the same time as calls may come: it makes
// no folder of a fresh store, which the first call still makes, what changes after it is seen by
// the next call as usual, and a call for contacts does not wait while it reads the calendars.
TEST(PimStoreWarmUpTest, ReadingAheadMakesNothingAndLeavesCallsAsTheyWere) {
  fs::remove(Paths::appSupport() / "config.json");
  const std::string dentist =
      ics(vevent("dentist",
                 "SUMMARY:Dentist\r\nDTSTART;TZID=Europe/Berlin:20240502T090000\r\n"
                 "DURATION:PT1H\r\n"));
  const struct {
    const char* what;
    bool holdsItems;
    bool concurrently;
    bool stopped = false;  // as the server stops: nothing more is read
    bool held = false;     // the warm-up waits at the calendar's item for a call for contacts
  } cases[] = {{"fresh", false, false},
               {"fresh, a call at the same time", false, true},
               {"with items", true, false},
               {"with items, a call at the same time", true, true},
               {"stopped", true, false, true},
               {"contacts asked for while the calendars are read", true, false, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = test::home() / "warm" / c.what;
    if (c.holdsItems) {
      test::writeFile(folder / "calendars" / "home" / "dentist.ics", dentist);
      test::writeFile(
          folder / "contacts" / "friends" / "ann.vcf",
          "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:a\r\nFN:Ann\r\nN:;Ann;;;\r\nEND:VCARD\r\n");
    }
    std::atomic<bool> reached{false}, answered{false};
    bool heldUntilAnswered = false;
    PimStore store(folder, {.beforeRead = [&](const fs::path& file) {
                     if (!c.held || file.extension() != ".ics" || reached.exchange(true)) return;
                     heldUntilAnswered = test::eventually([&] { return answered.load(); },
                                                          "contacts while the calendars are read");
                   }});
    if (c.stopped) {
      store.stop();
      store.warmUp();
      EXPECT_TRUE(store.calendars(EntityType::event).empty());
      continue;
    }
    if (c.held) {
      std::thread ahead([&] { store.warmUp(); });
      EXPECT_TRUE(test::eventually([&] { return reached.load(); }, "the walk of the calendars"));
      const auto contacts = store.contacts();
      answered = true;
      ahead.join();
      EXPECT_TRUE(heldUntilAnswered);
      ASSERT_EQ(contacts.size(), 1u);
      EXPECT_EQ(contacts[0].givenName, "Ann");
    } else if (c.concurrently) {
      std::thread ahead([&] { store.warmUp(); });
      EXPECT_EQ(titlesOf(store.events(at("2024-05-01"), at("2024-06-01"))).size(),
                c.holdsItems ? 1u : 0u);
      ahead.join();
    } else {
      store.warmUp();
      EXPECT_EQ(fs::exists(folder), c.holdsItems);
    }
    const auto calendars = store.calendars(EntityType::event);
    ASSERT_EQ(calendars.size(), 1u);
    EXPECT_EQ(calendars[0].title, c.holdsItems ? "home" : "Calendar");
    EXPECT_EQ(store.calendars(EntityType::reminder).size(), c.holdsItems ? 0u : 1u);

    test::writeFile(fs::path(calendars[0].id) / "later.ics",
                    ics(vevent("later", "SUMMARY:Later\r\nDTSTART:20240503T090000Z\r\n")));
    const auto titles = titlesOf(store.events(at("2024-05-01"), at("2024-06-01")));
    EXPECT_EQ(titles, c.holdsItems ? (std::vector<std::string>{"Dentist", "Later"})
                                   : std::vector<std::string>{"Later"});
  }
}

// A store without a folder of its own follows the variables its folder is named from, call by
// call, on the same thread.
TEST(PimStoreFolderTest, FollowsTheVariablesItsFolderIsNamedFrom) {
  PimStore store;
  const fs::path home = test::home();
  const struct {
    const char* change;
    const char* variable;
    std::string value;  // empty: unset
    fs::path folder;
  } rows[] = {
      {"XDG_CONFIG_HOME set", "XDG_CONFIG_HOME", (home / "one").string(),
       home / "one" / "tavrin" / "pim"},
      {"XDG_CONFIG_HOME changed", "XDG_CONFIG_HOME", (home / "two").string(),
       home / "two" / "tavrin" / "pim"},
      {"XDG_CONFIG_HOME removed", "XDG_CONFIG_HOME", "", home / ".config" / "tavrin" / "pim"},
      {"HOME changed", "HOME", (home / "other").string(),
       home / "other" / ".config" / "tavrin" / "pim"},
  };
  for (const auto& row : rows) {
    if (row.value.empty()) {
      ::unsetenv(row.variable);
    } else {
      ::setenv(row.variable, row.value.c_str(), 1);
    }
    EXPECT_EQ(store.folder(), row.folder) << row.change;
    const Calendar made = valueOf(store.saveCalendar(named(row.change)));
    EXPECT_EQ(fs::path(made.id).parent_path().parent_path(), row.folder) << row.change;
    std::vector<std::string> titles;
    for (const auto& calendar : store.calendars(EntityType::event)) {
      titles.push_back(calendar.title);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"Calendar", row.change})) << row.change;
  }
}

}  // namespace
}  // namespace tvrn
