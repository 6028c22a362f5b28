// Zoned times as other programs write them: a zone the system knows is read with the system's
// data whatever VTIMEZONE the file carries (khal's holds only the changes near the start), and a
// file's own VTIMEZONE serves only a name nobody else defines.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "pim/ICalItem.h"
#include "pim/ICalZones.h"
#include "pim/PimCodec.h"

namespace tvrn {
namespace {

using namespace std::chrono;

PimTime at(const char* text) { return PimCodec::parseTime(text).value(); }

// What khal writes for an event from 2024-03-04: the last change before the start and the
// first after it, nothing later.
std::string khalZone(const std::string& tzid, const char* winter, const char* summer) {
  return "BEGIN:VTIMEZONE\r\nTZID:" + tzid +
         "\r\nBEGIN:STANDARD\r\nDTSTART;VALUE=DATE-TIME:20231029T020000\r\nTZNAME:STD\r\n"
         "TZOFFSETFROM:" +
         summer + "\r\nTZOFFSETTO:" + winter +
         "\r\nEND:STANDARD\r\nBEGIN:DAYLIGHT\r\nDTSTART;VALUE=DATE-TIME:20240331T030000\r\n"
         "TZNAME:DST\r\nTZOFFSETFROM:" +
         winter + "\r\nTZOFFSETTO:" + summer + "\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";
}

// One fixed offset, all year.
std::string fixedZone(const std::string& tzid, const char* offset) {
  return "BEGIN:VTIMEZONE\r\nTZID:" + tzid +
         "\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:" + offset +
         "\r\nTZOFFSETTO:" + offset + "\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
}

std::string weekly(const std::string& zones, const std::string& tzid) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\n" + zones +
         "BEGIN:VEVENT\r\nUID:w\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Weekly\r\n"
         "DTSTART;TZID=" +
         tzid + ":20240304T090000\r\nDTEND;TZID=" + tzid +
         ":20240304T100000\r\nRRULE:FREQ=WEEKLY\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

// The 09:00 occurrences of 2024-03-04, 2024-11-04, 2027-01-04 and 2027-07-05.
const char* const kDays[] = {"2024-03-04", "2024-11-04", "2027-01-04", "2027-07-05"};

// Read for a listing (zones known already left out) and for a change, the series' 09:00 is
// 09:00 of the zone the system knows by that name, in every year; the last occurrence moved to
// 10:00 is written as 10:00, under the TZID and beside the VTIMEZONE the file had, or the
// system's.
TEST(ICalZonesTest, AZoneTheSystemKnowsIsReadAndWrittenWithItsOwnDataWhateverTheFileCarries) {
  ::setenv("TZ", "UTC", 1);  // a floating time is the user's wall clock
  ::tzset();
  const std::string vendor = "/freeassociation.sourceforge.net/Europe/Berlin";
  const std::string dated = "/mozilla.org/20050126_1/America/New_York";
  const struct {
    const char* what;
    std::string tzid;
    std::string zone;    // the file's VTIMEZONE
    const char* utc[4];  // where the occurrences fall
  } cases[] = {
      {"khal's Berlin",
       "Europe/Berlin",
       khalZone("Europe/Berlin", "+0100", "+0200"),
       {"08:00", "08:00", "08:00", "07:00"}},
      {"khal's New York",
       "America/New_York",
       khalZone("America/New_York", "-0500", "-0400"),
       {"14:00", "14:00", "14:00", "13:00"}},
      {"a vendor's prefix, its VTIMEZONE wrong",
       vendor,
       fixedZone(vendor, "+0500"),
       {"08:00", "08:00", "08:00", "07:00"}},
      {"a dated vendor's prefix, no VTIMEZONE", dated, "", {"14:00", "14:00", "14:00", "13:00"}},
      {"a name only the file defines",
       "Office Time",
       fixedZone("Office Time", "+0530"),
       {"03:30", "03:30", "03:30", "03:30"}},
      {"a name nobody defines floats",
       "Atlantis/Capital",
       "",
       {"09:00", "09:00", "09:00", "09:00"}},
      {"a name that leads out of the zone folder floats",
       "../../../../etc/passwd",
       "",
       {"09:00", "09:00", "09:00", "09:00"}},
  };
  for (const auto& c : cases) {
    const auto start = [&](int i) {
      return at((std::string(kDays[i]) + "T" + c.utc[i] + ":00Z").c_str());
    };
    for (const auto use : {ICalItem::Use::reading, ICalItem::Use::change}) {
      SCOPED_TRACE(std::string(c.what) + (use == ICalItem::Use::reading ? ", read" : ", changed"));
      std::string why;
      auto item = ICalItem::parse(weekly(c.zone, c.tzid), &why, use);
      ASSERT_TRUE(item) << why;
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(item->cursor(start(i) - hours(24)).next(), start(i)) << kDays[i];
      }
      if (use == ICalItem::Use::reading) continue;

      const Event before = item->occurrence(start(3)).value();
      Event after = before;
      after.start = start(3) + hours(1);
      after.end = after.start + hours(1);
      ASSERT_TRUE(item->changeOccurrence(start(3), before, after));
      std::string text = item->text();
      for (size_t fold = text.find("\r\n "); fold != text.npos; fold = text.find("\r\n ")) {
        text.erase(fold, 3);
      }
      for (const std::string& line : {"RECURRENCE-ID;TZID=" + c.tzid + ":20270705T090000",
                                      "DTSTART;TZID=" + c.tzid + ":20270705T100000",
                                      "DTEND;TZID=" + c.tzid + ":20270705T110000"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
      }
      // A zone the system knows and the file does not define is added for other programs.
      const bool defined = !c.zone.empty() || ICalZones::systemZone(c.tzid) != nullptr;
      EXPECT_EQ(text.find("BEGIN:VTIMEZONE\r\nTZID:" + c.tzid + "\r\n") != text.npos, defined);
      const auto again = ICalItem::parse(text, nullptr, ICalItem::Use::reading);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->occurrence(start(3))->start, after.start);
    }
  }
}

// Every file's copy of a VTIMEZONE is read once: a copy of one met before stands for the same
// zone, another text is another zone even under the same name, and a name the system knows is
// left to the system.
TEST(ICalZonesTest, OneZoneServesEveryFileThatCarriesTheSameVTimezone) {
  const std::string office = fixedZone("Office Time", "+0530");
  const auto first = ICalZones::readBlock(office);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->tzid, "Office Time");
  ASSERT_NE(first->zone, nullptr);

  const struct {
    const char* what;
    std::string block;
    bool same;    // the zone read first
    bool system;  // left to the system's zone
  } cases[] = {
      {"the same text again", office, true, false},
      {"another offset under the same name", fixedZone("Office Time", "+0545"), false, false},
      {"a name the system knows", khalZone("Europe/Berlin", "+0100", "+0200"), false, true},
      {"a vendor's spelling of one", fixedZone("/citadel.org/20190914_1/Asia/Tokyo", "+0900"),
       false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto read = ICalZones::readBlock(c.block);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->zone == first->zone, c.same);
    EXPECT_EQ(read->zone == nullptr, c.system);
  }
  // Nothing that defines no zone is kept.
  for (const std::string& bad : {std::string("BEGIN:VTIMEZONE\r\nEND:VTIMEZONE\r\n"),
                                 std::string("BEGIN:VTIMEZONE\r\nTZID:\r\nEND:VTIMEZONE\r\n"),
                                 std::string("not a calendar")}) {
    EXPECT_FALSE(ICalZones::readBlock(bad)) << bad;
  }
}

}  // namespace
}  // namespace tvrn
