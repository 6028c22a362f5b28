// Repeating events changed through the store, each result checked against the occurrences
// expanded on their own from the files before and after: a change of a title, a time, a day or
// between a day and a time of day, made to one occurrence or from one on, changes exactly the
// occurrences asked and no other; a move the rule cannot follow is refused and changes nothing.
// khal, where installed, lists the same.
#include <gtest/gtest.h>
#include <libical/ical.h>
#include <stdlib.h>
#include <time.h>
#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "bridges/OtherPrograms.h"
#include "pim/EventListings.h"
#include "pim/ICalZones.h"
#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using Lines = std::vector<std::string>;

// The user's zone in these tests; the series below are in it, or in a zone with its rules.
constexpr const char* kUserZone = "Europe/Berlin";

const char* kBerlin =
    "BEGIN:VTIMEZONE\nTZID:Europe/Berlin\nBEGIN:DAYLIGHT\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200\n"
    "TZNAME:CEST\nDTSTART:19810329T020000\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\n"
    "END:DAYLIGHT\nBEGIN:STANDARD\nTZOFFSETFROM:+0200\nTZOFFSETTO:+0100\nTZNAME:CET\n"
    "DTSTART:19961027T030000\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\nEND:STANDARD\n"
    "END:VTIMEZONE\n";

std::string calendar(const std::string& prodid, const std::string& zone,
                     const std::string& events) {
  return "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:" + prodid + "\n" + zone + events +
         "END:VCALENDAR\n";
}

// One series in Europe/Berlin as a CalDAV server writes it, from 09:00 to 10:00 on `day`, and the
// components after it.
std::string server(const char* uid, const char* day, const std::string& rule, const char* title,
                   const std::string& after = "") {
  return calendar("-//Sabre//Sabre VObject 4.5.4//EN", kBerlin,
                  std::string("BEGIN:VEVENT\nUID:") + uid + "\nDTSTAMP:20240401T080000Z\n" +
                      "DTSTART;TZID=Europe/Berlin:" + day + "T090000\nDTEND;TZID=Europe/Berlin:" +
                      day + "T100000\n" + rule + "SUMMARY:" + title + "\nEND:VEVENT\n" + after);
}

// Outlook's series from 11:00 on `day`, an hour long, in a `zone` (";TZID=...") it does not define.
std::string unzoned(const std::string& zone, const char* day, const std::string& rule) {
  return calendar("-//Microsoft Corporation//Outlook 16.0 MIMEDIR//EN", "",
                  "BEGIN:VEVENT\nUID:" + rule + "\nDTSTAMP:20240601T101500Z\nDTSTART" + zone + ":" +
                      day + "T110000\nDURATION:PT1H\nRRULE:FREQ=" + rule +
                      "\nSUMMARY:Teamrunde\nEND:VEVENT\n");
}

// GroupWise's Eastern time under a TZID written with blanks around it, an hour from 11:00 each
// Monday from 2024-07-01; in quotes, or as Outlook writes one, without.
std::string groupwise(const std::string& tzid, bool quoted = true) {
  const std::string named = quoted ? "\"" + tzid + "\"" : tzid;
  return calendar(
      "-//Novell Inc//Groupwise 8.0.2 //EN",
      "BEGIN:VTIMEZONE\nTZID:" + tzid +
          "\nBEGIN:STANDARD\nTZOFFSETFROM:-0400\nTZOFFSETTO:-0500\nDTSTART:20001105T020000\n"
          "RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11\nTZNAME:EST\nEND:STANDARD\nBEGIN:DAYLIGHT\n"
          "TZOFFSETFROM:-0500\nTZOFFSETTO:-0400\nDTSTART:20000312T020000\n"
          "RRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3\nTZNAME:EDT\nEND:DAYLIGHT\nEND:VTIMEZONE\n",
      "BEGIN:VEVENT\nUID:gw-1\nDTSTAMP:20240601T101500Z\nDTSTART;TZID=" + named +
          ":20240701T110000\nDTEND;TZID=" + named +
          ":20240701T120000\nRRULE:FREQ=WEEKLY;COUNT=6\nSUMMARY:Status\nEND:VEVENT\n");
}

const char* const kChicago = "/freeassociation.sourceforge.net/America/Chicago";

// The VTIMEZONE the store adds for `tzid`, a zone the system knows, from `year` on.
std::string storeZone(const char* tzid, int year) {
  icalcomponent* zone = ICalZones::rulesFrom(ICalZones::systemZone(tzid), tzid, year);
  char* text = icalcomponent_as_ical_string_r(zone);
  std::string out;
  for (const char* c = text; *c != '\0'; ++c) out += *c != '\r' ? std::string(1, *c) : "";
  std::free(text);
  icalcomponent_free(zone);
  return out;
}

// A server's half-hour series in New York from `start`.
std::string nightly(const char* uid, const char* start, const char* rule) {
  return calendar("-//Sabre//Sabre VObject 4.5.4//EN", "",
                  std::string("BEGIN:VEVENT\nUID:") + uid + "\nDTSTAMP:20250101T080000Z\n" +
                      "DTSTART;TZID=America/New_York:" + start +
                      "\nDURATION:PT30M\nRRULE:FREQ=" + rule + "\nSUMMARY:Backup\nEND:VEVENT\n");
}

// Sabre's hourly series in UTC from 2024-05-06 09:00 (Berlin's summer time) to 2037.
std::string hourlyUntil2037() {
  return calendar("-//Sabre//Sabre VObject 4.5.4//EN", "",
                  "BEGIN:VEVENT\nUID:hourly-1\nDTSTAMP:20240401T080000Z\n"
                  "DTSTART:20240506T070000Z\nDTEND:20240506T080000Z\n"
                  "RRULE:FREQ=HOURLY;UNTIL=20370101T000000Z\nSUMMARY:Ping\nEND:VEVENT\n");
}

// ---- the series, as the programs named write them

const char* const kUncut = "The series cannot be changed from this occurrence on";

struct Series {
  const char* name;
  std::string text;
  std::vector<const char*> from;  // the occurrences changes are made at, as listed (local start)
  // "<change> <span>"/"any future": how its refusal starts; "": made, not compared (a day across
  // a change of offset is 23 or 25 hours on one of the clocks)
  std::map<std::string, const char*> refused = {};
  bool bareCr = false;     // lines ended by bare CRs after a byte order mark, else CRLF
  bool khalAgrees = true;  // false: khal reads it otherwise (a UTC UNTIL as a wall clock)
  const char* through = "2026-01-01";  // the first day not compared
  bool endsToo = false;                // also made 30 minutes longer
};

void PrintTo(const Series& series, std::ostream* out) { *out << series.name; }

