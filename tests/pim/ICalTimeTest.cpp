// Times written back into other programs' files: in the zone, form and TZID they had.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include "pim/ICalItem.h"
#include "pim/ICalTime.h"
#include "pim/PimCodec.h"

namespace tvrn {
namespace {

using namespace std::chrono;

PimTime at(const char* text) { return PimCodec::parseTime(text).value(); }

std::string wall(icaltimetype t) {
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return out;
}

std::string ics(const std::string& events) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\n" + events + "END:VCALENDAR\r\n";
}

// Each side of both changes of offset, east and west of UTC, and both passes of a repeated hour.
TEST(ICalTimeTest, WallClockOfAZoneAgreesWithLibicalAcrossBothChanges) {
  const struct {
    const char* zone;
    const char* instant;
    const char* wall;
    bool unique;  // the wall clock names one instant only
  } cases[] = {
      {"Europe/Berlin", "2024-03-31T00:59:59Z", "2024-03-31 01:59:59", true},
      {"Europe/Berlin", "2024-03-31T01:00:00Z", "2024-03-31 03:00:00", true},
      {"Europe/Berlin", "2024-10-27T00:30:00Z", "2024-10-27 02:30:00", false},
      {"Europe/Berlin", "2024-10-27T01:30:00Z", "2024-10-27 02:30:00", false},
      {"Europe/Berlin", "2024-07-01T12:00:00Z", "2024-07-01 14:00:00", true},
      {"America/New_York", "2024-03-10T06:59:59Z", "2024-03-10 01:59:59", true},
      {"America/New_York", "2024-03-10T07:00:00Z", "2024-03-10 03:00:00", true},
      {"America/New_York", "2024-11-03T05:30:00Z", "2024-11-03 01:30:00", false},
      {"America/New_York", "2024-11-03T06:30:00Z", "2024-11-03 01:30:00", false},
      {"America/New_York", "2024-12-31T23:30:00Z", "2024-12-31 18:30:00", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + c.instant);
    const icaltimezone* zone = icaltimezone_get_builtin_timezone(c.zone);
    ASSERT_NE(zone, nullptr);
    const icaltimetype t = ICalTime::wallClock(at(c.instant), zone);
    EXPECT_EQ(wall(t), c.wall);
    EXPECT_EQ(t.zone, zone);
    EXPECT_FALSE(icaltime_is_utc(t));
    // libical reads the wall clock back as the same instant wherever that is unambiguous.
    if (c.unique) {
      EXPECT_EQ(ICalTime::instant(t), at(c.instant));
    }
    const time_t s = icaltime_as_timet_with_zone(t, zone);
    const icaltimetype again = icaltime_convert_to_zone(
        icaltime_from_timet_with_zone(s, 0, icaltimezone_get_utc_timezone()),
        const_cast<icaltimezone*>(zone));
    EXPECT_EQ(wall(again), c.wall);
  }
}

// A wall clock the zone skips is read with the offset before the gap (RFC 5545 3.3.5's example),
// one it shows twice as its later instant, as khal reads both: in a zone a file names, as the
// user's floating time, as a tool's local time. Month 37 is no time.
TEST(ICalTimeTest, AWallClockIsReadAsRfc5545Says) {
  const char* const cases[][3] = {
      {"America/New_York", "20070311T023000", "2007-03-11T07:30:00Z"},
      {"America/New_York", "20241103T013000", "2024-11-03T06:30:00Z"},
      {"Australia/Lord_Howe", "20241006T021500", "2024-10-05T15:45:00Z"},
      {"Europe/Berlin", "22613708T000000", nullptr}};
  for (const auto& [zone, clock, instant] : cases) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    icaltimetype t = icaltime_from_string(clock);
    const auto wanted = instant ? std::optional<PimTime>(at(instant)) : std::nullopt;
    EXPECT_EQ(ICalTime::instant(t), wanted) << clock;
    EXPECT_EQ(DateComponents({t.year, t.month, t.day, t.hour, t.minute}).date(), wanted) << clock;
    t.zone = icaltimezone_get_builtin_timezone(zone);
    EXPECT_EQ(ICalTime::instant(t), wanted) << clock;
  }
  ::setenv("TZ", "UTC", 1);
  ::tzset();
}

