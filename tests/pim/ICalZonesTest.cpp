// Zoned times as other programs write them: a zone the system knows is read with the system's
// data whatever VTIMEZONE the file carries (khal's holds only the changes near the start), and a
// file's own VTIMEZONE serves only a name nobody else defines.
#include <gtest/gtest.h>
#include <libical/ical.h>
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

struct ZoneCase {
  const char* what;
  std::string text;
  // Where the 09:00 occurrences of 2024-03-04, 2024-11-04, 2027-01-04 and 2027-07-05 fall.
  const char* starts[4];
};

// Read for a listing (zones the store knows left out) and for a change, the series' 09:00 is
// 09:00 of the zone the system knows by that name, in every year.
TEST(ICalZonesTest, AZoneTheSystemKnowsIsReadWithItsOwnDataWhateverTheFileCarries) {
  ::setenv("TZ", "UTC", 1);  // a floating time is the user's wall clock
  ::tzset();
  const std::string vendorBerlin = "/freeassociation.sourceforge.net/Europe/Berlin";
  const ZoneCase cases[] = {
      {"khal's Berlin",
       weekly(khalZone("Europe/Berlin", "+0100", "+0200"), "Europe/Berlin"),
       {"2024-03-04T08:00:00Z", "2024-11-04T08:00:00Z", "2027-01-04T08:00:00Z",
        "2027-07-05T07:00:00Z"}},
      {"khal's New York",
       weekly(khalZone("America/New_York", "-0500", "-0400"), "America/New_York"),
       {"2024-03-04T14:00:00Z", "2024-11-04T14:00:00Z", "2027-01-04T14:00:00Z",
        "2027-07-05T13:00:00Z"}},
      {"a vendor's prefix, its VTIMEZONE wrong",
       weekly(fixedZone(vendorBerlin, "+0500"), vendorBerlin),
       {"2024-03-04T08:00:00Z", "2024-11-04T08:00:00Z", "2027-01-04T08:00:00Z",
        "2027-07-05T07:00:00Z"}},
      {"a dated vendor's prefix, no VTIMEZONE",
       weekly("", "/mozilla.org/20050126_1/America/New_York"),
       {"2024-03-04T14:00:00Z", "2024-11-04T14:00:00Z", "2027-01-04T14:00:00Z",
        "2027-07-05T13:00:00Z"}},
      {"a name only the file defines",
       weekly(fixedZone("Office Time", "+0530"), "Office Time"),
       {"2024-03-04T03:30:00Z", "2024-11-04T03:30:00Z", "2027-01-04T03:30:00Z",
        "2027-07-05T03:30:00Z"}},
      {"a name nobody defines floats",
       weekly("", "Atlantis/Capital"),
       {"2024-03-04T09:00:00Z", "2024-11-04T09:00:00Z", "2027-01-04T09:00:00Z",
        "2027-07-05T09:00:00Z"}},
      {"a name that leads out of the zone folder floats",
       weekly("", "../../../../etc/passwd"),
       {"2024-03-04T09:00:00Z", "2024-11-04T09:00:00Z", "2027-01-04T09:00:00Z",
        "2027-07-05T09:00:00Z"}},
  };
  const PimTime from[] = {at("2024-03-01"), at("2024-11-01"), at("2027-01-01"), at("2027-07-01")};
  for (const auto& c : cases) {
    for (const auto use : {ICalItem::Use::reading, ICalItem::Use::change}) {
      SCOPED_TRACE(std::string(c.what) + (use == ICalItem::Use::reading ? ", read" : ", changed"));
      std::string why;
      const auto item = ICalItem::parse(c.text, &why, use);
      ASSERT_TRUE(item) << why;
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(PimCodec::instantText(item->cursor(from[i]).next().value()), c.starts[i]);
      }
    }
  }
}