const std::vector<Series>& allSeries() {
  static const std::vector<Series> all = {
      // Thunderbird's: every Friday, one deleted, one moved later that day.
      {"weekly by weekday",
       calendar("-//Mozilla.org/NONSGML Mozilla Calendar V1.1//EN", kBerlin,
                "BEGIN:VEVENT\nCREATED:20240401T080000Z\nDTSTAMP:20240401T080000Z\n"
                "UID:4b3c9a1e-fri\nSUMMARY:Friday review\nRRULE:FREQ=WEEKLY;BYDAY=FR\n"
                "EXDATE:20240517T140000Z\nDTSTART;TZID=Europe/Berlin:20240503T160000\n"
                "DTEND;TZID=Europe/Berlin:20240503T170000\nEND:VEVENT\n"
                "BEGIN:VEVENT\nDTSTAMP:20240401T080000Z\nUID:4b3c9a1e-fri\n"
                "SUMMARY:Friday review\nRECURRENCE-ID;TZID=Europe/Berlin:20240524T160000\n"
                "DTSTART;TZID=Europe/Berlin:20240524T180000\n"
                "DTEND;TZID=Europe/Berlin:20240524T190000\nEND:VEVENT\n"),
       {"2024-05-03 16:00", "2024-05-24 18:00"}},
      // Google's: the third Wednesday of each month, which no move by days can keep.
      {"monthly by ordinal weekday",
       calendar("-//Google Inc//Google Calendar 70.9054//EN", kBerlin,
                "BEGIN:VEVENT\nDTSTART;TZID=Europe/Berlin:20240515T190000\n"
                "DTEND;TZID=Europe/Berlin:20240515T210000\nRRULE:FREQ=MONTHLY;BYDAY=3WE\n"
                "DTSTAMP:20240501T090000Z\nUID:5mcq2v1h0p@google.com\nSEQUENCE:0\n"
                "SUMMARY:Book club\nEND:VEVENT\n"),
       {"2024-05-15 19:00", "2024-08-21 19:00"},
       {{"next day future", "The series cannot be moved so: moved with it, its rule"},
        {"day before future", "The series cannot be moved so: moved with it, its rule"}}},
      // Apple's: all-day on the 15th, twelve times.
      {"monthly by day of the month",
       calendar("-//Apple Inc.//macOS 14.4//EN", "",
                "BEGIN:VEVENT\nUID:8F4E1C2B-15th\nDTSTAMP:20240401T080000Z\n"
                "DTSTART;VALUE=DATE:20240515\nDTEND;VALUE=DATE:20240516\n"
                "RRULE:FREQ=MONTHLY;COUNT=12;BYMONTHDAY=15\nSUMMARY:Rent\nEND:VEVENT\n"),
       {"2024-05-15", "2024-09-15"}},
      // A server's: the first and the last day of each month, which moved a day cross its edge.
      {"monthly on its first and last day",
       calendar("-//Sabre//Sabre VObject 4.5.4//EN", "",
                "BEGIN:VEVENT\nUID:month-end-1\nDTSTAMP:20240401T080000Z\n"
                "DTSTART;VALUE=DATE:20240531\nDTEND;VALUE=DATE:20240601\n"
                "RRULE:FREQ=MONTHLY;BYMONTHDAY=1,-1;COUNT=6\nSUMMARY:Invoices\nEND:VEVENT\n"),
       {"2024-05-31", "2024-07-01"}},
      // Twice a day, which made all-day would be once; the rule Tavrin writes at an extra date.
      {"an hour list",
       server("hours-1", "20240506", "RRULE:FREQ=DAILY;BYHOUR=9,21;COUNT=10\n", "Pills"),
       {"2024-05-06 09:00", "2024-05-08 21:00"},
       {{"all-day future", "The series cannot be made all-day: its rule"}}},
      {"a rule stating its time of day",
       server("pinned-1", "20240502",
              "RRULE:FREQ=WEEKLY;COUNT=4;BYSECOND=0;BYMINUTE=0;BYHOUR=9;BYDAY=TH\n", "Standup"),
       {"2024-05-02 09:00", "2024-05-16 09:00"}},
      // A changed occurrence whose original the rule does not give.
      {"a changed occurrence off the rule",
       server(
           "pinned-1", "20240502", "RRULE:FREQ=WEEKLY;COUNT=4\n", "Standup",
           "BEGIN:VEVENT\nUID:pinned-1\nDTSTAMP:20240402T080000Z\nRECURRENCE-ID;TZID=Europe/"
           "Berlin:20240508T090000\nDTSTART;TZID=Europe/Berlin:20240508T100000\nDTEND;TZID=Europe/"
           "Berlin:20240508T110000\nSUMMARY:Standup\nEND:VEVENT\n"),
       {"2024-05-08 10:00"},
       {{"any future",
         "The series cannot be changed from this occurrence on: this occurrence's "
         "original date, 2024-05-08 09:00 Europe/Berlin time, is no date"}}},
      // A server's: six Thursdays and an extra Tuesday before the fourth, which a COUNT does not
      // bound.
      {"a count with an extra date",
       server("count-rdate-1", "20240502",
              "RRULE:FREQ=WEEKLY;COUNT=6;BYDAY=TH\nRDATE;TZID=Europe/Berlin:20240507T090000\n",
              "Planning"),
       {"2024-05-02 09:00", "2024-05-23 09:00"}},
      // A server's: a Monday meeting whose third occurrence was moved to the Tuesday.
      {"an occurrence moved on its own",
       server("monday-1", "20240506", "RRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=10\n", "Jour fixe",
              "BEGIN:VEVENT\nUID:monday-1\n"
              "DTSTAMP:20240402T080000Z\nRECURRENCE-ID;TZID=Europe/Berlin:20240520T090000\n"
              "DTSTART;TZID=Europe/Berlin:20240521T090000\n"
              "DTEND;TZID=Europe/Berlin:20240521T100000\nSUMMARY:Jour fixe\nSEQUENCE:1\n"
              "END:VEVENT\n"),
       {"2024-05-06 09:00", "2024-05-21 09:00"}},
      // khal's: every evening at 18:00 across the change to summer time, ended by an UNTIL in UTC
      // in the middle of the last day.
      {"daily across a clock change",
       calendar("-//PIMUTILS.ORG//NONSGML khal / icalendar //EN", kBerlin,
                "BEGIN:VEVENT\nSUMMARY:Evening walk\n"
                "DTSTART;TZID=Europe/Berlin;VALUE=DATE-TIME:20240325T180000\n"
                "DTEND;TZID=Europe/Berlin;VALUE=DATE-TIME:20240325T190000\n"
                "DTSTAMP;VALUE=DATE-TIME:20240301T120000Z\nUID:KHAL0DAILY18\n"
                "RRULE:FREQ=DAILY;UNTIL=20240405T120000Z\nEND:VEVENT\n"),
       {"2024-03-25 18:00", "2024-03-29 18:00"}},
      // Apple's: all-day every day across the change to summer time.
      {"all-day across a clock change",
       calendar("-//Apple Inc.//macOS 14.4//EN", "",
                "BEGIN:VEVENT\nUID:C1D2-daily\nDTSTAMP:20240301T080000Z\n"
                "DTSTART;VALUE=DATE:20240325\nDTEND;VALUE=DATE:20240326\n"
                "RRULE:FREQ=DAILY;COUNT=12\nSUMMARY:Fasting\nEND:VEVENT\n"),
       {"2024-03-25", "2024-03-28"}},
      // Outlook's: a Windows zone name, defined only by the file.
      {"a Windows zone name",
       calendar(
           "-//Microsoft Corporation//Outlook 16.0 MIMEDIR//EN",
           "BEGIN:VTIMEZONE\nTZID:W. Europe Standard Time\nBEGIN:STANDARD\n"
           "DTSTART:16010101T030000\nTZOFFSETFROM:+0200\nTZOFFSETTO:+0100\n"
           "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\nEND:STANDARD\nBEGIN:DAYLIGHT\n"
           "DTSTART:16010101T020000\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200\n"
           "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3\nEND:DAYLIGHT\nEND:VTIMEZONE\n",
           "BEGIN:VEVENT\nCLASS:PUBLIC\nCREATED:20240301T101500Z\n"
           "DTEND;TZID=\"W. Europe Standard Time\":20240305T110000\n"
           "DTSTAMP:20240301T101500Z\nDTSTART;TZID=\"W. Europe Standard Time\":20240305T100000\n"
           "LAST-MODIFIED:20240301T101500Z\nPRIORITY:5\n"
           "RRULE:FREQ=WEEKLY;UNTIL=20240430T080000Z;INTERVAL=1;BYDAY=TU;WKST=SU\n"
           "SEQUENCE:0\nSUMMARY;LANGUAGE=de-de:Teamrunde\nTRANSP:OPAQUE\n"
           "UID:040000008200E00074C5B7101A82E00800000000A0B1C2D3E4F5\n"
           "X-MICROSOFT-CDO-BUSYSTATUS:BUSY\nEND:VEVENT\n"),
       {"2024-03-05 10:00", "2024-04-02 10:00"}},
      // Outlook's without its VTIMEZONE, read in the zone CLDR gives the name (the user's Berlin,
      // then New York): UNTIL names the instant of the last Friday.
      {"a Windows zone name without its definition",
       unzoned(";TZID=W. Europe Standard Time", "20240705", "WEEKLY;UNTIL=20240802T090000Z"),
       {"2024-07-05 11:00", "2024-07-19 11:00"}},
      {"another zone's Windows name without its definition",
       unzoned(";TZID=Eastern Standard Time", "20240705", "WEEKLY;UNTIL=20240802T150000Z"),
       {"2024-07-05 17:00", "2024-07-19 17:00"}},
      // A TZID that keeps its blank at the end, or at the start, where it is written.
      {"a TZID ending in a blank",
       groupwise("(GMT-05.00) Eastern Time (US & Canada) "),
       {"2024-07-01 17:00", "2024-07-15 17:00"}},
      {"a TZID beginning with a blank", groupwise(" Eastern"), {"2024-07-08 17:00"}},
      {"an unquoted TZID ending in a blank",
       groupwise("Customized Time Zone ", false),
       {"2024-07-15 17:00"}},
      // Evolution's name for Chicago, with the VTIMEZONE the store added from the series' first
      // year: a day earlier, in the year before, rebuilt and before the event, where khal looks.
      {"a zone the store added, reached before its first year",
       calendar("-//Ximian//NONSGML Evolution Calendar//EN", storeZone(kChicago, 2025),
                "BEGIN:VEVENT\nUID:evo-1\nDTSTAMP:20240601T101500Z\nDTSTART;TZID=" +
                    std::string(kChicago) + ":20250101T090000\nDTEND;TZID=" + kChicago +
                    ":20250101T100000\nRRULE:FREQ=WEEKLY;COUNT=6\nSUMMARY:Sync\nEND:VEVENT\n"),
       {"2025-01-01 16:00", "2025-01-15 16:00"}},
      {"a zone name of its own on Sundays",
       unzoned(";TZID=Office", "20240707", "WEEKLY;BYDAY=SU;UNTIL=20240804T090000Z"),
       {"2024-07-07 11:00", "2024-07-21 11:00"}},
      {"floating with an UNTIL in UTC",
       unzoned("", "20240705", "DAILY;UNTIL=20240710T090000Z"),
       {"2024-07-05 11:00", "2024-07-08 11:00"},
       {},
       false,
       false},
      // A published schedule's: a zone name behind a slash that the file does not define, which a
      // change gives a VTIMEZONE khal must still read.
      {"a zone name behind a slash",
       calendar("-//twitch.tv//StreamSchedule//1.0", "",
                "BEGIN:VEVENT\nUID:0cab49a0-1167-40f0-bfed-ecb4d117047d\n"
                "DTSTAMP:20221019T102950Z\nDTSTART;TZID=/Europe/Stockholm:20221021T200000\n"
                "DTEND;TZID=/Europe/Stockholm:20221021T210000\nSUMMARY:Just chatting\n"
                "RRULE:FREQ=WEEKLY;BYDAY=FR\nEND:VEVENT\n"),
       {"2024-05-03 20:00"}},
      // A server's: every week from a Monday (its weekday only implied), and an extra Wednesday
      // afternoon, from which a new series must keep the Mondays at 09:00.
      {"an implied weekday and an extra date",
       server("implied-1", "20240506",
              "RRULE:FREQ=WEEKLY;COUNT=6\nRDATE;TZID=Europe/Berlin:20240522T140000\n", "Review"),
       {"2024-05-22 14:00"}},
      // Every other week, and an extra Monday in a week between: a series started there would
      // step from that week, so it is not cut there.
      {"every other week and an extra date between",
       server("fortnight-1", "20240506",
              "RRULE:FREQ=WEEKLY;INTERVAL=2;COUNT=4\nRDATE;TZID=Europe/Berlin:20240513T090000\n",
              "Retrospective"),
       {"2024-05-13 09:00"},
       {{"any future", kUncut}}},
      {"every other week with extra dates before its start",
       server("rdate-1", "20250127",
              "RRULE:FREQ=WEEKLY;UNTIL=20251231;INTERVAL=2;BYDAY=MO\nRDATE;TZID=Europe/Berlin:"
              "20240902T090000,20240916T090000\n",
              "Jour fixe"),
       {"2025-01-27 09:00", "2025-02-10 09:00"}},
      // Apple's: a birthday from 1890, and the last day of each month and of February.
      {"a birthday of 1890",
       calendar("-//Apple Inc.//macOS 14.4//EN", "",
                "BEGIN:VEVENT\nUID:A1B2-born\nDTSTAMP:20240401T080000Z\n"
                "DTSTART;VALUE=DATE:18900506\nDTEND;VALUE=DATE:18900507\n"
                "RRULE:FREQ=YEARLY\nSUMMARY:Grandfather\nEND:VEVENT\n"),
       {"1890-05-06", "2024-05-06"}},
      {"the last day of each month by its place",
       calendar("-//Apple Inc.//macOS 14.4//EN", "",
                "BEGIN:VEVENT\nUID:A1B2-last\nDTSTAMP:20240401T080000Z\n"
                "DTSTART;VALUE=DATE:20240531\nDTEND;VALUE=DATE:20240601\n"
                "RRULE:FREQ=MONTHLY;COUNT=12;BYDAY=SU,MO,TU,WE,TH,FR,SA;BYSETPOS=-1\n"
                "SUMMARY:Payroll\nEND:VEVENT\n"),
       {"2024-05-31", "2024-08-31"}},
      {"the last day of February",
       calendar("-//Apple Inc.//macOS 14.4//EN", "",
                "BEGIN:VEVENT\nUID:A1B2-feb\nDTSTAMP:20240101T080000Z\n"
                "DTSTART;VALUE=DATE:20240229\nDTEND;VALUE=DATE:20240301\n"
                "RRULE:FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=-1\nSUMMARY:Tax return\nEND:VEVENT\n"),
       {"2024-02-29", "2025-02-28"}},
      {"weekly in 1901",
       calendar(
           "-//Apple Inc.//macOS 14.4//EN", "",
           "BEGIN:VEVENT\nUID:A1B2-club\nDTSTAMP:20240401T080000Z\nDTSTART;VALUE=DATE:19011104\n"
           "RRULE:FREQ=WEEKLY;COUNT=10\nSUMMARY:Club\nEND:VEVENT\n"),
       {"1901-11-04", "1901-12-02"}},
      // Its first occurrence is the hour list's; compared over the weeks around the change.
      {"twice a day without an end",
       server("twice-1", "20240506", "RRULE:FREQ=DAILY;BYHOUR=9,21\n", "Pills"),
       {"2024-05-08 21:00"},
       {{"all-day future", "The series cannot be made all-day: its rule"}},
       false,
       true,
       "2024-07-01"},
      {"every 24 hours",
       server("hours-24", "20240506", "RRULE:FREQ=HOURLY;INTERVAL=24;COUNT=30\n", "Stretch"),
       {"2024-05-06 09:00", "2024-05-10 09:00"}},
      // In UTC, compared before the clock goes back; khal would cache every hour up to 2037.
      // Changed at its first occurrence, and at a later one in a row of its own.
      {"hourly until 2037",
       hourlyUntil2037(),
       {"2024-05-06 09:00"},
       {{"all-day future", "The series cannot be made all-day: its rule"}},
       false,
       false,
       "2024-06-01"},
      {"hourly until 2037 from a later hour",
       hourlyUntil2037(),
       {"2024-05-06 13:00"},
       {{"all-day future", "The series cannot be made all-day: its rule"}},
       false,
       false,
       "2024-06-01"},
      // Every night at 02:30 in New York, which the clock skips on 2025-03-09 (03:30 EDT, as RFC
      // 5545 3.3.5 and khal read it): changed there, it is named 03:30; no series begins there.
      {"nightly at a time the clock skips",
       calendar("-//Sabre//Sabre VObject 4.5.4//EN", "",
                "BEGIN:VEVENT\nUID:night-2\nDTSTAMP:20250101T080000Z\n"
                "DTSTART;TZID=America/New_York:20250305T023000\n"
                "DTEND;TZID=America/New_York:20250305T030000\nRRULE:FREQ=DAILY;COUNT=10\n"
                "SUMMARY:Backup\nEND:VEVENT\n"),
       {"2025-03-09 08:30"},
       {{"any future",
         "The series cannot be changed from this occurrence on: its rule puts this "
         "occurrence at 2025-03-09 02:30 America/New_York time, which the clock"}},
       false,
       true,
       "2025-03-20",
       true},
      // Twice at midnight in New York, the second time on the night its clock goes back: an hour
      // later is the first of that night's two 01:00s, which the zone's wall clock names the later
      // of. An occurrence moved there starts in UTC; no series begins there.
      {"into the first of a doubled hour",
       calendar("-//Sabre//Sabre VObject 4.5.4//EN", "",
                "BEGIN:VEVENT\nUID:night-3\nDTSTAMP:20241001T080000Z\n"
                "DTSTART;TZID=America/New_York:20241102T000000\n"
                "DTEND;TZID=America/New_York:20241102T003000\nRRULE:FREQ=DAILY;COUNT=2\n"
                "SUMMARY:Backup\nEND:VEVENT\n"),
       {"2024-11-03 05:00"},
       {{"later future",
         "The series cannot begin there: 2024-11-03 06:00 Europe/Berlin time is the first of "
         "the two times its clock (America/New_York) shows 01:00"}},
       false,
       true,
       "2024-11-10"},
      // Cut the week after a night the clock skips its time, which khal must keep.
      {.name = "Sundays in New York, cut the week after the night the clock skips",
       .text = nightly("sunday-1", "20250223T023000", "WEEKLY;COUNT=5"),
       .from = {"2025-03-16 07:30"},
       .through = "2025-04-10"},
      // An hour moved a day, from 01:00 to the first 01:00 of the night the clock goes back (in
      // UTC), which RFC 5545 (the first of two times shown) and khal (the later) read alike.
      {.name = "an hour moved into the first of a doubled hour",
       .text =
           calendar("-//Other//EN", "",
                    "BEGIN:VEVENT\nUID:night-8\nDTSTAMP:20240101T000000Z\nDTSTART;TZID=Ame"
                    "rica/New_York:20241102T010000\nDURATION:PT1H\nSUMMARY:Backup\nEND:VEVENT\n"),
       .from = {"2024-11-02 06:00"},
       .through = "2024-11-10"},
      // The user's clock shows 02:00 twice on 2024-10-27: a floating hour moved to the first would
      // be written as the second, without length.
      {.name = "floating, moved into the first of a doubled hour",
       .text = calendar("-//Other//EN", "",
                        "BEGIN:VEVENT\nUID:float-1\nDTSTAMP:20240101T000000Z\n"
                        "DTSTART:20241025T010000\nDURATION:PT1H\nRRULE:FREQ=DAILY;COUNT=4\n"
                        "SUMMARY:Backup\nEND:VEVENT\n"),
       .from = {"2024-10-27 01:00"},
       .refused = {{"later this", "The event cannot be given those times"},
                   {"later future", "The event cannot be given those times"},
                   {"next day this", ""},
                   {"next day future", ""}},
       .through = "2024-11-01"},
      // Every night but Wednesday's at 02:00, which the clock shows twice on 2024-10-27; moved a
      // day, its rule names Monday first again, as libical reads it back.
      {"nightly across the clock going back",
       calendar("-//Sabre//Sabre VObject 4.5.4//EN", kBerlin,
                "BEGIN:VEVENT\nUID:night-1\nDTSTAMP:20240401T080000Z\n"
                "DTSTART;TZID=Europe/Berlin:20241020T020000\n"
                "DTEND;TZID=Europe/Berlin:20241020T023000\n"
                "RRULE:FREQ=DAILY;BYDAY=SU,MO,TU,TH,FR,SA;COUNT=14\nSUMMARY:Backup\nEND:VEVENT\n"),
       {"2024-10-22 02:00"}},
      // An old exporter's, as a Mac wrote text files: bare CRs after a byte order mark, a title in
      // Latin-1, a UID and an attendee's address longer than a line.
      {"bare CRs with a Latin-1 title",
       calendar("-//Classic Planner//3.2//EN", kBerlin,
                "BEGIN:VEVENT\nUID:" + std::string(90, 'u') +
                    "\nDTSTAMP:20240401T080000Z\nDTSTART;TZID=Europe/Berlin:20240502T083000\n"
                    "DTEND;TZID=Europe/Berlin:20240502T090000\nRRULE:FREQ=WEEKLY;COUNT=8\n"
                    "SUMMARY:Caf\xe9 \xfc"
                    "ber\nATTENDEE;CN=Someone With A Long Name:mailto:someone."
                    "with.a.long.address@subdomain.example.org\nEND:VEVENT\n"),
       {"2024-05-02 08:30", "2024-05-23 08:30"},
       {},
       true},
  };
  return all;
}