// Moving an event writes its new times the way the file wrote the old ones.
TEST(ICalTimeTest, AMovedEventKeepsTheFormOfItsTimes) {
  ::setenv("TZ", "Asia/Tokyo", 1);  // a floating time is the user's wall clock
  ::tzset();
  const struct {
    const char* what;
    const char* times;
    bool allDay;
    const char* start;
    const char* end;
    const char* expected[2];
  } cases[] = {
      {"Berlin, no VTIMEZONE",
       "DTSTART;TZID=Europe/Berlin:20240320T090000\r\nDTEND;TZID=Europe/Berlin:20240320T100000\r\n",
       false,
       "2024-04-03T07:30:00Z",
       "2024-04-03T08:30:00Z",
       {"DTSTART;TZID=Europe/Berlin:20240403T093000", "DTEND;TZID=Europe/Berlin:20240403T103000"}},
      {"New York start, Berlin end",
       "DTSTART;TZID=America/New_York:20240301T090000\r\n"
       "DTEND;TZID=Europe/Berlin:20240301T160000\r\n",
       false,
       "2024-03-11T13:00:00Z",
       "2024-03-11T15:00:00Z",
       {"DTSTART;TZID=America/New_York:20240311T090000",
        "DTEND;TZID=Europe/Berlin:20240311T160000"}},
      {"UTC",
       "DTSTART:20240301T090000Z\r\nDURATION:PT1H\r\n",
       false,
       "2024-03-02T09:00:00Z",
       "2024-03-02T10:00:00Z",
       {"DTSTART:20240302T090000Z", "DTEND:20240302T100000Z"}},
      {"floating",
       "DTSTART:20240301T090000\r\nDTEND:20240301T100000\r\n",
       false,
       "2024-03-02T00:00:00Z",
       "2024-03-02T01:00:00Z",
       {"DTSTART:20240302T090000", "DTEND:20240302T100000"}},
      {"all-day",
       "DTSTART;VALUE=DATE:20240301\r\nDTEND;VALUE=DATE:20240302\r\n",
       true,
       "2024-03-05",
       "2024-03-07",
       {"DTSTART;VALUE=DATE:20240305", "DTEND;VALUE=DATE:20240307"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto item =
        ICalItem::parse(ics(std::string("BEGIN:VEVENT\r\nUID:u\r\nDTSTAMP:20240101T000000Z\r\n") +
                            c.times + "END:VEVENT\r\n"),
                        nullptr);
    ASSERT_TRUE(item);
    const Event before = item->event();
    Event after = before;
    after.start = at(c.start);
    after.end = at(c.end);
    item->changeEvent(before, after);
    const std::string text = item->text();
    for (const char* line : c.expected) EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find("freeassociation"), std::string::npos) << text;
    EXPECT_EQ(item->event().start, after.start);
    EXPECT_EQ(item->event().allDay, c.allDay);
  }
  ::setenv("TZ", "UTC", 1);
  ::tzset();
}

// Items are read on several threads at once; a zone they share is expanded by libical as years
// are asked for, which must not give any of them a wrong wall clock.
TEST(ICalTimeTest, ThreadsConvertingThroughOneZoneAgree) {
  // Not used by the other tests, so its years are first worked out here, by all threads at once.
  const icaltimezone* zone = icaltimezone_get_builtin_timezone("Australia/Sydney");
  ASSERT_NE(zone, nullptr);
  constexpr int kThreads = 6;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      // Noon UTC is 22:00 or 23:00 in Sydney, never near a change of offset.
      for (int year = 2100 - i; year >= 1980; year -= 3) {
        for (unsigned month = 1; month <= 12; ++month) {
          const PimTime noon = sys_days(std::chrono::year(year) / month / 15) + hours(12);
          const icaltimetype t = ICalTime::wallClock(noon, zone);
          if ((t.hour != 22 && t.hour != 23) || ICalTime::instant(t) != noon) ++wrong[i];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(wrong[i], 0) << "thread " << i;
}

}  // namespace
}  // namespace tvrn