// Moving an occurrence khal's VTIMEZONE no longer covers writes the wall clock asked for, and the
// file keeps its own spelling of the zone and its VTIMEZONE.
TEST(ICalZonesTest, AMoveWritesTheWallClockOfTheZoneItsTzidNames) {
  const std::string vendorBerlin = "/freeassociation.sourceforge.net/Europe/Berlin";
  const struct {
    const char* what;
    std::string text;
    std::string tzid;
    const char* original;
    const char* moved;
    const char* kept;  // a line of the file's VTIMEZONE
  } cases[] = {
      {"khal's Berlin, in winter",
       weekly(khalZone("Europe/Berlin", "+0100", "+0200"), "Europe/Berlin"), "Europe/Berlin",
       "2027-01-04T08:00:00Z", "2027-01-04T09:00:00Z", "TZOFFSETTO:+0200"},
      {"khal's New York, in summer",
       weekly(khalZone("America/New_York", "-0500", "-0400"), "America/New_York"),
       "America/New_York", "2027-07-05T13:00:00Z", "2027-07-05T14:00:00Z", "TZOFFSETTO:-0400"},
      {"a vendor's prefix", weekly(fixedZone(vendorBerlin, "+0500"), vendorBerlin), vendorBerlin,
       "2027-07-05T07:00:00Z", "2027-07-05T08:00:00Z", "TZOFFSETTO:+0500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto item = ICalItem::parse(c.text, nullptr);
    ASSERT_TRUE(item);
    const auto before = item->occurrence(at(c.original));
    ASSERT_TRUE(before);
    Event after = *before;
    after.start = at(c.moved);
    after.end = after.start + hours(1);
    ASSERT_TRUE(item->changeOccurrence(at(c.original), *before, after));
    std::string text = item->text();
    for (size_t fold = text.find("\r\n "); fold != std::string::npos; fold = text.find("\r\n ")) {
      text.erase(fold, 3);
    }
    const std::string day = std::string(c.original).substr(0, 10);
    const std::string date = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
    for (const std::string& line :
         {"RECURRENCE-ID;TZID=" + c.tzid + ":" + date + "T090000",
          "DTSTART;TZID=" + c.tzid + ":" + date + "T100000",
          "DTEND;TZID=" + c.tzid + ":" + date + "T110000", "TZID:" + c.tzid, std::string(c.kept)}) {
      EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    EXPECT_EQ(item->occurrence(at(c.original))->start, at(c.moved));
    // Read again, as the next listing reads it.
    const auto again = ICalItem::parse(text, nullptr, ICalItem::Use::reading);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->occurrence(at(c.original))->start, at(c.moved));
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

// The blocks are found as a file spells them: any letter case, LF or CRLF, several of them.
TEST(ICalZonesTest, BlocksAreFoundWhereverTheFileHasThem) {
  const struct {
    std::string text;
    size_t count;
    std::string first;
  } cases[] = {
      {"BEGIN:VCALENDAR\r\nBEGIN:VTIMEZONE\r\nTZID:A\r\nEND:VTIMEZONE\r\nEND:VCALENDAR\r\n", 1,
       "BEGIN:VTIMEZONE\r\nTZID:A\r\nEND:VTIMEZONE\r\n"},
      {"begin:vtimezone\ntzid:a\nend:vtimezone\nBEGIN:VTIMEZONE\nTZID:B\nEND:VTIMEZONE", 2,
       "begin:vtimezone\ntzid:a\nend:vtimezone\n"},
      {"BEGIN:VTIMEZONE\r\nTZID:A\r\n", 0, ""},  // never ended
      {"X-NOTE:BEGIN:VTIMEZONE\r\nEND:VTIMEZONE\r\n", 0, ""},
  };
  for (const auto& c : cases) {
    const auto blocks = ICalZones::blocksIn(c.text);
    ASSERT_EQ(blocks.size(), c.count) << c.text;
    if (c.count > 0) {
      EXPECT_EQ(blocks.front(), c.first);
    }
  }
}

}  // namespace
}  // namespace tvrn