// ---- the occurrences of a calendar folder, expanded from its files on their own

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }
// The occurrences compared, on the user's clock: from 2024, or a series' first day before it, up
// to the series' `through`.
const char* const kFrom = "2024-01-01";
struct Window {
  std::string since, through;
  PimTime from, to;
};

struct Occurrence {
  std::string original;  // where the series puts it, on its own clock ("2024-05-06 09:00:00")
  std::string start;     // on the user's clock: "2024-05-06 09:00", or "2024-05-06" for a day
  std::string title;
  long minutes;  // its length
  bool extra;    // an extra date's (RDATE): one before the start moves with it
};

// "2024-05-06 09:00", a day alone "2024-05-06"; as a key, with its seconds, "2024-05-06 09:00:00".
std::string shown(icaltimetype t, bool key = false) {
  char text[24];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return std::string(text, t.is_date ? 10 : key ? 19 : 16);
}

// A file's times: the zone a TZID names (its own VTIMEZONE's, whose TZID libical reads without end
// blanks; else libical's; else the one CLDR gives a Windows name), taken to a clock.
struct Clocks {
  icalcomponent* root;
  icaltimezone* user = icaltimezone_get_builtin_timezone(kUserZone);

  icaltimetype valueOf(icalproperty* prop) const {
    icaltimetype t = icalvalue_get_datetime(icalproperty_get_value(prop));
    if (auto* param = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER)) {
      const std::string tzid = icalparameter_get_tzid(param);
      const size_t from = tzid.find_first_not_of(' '), to = tzid.find_last_not_of(' ');
      const std::string bare = tzid.substr(from, to + 1 - from);
      icu::UnicodeString iana;
      UErrorCode status = U_ZERO_ERROR;
      icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(bare), nullptr, iana, status);
      std::string ianaName;
      for (icaltimezone* zone :
           {icalcomponent_get_timezone(root, tzid.c_str()),
            icalcomponent_get_timezone(root, bare.c_str()),
            icaltimezone_get_builtin_timezone_from_tzid(tzid.c_str()),
            icaltimezone_get_builtin_timezone(tzid.c_str()),
            icaltimezone_get_builtin_timezone(iana.toUTF8String(ianaName).c_str())}) {
        if (t.zone == nullptr) t.zone = zone;
      }
    }
    return t;
  }
  // `t` on the clock of `like` (a day stays a day, a floating time stays as it is); a floating
  // `like` (a TZID nobody defines too) is on the user's.
  static icaltimetype on(icaltimetype t, icaltimetype like) {
    if (t.is_date || like.is_date || t.zone == nullptr) return t;
    const icaltimezone* to = like.zone ? like.zone : icaltimezone_get_builtin_timezone(kUserZone);
    return icaltime_convert_to_zone(t, const_cast<icaltimezone*>(to));
  }
  // The instant a time names: a zone's wall clock as ICU reads it where it knows the zone (the
  // offset before a gap the clock skips, RFC 5545 3.3.5; the later of two times shown twice, or
  // with `first` the first, as RFC 5545 reads it), else as libical converts it.
  static time_t instant(icaltimetype t, bool first = false) {
    const auto utc = sys_days(year(t.year) / unsigned(t.month) / unsigned(t.day)) + hours(t.hour) +
                     minutes(t.minute) + seconds(t.second);
    if (t.is_date || icaltime_is_utc(t) || t.year < 1902) return system_clock::to_time_t(utc);
    auto* zone = const_cast<icaltimezone*>(t.zone);
    const char* id = zone ? icaltimezone_get_location(zone) : kUserZone;
    if (id == nullptr) return icaltime_as_timet_with_zone(t, zone);
    UErrorCode status = U_ZERO_ERROR;
    // One calendar a zone (none for a zone ICU does not know): series are expanded by the hour.
    static std::map<std::string, std::unique_ptr<icu::Calendar>> calendars;
    auto [known, added] = calendars.try_emplace(id);
    if (added) {
      known->second.reset(icu::Calendar::createInstance(
          icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id)), status));
      icu::UnicodeString name;
      if (known->second->getTimeZone().getID(name) == "Etc/Unknown") known->second.reset();
    }
    icu::Calendar* clock = known->second.get();
    if (clock == nullptr) return icaltime_as_timet_with_zone(t, zone);
    clock->setRepeatedWallTimeOption(first ? UCAL_WALLTIME_FIRST : UCAL_WALLTIME_LAST);
    clock->clear();
    clock->set(t.year, t.month - 1, t.day, t.hour, t.minute, t.second);
    return static_cast<time_t>(clock->getTime(status) / 1000);
  }
  icaltimetype onUsers(icaltimetype t) const {
    if (t.is_date || t.zone == nullptr) return t;
    if (t.year >= 1902)
      t = icaltime_from_timet_with_zone(instant(t), 0, icaltimezone_get_utc_timezone());
    return icaltime_convert_to_zone(t, user);
  }
};

// Its occurrences up to the end of `lastYear` on the series' own clock.
std::vector<Occurrence> expandFile(const std::string& bytes, int lastYear) {
  std::string text;  // one line end for libical, no byte order mark
  for (size_t i = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\r') {
      text += bytes[i];
    } else if (i + 1 >= bytes.size() || bytes[i + 1] != '\n') {
      text += '\n';
    }
  }
  icalcomponent* root = icalparser_parse_string(text.c_str());
  const Clocks clocks{root};
  icalcomponent* master = nullptr;
  std::vector<icalcomponent*> own;
  for (icalcomponent* c = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT);
       c != nullptr; c = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
    (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY) ? own.push_back(c)
                                                                     : void(master = c));
  }
  std::map<std::string, Occurrence> found;
  const auto title = [](icalcomponent* c) {
    const std::string s =
        icalcomponent_get_summary(c) != nullptr ? icalcomponent_get_summary(c) : "";
    if (Utf8::isValid(s)) return s;
    std::string out;  // else Latin-1, as the old exporter wrote it
    for (const unsigned char byte : s) {
      out += byte < 0x80 ? std::string(1, static_cast<char>(byte))
                         : std::string{static_cast<char>(0xC0 | byte >> 6),
                                       static_cast<char>(0x80 | (byte & 0x3F))};
    }
    return out;
  };
  // Each list of properties is read whole before anything else is looked up: a look-up restarts
  // libical's walk over a component's properties.
  const auto all = [](icalcomponent* c, icalproperty_kind kind) {
    std::vector<icalproperty*> found;
    for (auto* p = icalcomponent_get_first_property(c, kind); p != nullptr;
         p = icalcomponent_get_next_property(c, kind)) {
      found.push_back(p);
    }
    return found;
  };
  // The minutes its DTEND or DURATION gives an occurrence, between its instants; -1 where RFC
  // 5545's reading of a time the clock shows twice (the first) gives another length.
  const auto length = [&](icalcomponent* c) {
    const icaltimetype from = icalcomponent_get_dtstart(c), to = icalcomponent_get_dtend(c);
    const auto minutes = [&](bool first) {
      return (Clocks::instant(to, first) - Clocks::instant(from, first)) / 60;
    };
    if (icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY)) {  // exact (RFC 5545 3.3.6)
      return long{icaldurationtype_as_int(icalcomponent_get_duration(c)) / 60};
    }
    if (icaltime_is_null_time(to)) return from.is_date ? 1440L : 0L;
    return minutes(false) == minutes(true) ? minutes(false) : -1L;
  };
  // An occurrence is named by its instant: a RECURRENCE-ID or EXDATE at 03:30 EDT names the
  // rule's 02:30 on the night the clock skips it, as khal and libical match them.
  std::map<time_t, std::string> keyAt;
  const auto keyOf = [&](icaltimetype t, const icaltimetype& start) {
    const auto found = keyAt.find(Clocks::instant(t));
    return found != keyAt.end() ? found->second : shown(Clocks::on(t, start), true);
  };
  icaltimetype start{};
  if (master != nullptr) {
    start = clocks.valueOf(icalcomponent_get_first_property(master, ICAL_DTSTART_PROPERTY));
    const std::string named = title(master);
    const long minutes = length(master);
    const time_t first = Clocks::instant(start);
    const auto add = [&](icaltimetype t, bool extra = false) {
      const time_t at = Clocks::instant(t);
      // Once each instant; no rule's step before the start (03:00 after a skipped 02:00 as 03:00).
      if (keyAt.count(at) != 0 || (at < first && !extra)) return;
      keyAt[at] = shown(t, true);
      found[shown(t, true)] = {shown(t, true), shown(clocks.onUsers(t)), named, minutes, extra};
    };
    add(start);
    for (icalproperty* p : all(master, ICAL_RRULE_PROPERTY)) {
      icalrecurrencetype recur = icalproperty_get_rrule(p);
      // UNTIL names an instant: it bounds the series' own clock.
      recur.until = Clocks::on(recur.until, start);
      recur.until.zone = nullptr;
      icaltimetype wall = start;
      wall.zone = nullptr;
      icalrecur_iterator* steps = icalrecur_iterator_new(recur, wall);
      for (int i = 0; steps != nullptr && i < 100'000; ++i) {
        icaltimetype t = icalrecur_iterator_next(steps);
        if (icaltime_is_null_time(t) || t.year > lastYear) break;
        t.zone = start.zone;
        add(t);
      }
      icalrecur_iterator_free(steps);
    }
    for (icalproperty* p : all(master, ICAL_RDATE_PROPERTY)) {
      add(Clocks::on(clocks.valueOf(p), start), true);
    }
    for (icalproperty* p : all(master, ICAL_EXDATE_PROPERTY)) {
      found.erase(keyOf(clocks.valueOf(p), start));
    }
  }
  for (icalcomponent* c : own) {
    const std::string original = keyOf(
        clocks.valueOf(icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)), start);
    found.erase(original);
    if (icalcomponent_get_status(c) == ICAL_STATUS_CANCELLED) continue;
    const icaltimetype begins =
        clocks.valueOf(icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY));
    found[original] = {original, shown(clocks.onUsers(begins)), title(c), length(c), false};
  }
  icalcomponent_free(root);
  std::vector<Occurrence> out;
  for (auto& [key, occurrence] : found) out.push_back(occurrence);
  return out;
}

Lines listed(const std::vector<Occurrence>& all, const Window& window) {
  Lines lines;
  for (const auto& o : all) {
    if (o.start >= window.since && o.start < window.through) {
      lines.push_back(o.start + " " + o.title + " for " + std::to_string(o.minutes));
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The last year a listing before `day` needs occurrences of, on a series' clock a day off at most.
int yearOf(const std::string& day) {
  return std::stoi(day.substr(0, 4)) + (day.substr(5) >= "12-31" ? 1 : 0);
}

Lines expanded(const fs::path& folder, const Window& window) {
  std::vector<Occurrence> all;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".ics") continue;
    const auto more = expandFile(test::readFile(entry.path()), yearOf(window.through));
    all.insert(all.end(), more.begin(), more.end());
  }
  return listed(all, window);
}

// Of each VTIMEZONE of `file`: the year its first observance starts in, the first year of the
// file's times on its clock, and whether a change added or rebuilt it (`original` lacks its start).
struct ZoneCover {
  int from = 9999, needed = 9999;
  bool changed = false;
};
std::vector<ZoneCover> zonesOf(const std::string& file, const std::string& original) {
  std::vector<ZoneCover> found;
  std::vector<icalcomponent*> zones, events;  // gathered first: a look-up restarts libical's walk
  icalcomponent* root = icalparser_parse_string(file.c_str());
  for (auto* c = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
    (icalcomponent_isa(c) == ICAL_VTIMEZONE_COMPONENT ? zones : events).push_back(c);
  }
  const auto firstOf = [](icalcomponent* zone) {
    icaltimetype first = icaltime_null_time();
    for (auto* o = icalcomponent_get_first_component(zone, ICAL_ANY_COMPONENT); o != nullptr;
         o = icalcomponent_get_next_component(zone, ICAL_ANY_COMPONENT)) {
      const icaltimetype at = icalcomponent_get_dtstart(o);
      if (icaltime_is_null_time(first) || icaltime_compare(at, first) < 0) first = at;
    }
    return first;
  };
  for (icalcomponent* zone : zones) {
    ZoneCover cover;
    const icaltimetype first = firstOf(zone);
    cover.from = first.year;
    cover.changed = original.find(icaltime_as_ical_string(first)) == std::string::npos;
    const char* tzid =
        icalproperty_get_tzid(icalcomponent_get_first_property(zone, ICAL_TZID_PROPERTY));
    for (icalcomponent* event : events) {
      for (auto* p = icalcomponent_get_first_property(event, ICAL_ANY_PROPERTY); p != nullptr;
           p = icalcomponent_get_next_property(event, ICAL_ANY_PROPERTY)) {
        auto* named = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER);
        const icalvalue* value = icalproperty_get_value(p);
        if (named != nullptr && std::string(tzid) == icalparameter_get_tzid(named) &&
            icalvalue_isa(value) == ICAL_DATETIME_VALUE) {
          cover.needed = std::min(cover.needed, icalvalue_get_datetime(value).year);
        }
      }
    }
    // Before a zone's first change of offset there is nothing to cover: readers take the offset
    // its first observance changes from (Berlin's local mean time until 1893).
    if (icaltimezone* known = icaltimezone_get_builtin_timezone(tzid)) {
      cover.needed = std::max(cover.needed, firstOf(icaltimezone_get_component(known)).year);
    }
    found.push_back(cover);
  }
  icalcomponent_free(root);
  return found;
}

Lines listedByStore(PimStore& store, const Window& window) {
  Lines lines;
  for (const Event& e : store.events(window.from, window.to)) {
    lines.push_back(test::shown(e) + " for " + std::to_string((e.end - e.start) / minutes(1)));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// What libical's own expansion lists of the folder's files.
Lines libicalListed(const fs::path& folder, const Window& window) {
  Lines lines;
  for (const auto& [name, bytes] : test::contentsOf(folder)) {
    for (const Event& e : test::libicalEvents(bytes, window.from, window.to)) {
      lines.push_back(test::shown(e) + " for " + std::to_string((e.end - e.start) / minutes(1)));
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// ---- the changes, made to the occurrence as listed and, for the oracle, to its listed start

struct Change {
  const char* name;
  bool forTimed, forAllDay;                        // the series it applies to
  void (*made)(Event&);                            // to the event the store lists
  std::string (*moved)(const std::string& start);  // to a listed start
  int minutes = -1;                                // the length it gives; -1: it keeps it
  int longer = 0;  // minutes it adds to the length (only for a series with endsToo)
};

// A listed start moved on the user's clock.
std::string adjusted(const std::string& start, int days, int hours) {
  icaltimetype t = icaltime_null_time();
  std::sscanf(start.c_str(), "%d-%d-%d %d:%d", &t.year, &t.month, &t.day, &t.hour, &t.minute);
  t.is_date = start.size() == 10;
  icaltime_adjust(&t, days, hours, 0, 0);
  return shown(t);
}

PimTime localTime(const std::string& day, int hour) {
  DateComponents c;
  std::sscanf(day.c_str(), "%d-%d-%d", &c.year.emplace(), &c.month.emplace(), &c.day.emplace());
  c.hour = hour;
  return c.date().value();
}

const Change kChanges[] = {
    {"title", true, true, [](Event& e) { e.title = "Retro"; },
     [](const std::string& s) { return s; }},
    {"later", true, false, [](Event& e) { e.start += hours(1), e.end += hours(1); },
     [](const std::string& s) { return adjusted(s, 0, 1); }},
    {"next day", true, true, [](Event& e) { e.start += days(1), e.end += days(1); },
     [](const std::string& s) { return adjusted(s, 1, 0); }},
    {"day before", true, true, [](Event& e) { e.start -= days(1), e.end -= days(1); },
     [](const std::string& s) { return adjusted(s, -1, 0); }},
    {"all-day", true, false,
     [](Event& e) {
       e.start = at(test::shown(e).substr(0, 10));  // its day where the user is
       e.allDay = true;
       e.end = e.start + days(1);
     },
     [](const std::string& s) { return s.substr(0, 10); }, 24 * 60},
    {"timed", false, true,
     [](Event& e) {
       e.allDay = false;
       e.start = localTime(test::shown(e), 9);
       e.end = e.start + minutes(30);
     },
     [](const std::string& s) { return s + " 09:00"; }, 30},
    {"longer", true, false, [](Event& e) { e.end += minutes(30); },
     [](const std::string& s) { return s; }, -1, 30},
};

// What the occurrences must be after `change` at the one listed as `chosen`: it and, for a change
// from it on, every later one (by where the series puts them) moved as asked; a new title only
// where an occurrence had the series' own.
Lines expected(const std::vector<Occurrence>& before, const std::string& chosen,
               const Change& change, Span span, const std::string& seriesTitle,
               const Window& window) {
  const auto at = std::find_if(before.begin(), before.end(),
                               [&](const Occurrence& o) { return o.start == chosen; });
  EXPECT_NE(at, before.end()) << chosen;
  if (at == before.end()) return {};
  const bool whole = std::all_of(before.begin(), at, [](const Occurrence& o) { return o.extra; });
  std::vector<Occurrence> after = before;
  for (Occurrence& o : after) {
    const bool reached =
        span == Span::thisEvent ? o.original == at->original : o.original >= at->original || whole;
    if (!reached) continue;
    o.start = change.moved(o.start);
    if (change.minutes >= 0) o.minutes = change.minutes;
    o.minutes += change.longer;
    const bool retitled = std::string(change.name) == "title" &&
                          (o.original == at->original || o.title == seriesTitle);
    if (retitled) o.title = "Retro";
  }
  return listed(after, window);
}

// A change refused so, naming the file and its line and the zone of the times it gives; the file
// as `text` had it.
void expectRefused(const Result<Event, PimError>& saved, const std::string& begins,
                   const fs::path& folder, const std::string& text) {
  ASSERT_FALSE(saved.ok());
  const std::string& message = saved.error().message;
  EXPECT_EQ(test::readFile(folder / "item.ics"), text);
  EXPECT_EQ(message.rfind(begins, 0), 0u) << message;
  EXPECT_NE(message.find((folder / "item.ics").string() + ", line "), std::string::npos) << message;
  const bool timed = message.find(":00") != std::string::npos;
  EXPECT_EQ(message.find(" Europe/Berlin time") != std::string::npos, timed) << message;
}

class SeriesChangeTest : public testing::TestWithParam<Series> {
 protected:
  void SetUp() override {
    ::setenv("TZ", kUserZone, 1);
    ::tzset();
  }
  // The C library's zone back to UTC for the tests after it in the same program.
  void TearDown() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

TEST_P(SeriesChangeTest, ChangesExactlyTheOccurrencesAskedOrNothing) {
  const Series& series = GetParam();
  const std::string khal = test::onPath("khal");
  std::string text = series.bareCr ? "\xEF\xBB\xBF" : "";
  for (char c : series.text) text += c != '\n' ? std::string(1, c) : series.bareCr ? "\r" : "\r\n";
  const auto before = expandFile(text, yearOf(series.through));
  const bool allDay = std::all_of(before.begin(), before.end(),
                                  [](const Occurrence& o) { return o.start.size() == 10; });
  const std::string seriesTitle = before.empty() ? "" : before.front().title;
  const std::string since =
      std::min<std::string>(kFrom, before.empty() ? kFrom : before.front().start);
  const Window window{since, series.through, localTime(since, 0), localTime(series.through, 0)};
  // libical's own expansion, compared where it reads the unchanged file as the store does: not
  // where it finds no zone (a TZID with blanks, an RDATE's, a name nobody defines), reads a
  // floating time as UTC or a day before 1902 as none, or steps on an hour late after a night the
  // clock skips.
  bool libicalAlike = false;
  // The folders khal is shown, all at once after the changes: each row's, with what it must list.
  std::vector<fs::path> khalFolders;
  std::vector<std::pair<std::string, Lines>> khalWanted;  // the row and the file, the starts
  int run = 0;
  for (const char* from : series.from) {
    for (const Change& change : kChanges) {
      if (!(allDay ? change.forAllDay : change.forTimed)) continue;
      if (change.longer != 0 && !series.endsToo) continue;
      for (Span span : {Span::thisEvent, Span::futureEvents}) {
        const std::string row =
            std::string(change.name) + (span == Span::thisEvent ? " this" : " future");
        SCOPED_TRACE(row + " at " + from);
        PimStore store(test::home() / std::to_string(run++));
        const fs::path folder = store.defaultCalendarForNewEvents()->id;
        test::writeFile(folder / "item.ics", text);
        ASSERT_EQ(listedByStore(store, window), listed(before, window));
        if (run == 1) {
          libicalAlike = since >= "1902" && libicalListed(folder, window) == listed(before, window);
        }
        std::optional<Event> chosen;
        for (const Event& e : store.events(window.from, window.to)) {
          if (test::shown(e).rfind(std::string(from) + " ", 0) == 0) chosen = e;
        }
        ASSERT_TRUE(chosen) << from;
        change.made(*chosen);
        const auto saved = store.saveEvent(*chosen, span);
        // From a later occurrence on, the series split off is refused as the whole one is.
        const bool any = span == Span::futureEvents && series.refused.count("any future") != 0;
        const auto refusal = series.refused.find(any ? "any future" : row);
        if (refusal != series.refused.end() && *refusal->second == '\0') {
          EXPECT_TRUE(saved.ok()) << saved.error().message;
          continue;
        }
        if (refusal != series.refused.end()) {
          expectRefused(saved, refusal->second, folder, text);
          EXPECT_EQ(test::namesIn(folder), (Lines{"displayname", "item.ics", "tavrin-kind"}));
          continue;
        }
        if (!saved.ok()) {
          ADD_FAILURE() << saved.error().message;
          continue;
        }
        const Lines wanted = expected(before, from, change, span, seriesTitle, window);
        std::string files;  // shown with a failure
        for (const auto& [name, bytes] : test::contentsOf(folder)) {
          files += name + ":\n" + bytes;
          // RFC 5545 3.3.10: no time of day in a rule beside days.
          const bool days =
              span == Span::futureEvents && bytes.find("DTSTART;VALUE=DATE:") != std::string::npos;
          EXPECT_FALSE(days && bytes.find("BYHOUR=") != std::string::npos) << bytes;
        }
        EXPECT_EQ(expanded(folder, window), wanted) << files;
        EXPECT_EQ(listedByStore(store, window), wanted) << files;
        if (libicalAlike) {
          EXPECT_EQ(libicalListed(folder, window), wanted) << "libical\n" << files;
        }
        // Each VTIMEZONE covers the file's times on its clock; one the change added or rebuilt
        // begins in the year of the earliest of them (khal skips a file with a zone's history).
        for (const auto& [name, bytes] : test::contentsOf(folder)) {
          for (const ZoneCover& zone : zonesOf(bytes, text)) {
            EXPECT_LE(zone.from, zone.needed) << name;
            EXPECT_TRUE(!zone.changed || zone.from == zone.needed) << name << " " << zone.from;
          }
        }
        // khal does not see that one occurrence made a day (or a time of day) of its own stands
        // for its timed (or all-day) original, and lists both; it reads no file of bare CRs.
        const bool ownKind = span == Span::thisEvent &&
                             (change.made == kChanges[4].made || change.made == kChanges[5].made);
        if (!khal.empty() && !ownKind && !series.bareCr && series.khalAgrees) {
          Lines starts;  // khal is asked for starts alone, from 2024
          for (const auto& line : wanted) {
            std::string start = line.substr(0, line.rfind(" for "));
            if (line >= kFrom) starts.push_back(start);
          }
          std::sort(starts.begin(), starts.end());
          khalFolders.push_back(folder);
          khalWanted.emplace_back(row + " at " + from + "\n" + files, starts);
        }
      }
    }
  }
  if (!khalFolders.empty()) {
    const auto last = adjusted(series.through, -1, 0);  // khal's range ends with it
    const auto lists = test::khalLists(khal, khalFolders, kFrom, last.c_str());
    for (std::size_t at = 0; at < lists.size(); ++at) {
      EXPECT_EQ(lists[at], khalWanted[at].second) << khalWanted[at].first;
    }
  }
  if (khal.empty()) GTEST_SKIP() << "khal is not installed (install-deps): not compared with it";
}

// A series ticking every minute from 09:00 on its first day, by its rule's other parts, changed
// from the occurrence chosen on: refused, writing nothing, or made when no refusal is given.
struct AtTheLimit {
  const char* rule;
  const char* chosen;            // the occurrence changed, from it on
  int change;                    // of kChanges; -1: removed
  const char* refusal;           // null: made
  const char* day = "20260128";  // the series' first, at 09:00
};

void changeAtTheLimit(const AtTheLimit& row, const std::string& storeName) {
  SCOPED_TRACE(std::string(row.rule) + " at " + row.chosen);
  PimStore store(test::home() / storeName);
  const fs::path folder = store.defaultCalendarForNewEvents()->id;
  const std::string text =
      server("tick", row.day, "RRULE:FREQ=MINUTELY;" + std::string(row.rule) + "\n", "Tick");
  test::writeFile(folder / "item.ics", text);
  auto found = store.events(at(row.chosen), at(row.chosen) + seconds(1));
  ASSERT_FALSE(found.empty());  // the hour-long occurrences there, the last starting there
  ASSERT_EQ(found.back().start, at(row.chosen));
  if (row.change >= 0) kChanges[row.change].made(found.back());
  const auto done = row.change >= 0 ? store.saveEvent(found.back(), Span::futureEvents)
                                    : store.removeEvent(found.back().id, Span::futureEvents);
  if (row.refusal != nullptr) {
    expectRefused(done, row.refusal, folder, text);
    return;
  }
  ASSERT_TRUE(done.ok()) << done.error().message;
  for (const auto& [start, title] :
       {std::pair{at(row.chosen), "Retro"}, {found.back().start - minutes(1), "Tick"}}) {
    EXPECT_EQ(store.events(start, start + seconds(1)).back().title, title);
  }
}

// Rules every minute, which no change can follow to their ends: each check refuses at its limit,
// writing nothing, rather than taking what it did not check or writing back where it stopped.
// Just under it, the change is made.
TEST_F(SeriesChangeTest, RefusesAtTheLimitOfEachCheck) {
  const AtTheLimit rows[] = {
      // On the 27th and 28th moved a day later: February has no 29th, a day's minutes after.
      {"BYMONTHDAY=27,28", "2026-01-28T09:00:00+01:00", 2, "The series cannot be moved so: moved"},
      // A walk follows some fourteen years of minutes on two days a month.
      {"BYMONTHDAY=27,28;UNTIL=20500101T000000Z", "2026-01-28T09:00:00+01:00", 3,
       "The series cannot be moved so: its rule RRULE:FREQ=MINUTELY;UNTIL=20500101T000000Z;"},
      {"BYMONTHDAY=27,28;UNTIL=20500101T000000Z", "2041-06-27T10:00:00+02:00", 0,
       "The series cannot be cut in two at this occurrence: its rule"},
      // Ten minutes of March, which the walk finds at once: moved with the start, they would
      // not move, as the minutes step on from the start's.
      {"BYMONTH=3;COUNT=10", "2026-01-28T09:00:00+01:00", 1,
       "The series cannot be moved so: moved with it"},
      {"BYMONTHDAY=27,28;UNTIL=20260601T000000Z", "2026-03-27T19:39:00+01:00", 0, nullptr,
       "20260117"},
      {"BYMONTHDAY=27,28;UNTIL=20500101T000000Z", "2041-04-27T00:00:00+02:00", -1,
       "The series cannot be cut in two at this occurrence: its rule", "20260117"},
  };
  for (const auto& row : rows) changeAtTheLimit(row, std::to_string(&row - rows));
}

// So for the comparison of the occurrences from the one chosen on, in a table of its own: with
// the rows above it would need more than ten seconds of a sanitized build's CPU.
TEST_F(SeriesChangeTest, ComparesNoMoreOccurrencesThanItsLimit) {
  const AtTheLimit rows[] = {
      // 99,999 occurrences from the second on are compared (on days the clock skips no hour).
      {"BYMONTHDAY=1,2;COUNT=100000", "2026-02-01T09:01:00+01:00", 0, nullptr, "20260201"},
      {"BYMONTHDAY=1,2;COUNT=100001", "2026-02-01T09:01:00+01:00", 0,
       "The series cannot be changed from this occurrence on: it repeats too often to compare",
       "20260201"},
  };
  for (const auto& row : rows) changeAtTheLimit(row, std::to_string(&row - rows));
}

// A change from the first occurrence on is made where the store's walk shows the rule giving each
// changed as asked, and refused, writing nothing, where it does not.
TEST_F(SeriesChangeTest, ChangesWhatTheWalkShowsTheRuleGives) {
  const struct {
    const char* rule;
    const char* start;    // on Berlin's clock
    const char* chosen;   // the occurrence changed, as listed
    int change;           // of kChanges
    const char* refusal;  // null: made
  } rows[] = {
      // 23:00 on the last of a month or year an hour later is on the first of the next.
      {"FREQ=HOURLY;INTERVAL=5;BYMONTHDAY=-1;COUNT=16", "20250131T090000", "2025-01-31 09:00", 1,
       "The series cannot be moved so: moved with it"},
      {"FREQ=HOURLY;BYYEARDAY=-1;BYHOUR=22,23;COUNT=4", "20241231T220000", "2024-12-31 22:00", 1,
       "The series cannot be moved so: moved with it"},
      // Once a week, and once a day, by the hour and by the second.
      {"FREQ=HOURLY;BYHOUR=12;BYDAY=FR", "20250103T120000", "2025-01-03 12:00", 4, nullptr},
      {"FREQ=SECONDLY;BYHOUR=12;BYMINUTE=0;BYSECOND=0", "20250103T120000", "2025-01-03 12:00", 4,
       nullptr},
      {"FREQ=SECONDLY;BYHOUR=12;BYMINUTE=0;BYSECOND=0", "20250103T120000", "2025-01-03 12:00", 1,
       nullptr},
      // Cut the day after the night the clock skips 02:30, which the series before keeps.
      {"FREQ=DAILY", "20250325T023000", "2025-03-31 02:30", 0, nullptr},
  };
  const Window window{"", "", localTime("2024-12-01", 0), localTime("2026-01-01", 0)};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.rule) + " " + kChanges[row.change].name);
    PimStore store(test::home() / ("walk" + std::to_string(&row - rows)));
    const fs::path folder = store.defaultCalendarForNewEvents()->id;
    const std::string text =
        calendar("-//Other//EN", kBerlin,
                 "BEGIN:VEVENT\nUID:walk\nDTSTAMP:20240101T000000Z\nDTSTART;TZID=Europe/Berlin:" +
                     std::string(row.start) + "\nDURATION:PT1H\nRRULE:" + row.rule +
                     "\nSUMMARY:Tick\nEND:VEVENT\n");
    test::writeFile(folder / "item.ics", text);
    const Lines before = listedByStore(store, window);
    auto all = store.events(window.from, window.to);
    const auto chosen = std::find_if(all.begin(), all.end(), [&](const Event& e) {
      return test::shown(e).rfind(std::string(row.chosen) + " ", 0) == 0;
    });
    ASSERT_NE(chosen, all.end());
    kChanges[row.change].made(*chosen);
    const auto saved = store.saveEvent(*chosen, Span::futureEvents);
    if (row.refusal != nullptr) {
      expectRefused(saved, row.refusal, folder, text);
      continue;
    }
    EXPECT_TRUE(saved.ok()) << saved.error().message;
    Lines wanted;
    const Change& change = kChanges[row.change];
    for (const std::string& line : before) {
      const std::string start = line.substr(0, line.find(" Tick"));
      wanted.push_back(start < row.chosen
                           ? line
                           : change.moved(start) + (row.change == 0 ? " Retro" : " Tick") +
                                 " for " + (change.minutes < 0 ? "60" : "1440"));
    }
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(listedByStore(store, window), wanted);
  }
}

INSTANTIATE_TEST_SUITE_P(Series, SeriesChangeTest, testing::ValuesIn(allSeries()),
                         [](const testing::TestParamInfo<Series>& info) {
                           std::string name;
                           for (char c : std::string(info.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace tvrn
