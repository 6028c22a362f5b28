// Items as other programs write them, changed through the store: every line a change does not
// concern stays as the file had it, whether libical can read it or not.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/OtherPrograms.h"
#include "pim/EventListings.h"
#include "pim/ICalItem.h"
#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using Names = std::set<std::string>;
using Lines = std::vector<std::string>;

// ---- the files, as the programs named write them (written with CRLF unless said)

// RFC 9253 links and alarms whose TRIGGER libical cannot read.
const char* kLinks = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Example Corp.//Planner 5.1//EN
BEGIN:VEVENT
UID:links-1
DTSTAMP:20240101T000000Z
DTSTART:20240506T090000Z
DTEND:20240506T100000Z
RRULE:FREQ=WEEKLY;COUNT=10
SUMMARY:Design review
LINK;LINKREL=latest-version;VALUE=URI:https://example.com/review/latest
LINK;LINKREL="https://example.com/linkrel/derivedFrom";VALUE=URI:https://example.com/review/41
BEGIN:VALARM
ACTION:DISPLAY
DESCRIPTION:Review soon
TRIGGER:-PT15
END:VALARM
BEGIN:VALARM
ACTION:AUDIO
TRIGGER;RELATED=START:soon
END:VALARM
END:VEVENT
END:VCALENDAR
)";

// What an older groupware exporter leaves: vCalendar 1.0 properties, with bare LF line ends.
const char* kLegacy = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Lotus Development Corporation//NONSGML Notes 9.0//EN_C
TZ:+01
DAYLIGHT:TRUE;+02;20240331T010000Z;20241027T010000Z;CET;CEST
BEGIN:VEVENT
UID:legacy-1@notes.example
DCREATED:20240102T080000Z
ORGNAME:Acme Ltd
DTSTAMP:20240102T080000Z
DTSTART:20240506T070000Z
DTEND:20240506T080000Z
RRULE:FREQ=WEEKLY;COUNT=8
SUMMARY:Quarterly sync
AALARM:20240506T064500Z
CLASS:PRIVATE
END:VEVENT
END:VCALENDAR
)";

// Other programs' properties with parameters, some of which libical does not know.
const char* kExtended = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Apple Inc.//macOS 14.4//EN
X-WR-CALNAME;X-ORIGIN=import:Work
BEGIN:VEVENT
UID:extended-1
DTSTAMP:20240101T000000Z
DTSTART:20240506T120000Z
DURATION:PT45M
RRULE:FREQ=WEEKLY
SUMMARY;LANGUAGE=de:Mittagessen
X-APPLE-STRUCTURED-LOCATION;VALUE=URI;X-ADDRESS="Unter den Linden 1, Berlin";X-APPLE-RADIUS=70;X-TITLE=Canteen:geo:52.517,13.388
X-MICROSOFT-CDO-BUSYSTATUS:BUSY
X-FOO;LANGUAGE=de;X-CUSTOM="a,b;c";UNKNOWNPARAM=yes:bar
DESCRIPTION;ALTREP="cid:part1@example.com";FMTTYPE=text/plain:Bring the budget
ATTENDEE;CN="Zimmer, Ann";PARTSTAT=ACCEPTED;X-NUM-GUESTS=0;EMAIL=ann@example.com:mailto:ann@example.com
END:VEVENT
END:VCALENDAR
)";

// khal's: a zone with only the changes near the event, one occurrence moved earlier.
const char* kKhal = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//PIMUTILS.ORG//NONSGML khal / icalendar //EN
BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:STANDARD
DTSTART;VALUE=DATE-TIME:20231029T030000
TZNAME:CET
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
END:STANDARD
BEGIN:DAYLIGHT
DTSTART;VALUE=DATE-TIME:20240331T020000
TZNAME:CEST
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
END:DAYLIGHT
END:VTIMEZONE
BEGIN:VEVENT
SUMMARY:Weekly sync
DTSTART;TZID=Europe/Berlin;VALUE=DATE-TIME:20240506T100000
DTEND;TZID=Europe/Berlin;VALUE=DATE-TIME:20240506T110000
DTSTAMP;VALUE=DATE-TIME:20240501T120000Z
UID:VH9TDS4ZF4VZGD4A1VZCVIXLF2CSO1U0N7T5
RRULE:FREQ=WEEKLY
SEQUENCE:0
END:VEVENT
BEGIN:VEVENT
SUMMARY:Weekly sync
DTSTART;TZID=Europe/Berlin;VALUE=DATE-TIME:20240527T083000
DTEND;TZID=Europe/Berlin;VALUE=DATE-TIME:20240527T093000
DTSTAMP;VALUE=DATE-TIME:20240502T120000Z
UID:VH9TDS4ZF4VZGD4A1VZCVIXLF2CSO1U0N7T5
RECURRENCE-ID;TZID=Europe/Berlin;VALUE=DATE-TIME:20240527T100000
SEQUENCE:1
END:VEVENT
END:VCALENDAR
)";

// A CalDAV server's (synced by vdirsyncer): the zone's rules, scheduling parameters, folded
// lines, and three changed occurrences: one moved with an alarm of its own, one with its own
// title, one cancelled.
const char* kServer = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Sabre//Sabre VObject 4.5.4//EN
CALSCALE:GREGORIAN
BEGIN:VTIMEZONE
TZID:Europe/Berlin
X-LIC-LOCATION:Europe/Berlin
BEGIN:DAYLIGHT
TZNAME:CEST
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
DTSTART:19810329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
END:DAYLIGHT
BEGIN:STANDARD
TZNAME:CET
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
DTSTART:19961027T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
END:STANDARD
END:VTIMEZONE
BEGIN:VEVENT
CREATED:20240401T101500Z
DTSTAMP:20240401T101612Z
LAST-MODIFIED:20240401T101612Z
SEQUENCE:2
UID:0b1e8a8c-7c1f-4f5e-9d1b-2f0a6a1c9e11
DTSTART;TZID=Europe/Berlin:20240506T090000
DTEND;TZID=Europe/Berlin:20240506T093000
STATUS:CONFIRMED
SUMMARY:Team standup
LOCATION:Room 4
DESCRIPTION:Fifteen minutes each Monday: what was done\, what is next\, and
  what is in the way. Bring nothing.
RRULE:FREQ=WEEKLY;BYDAY=MO
EXDATE;TZID=Europe/Berlin:20240610T090000
ORGANIZER;CN=Ann Zimmer;SCHEDULE-STATUS=1.2:mailto:ann@example.com
ATTENDEE;CN=Bo;PARTSTAT=ACCEPTED;ROLE=REQ-PARTICIPANT;SCHEDULE-STATUS=2.0:ma
 ilto:bo@example.com
X-MOZ-GENERATION:3
BEGIN:VALARM
ACTION:DISPLAY
TRIGGER;RELATED=START:-PT10M
DESCRIPTION:Reminder
X-WR-ALARMUID:5E1A2B3C-0000-4000-8000-1234567890AB
END:VALARM
END:VEVENT
BEGIN:VEVENT
CREATED:20240401T101500Z
DTSTAMP:20240402T080000Z
UID:0b1e8a8c-7c1f-4f5e-9d1b-2f0a6a1c9e11
RECURRENCE-ID;TZID=Europe/Berlin:20240527T090000
DTSTART;TZID=Europe/Berlin:20240527T080000
DTEND;TZID=Europe/Berlin:20240527T083000
SUMMARY:Team standup
LOCATION:Room 4
SEQUENCE:3
BEGIN:VALARM
ACTION:AUDIO
TRIGGER:-PT1H
END:VALARM
END:VEVENT
BEGIN:VEVENT
CREATED:20240401T101500Z
DTSTAMP:20240402T080000Z
UID:0b1e8a8c-7c1f-4f5e-9d1b-2f0a6a1c9e11
RECURRENCE-ID;TZID=Europe/Berlin:20240603T090000
DTSTART;TZID=Europe/Berlin:20240603T090000
DTEND;TZID=Europe/Berlin:20240603T100000
SUMMARY:Standup with guests
LOCATION:Room 4
SEQUENCE:3
END:VEVENT
BEGIN:VEVENT
DTSTAMP:20240402T080000Z
UID:0b1e8a8c-7c1f-4f5e-9d1b-2f0a6a1c9e11
RECURRENCE-ID;TZID=Europe/Berlin:20240617T090000
DTSTART;TZID=Europe/Berlin:20240617T090000
DTEND;TZID=Europe/Berlin:20240617T093000
SUMMARY:Team standup
LOCATION:Room 4
STATUS:CANCELLED
END:VEVENT
END:VCALENDAR
)";

// Outlook's invitation to a Teams meeting: its own zone, the meeting's details and its HTML
// description in X- values whose commas are escaped, lines folded at 75 octets.
const char* kOutlook = R"(BEGIN:VCALENDAR
METHOD:REQUEST
PRODID:Microsoft Exchange Server 2010
VERSION:2.0
BEGIN:VTIMEZONE
TZID:W. Europe Standard Time
BEGIN:STANDARD
DTSTART:16010101T030000
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=-1SU;BYMONTH=10
END:STANDARD
BEGIN:DAYLIGHT
DTSTART:16010101T020000
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
RRULE:FREQ=YEARLY;INTERVAL=1;BYDAY=-1SU;BYMONTH=3
END:DAYLIGHT
END:VTIMEZONE
BEGIN:VEVENT
ORGANIZER;CN=Ann Zimmer:mailto:ann@example.com
ATTENDEE;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE;CN=Bo Lee:mailt
 o:bo@example.com
DESCRIPTION;LANGUAGE=en-US:Weekly sync\, on Teams.\n\n______________________
 __\nJoin the meeting now\n
RRULE:FREQ=WEEKLY;COUNT=5;BYDAY=MO
UID:040000008200E00074C5B7101A82E00800000000F0E1D2C3B4A5960100000000000000001
 0000000A1B2C3D4E5F60718293A4B5C6D7E8F90
SUMMARY;LANGUAGE=en-US:Sync
DTSTART;TZID=W. Europe Standard Time:20240506T110000
DTEND;TZID=W. Europe Standard Time:20240506T113000
CLASS:PUBLIC
PRIORITY:5
DTSTAMP:20240501T080000Z
TRANSP:OPAQUE
STATUS:CONFIRMED
SEQUENCE:0
LOCATION;LANGUAGE=en-US:Microsoft Teams Meeting
X-MICROSOFT-CDO-BUSYSTATUS:TENTATIVE
X-MICROSOFT-CDO-INSTTYPE:1
X-MICROSOFT-ONLINEMEETINGINFORMATION:{"OnlineMeetingChannelId":null\,"Onli
 neMeetingProvider":3}
X-ALT-DESC;FMTTYPE=text/html:<html><head><meta name="Generator" content="Mi
 crosoft Exchange Server"></head><body><p>Weekly sync\, on Teams.</p><a href
 ="https://teams.example/l/meetup-join/19%3ameeting">Join the meeting now</a>
 </body></html>
X-MICROSOFT-LOCATIONS:[{"DisplayName":"Microsoft Teams Meeting"\,"LocationAn
 notation":""\,"LocationSource":0}]
BEGIN:VALARM
DESCRIPTION:REMINDER
TRIGGER;RELATED=START:-PT15M
ACTION:DISPLAY
END:VALARM
END:VEVENT
END:VCALENDAR
)";

// Thunderbird's (LF): a list value with an escaped comma, other programs' X- values with an
// escaped semicolon and backslashes.
const char* kThunderbird = R"(BEGIN:VCALENDAR
PRODID:-//Mozilla.org/NONSGML Mozilla Calendar V1.1//EN
VERSION:2.0
BEGIN:VEVENT
CREATED:20240501T080000Z
LAST-MODIFIED:20240501T080000Z
DTSTAMP:20240501T080000Z
UID:5d0e2b6a-3f7c-4d8e-9a1b-2c3d4e5f6a7b
SUMMARY:Board meeting
RRULE:FREQ=WEEKLY;COUNT=5
DTSTART:20240506T140000Z
DTEND:20240506T150000Z
RESOURCES:Room 1\, North,Projector
CATEGORIES:Board,Quarterly\, Q2
X-MOZ-GENERATION:2
X-OTHER-APP-NOTE:Bring slides\; printouts
X-OTHER-APP-PATH:C:\\Shared\\Board
END:VEVENT
END:VCALENDAR
)";

// A travel planner's: the start and the end in two zones, each with its VTIMEZONE.
const char* kTwoZones = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//TripPlanner//Itinerary 3.2//EN
BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:STANDARD
DTSTART:19701025T030000
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
END:STANDARD
END:VTIMEZONE
BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:STANDARD
DTSTART:19701101T020000
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
END:STANDARD
END:VTIMEZONE
BEGIN:VEVENT
UID:lh400-weekly@trips.example
DTSTAMP:20240501T080000Z
DTSTART;TZID=Europe/Berlin:20240506T100000
DTEND;TZID=America/New_York:20240506T124500
RRULE:FREQ=WEEKLY;COUNT=5
SUMMARY:LH 400 Frankfurt - New York
END:VEVENT
END:VCALENDAR
)";

// todoman's, and a server's task with a zoned due time.
const char* kTodoman = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//pimutils.org//todoman//EN
BEGIN:VTODO
UID:6a0b1c8e2f4d4b4c9b1d6e5f7a8b9c0d@todoman
SUMMARY:Buy milk
DUE;VALUE=DATE:20240503
DTSTAMP:20240501T080000Z
CREATED:20240501T080000Z
LINK;LINKREL=related;VALUE=URI:https://shop.example/list/7
X-TODOMAN-LOCATION;X-P=1:Corner shop
STATUS:NEEDS-ACTION
BEGIN:VALARM
ACTION:DISPLAY
TRIGGER;VALUE=DATE-TIME:2024-05-03
END:VALARM
END:VTODO
END:VCALENDAR
)";

const char* kServerTask = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Nextcloud Tasks v0.16.0
BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:DAYLIGHT
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
TZNAME:CEST
DTSTART:19700329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
TZNAME:CET
DTSTART:19701025T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
END:STANDARD
END:VTIMEZONE
BEGIN:VTODO
UID:task-7@cloud.example
CREATED:20240501T080000Z
LAST-MODIFIED:20240501T080000Z
DTSTAMP:20240501T080000Z
SUMMARY:File the report
DUE;TZID=Europe/Berlin:20240504T180000
PERCENT-COMPLETE:40
PRIORITY:5
X-APPLE-SORT-ORDER:535
RELATED-TO;RELTYPE=PARENT:task-1@cloud.example
END:VTODO
END:VCALENDAR
)";

// khard's, an Apple export (groups, labels, a photo, a line that names no property, bare LF),
// and a 2.1 export of two cards with quoted-printable soft breaks and a Latin-1 value.
const char* kKhard = R"(BEGIN:VCARD
VERSION:3.0
PRODID:-//vobject//vobject//EN
UID:4f9e2a10-khard
FN:Ann Zimmer
N:Zimmer;Ann;;;
ORG:Acme
EMAIL;TYPE=work:ann@acme.example
TEL;TYPE=cell:+1 555 0100
BDAY:1985-03-07
NOTE:Likes tea
END:VCARD
)";

const char* kApple = R"(BEGIN:VCARD
VERSION:3.0
PRODID:-//Apple Inc.//macOS 14.4//EN
N:Mustermann;Erika;;;
FN:Erika Mustermann
item1.EMAIL;type=INTERNET;type=pref:erika@example.de
item1.X-ABLabel:_$!<Other>!$_
item2.X-ABRELATEDNAMES;type=pref:Hans
item2.X-ABLabel:_$!<Spouse>!$_
X-SOCIALPROFILE;type=mastodon;x-user=erika:https://social.example/@erika
PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQAASABIAAD/4QBMRXhpZgAATU0AKgAAAAgAAYdpAAQAAAABAAAAGgAAAAAAA6ABAAMAAAABAAEAAKACAAQAAAABAAAAAqADAAQAAAABAAAAAgAAAAD/7QA4UGhvdG9zaG9w
this line names no property
UID:erika-apple
X-ABUID:8A5B1C2D-3E4F-5A6B-7C8D-9E0F1A2B3C4D:ABPerson
END:VCARD
)";

const char* kOld =
    "BEGIN:VCARD\nVERSION:2.1\nN;CHARSET=ISO-8859-1:M\xfcller;J\xfcrgen\n"
    "FN;CHARSET=ISO-8859-1:J\xfcrgen M\xfcller\n"
    "NOTE;ENCODING=QUOTED-PRINTABLE:Met at the fair=0D=0Aasked for the =\n"
    "catalogue and prices\nTEL;HOME;VOICE:+49 30 1234567\nUID:juergen-21\n"
    "END:VCARD\nBEGIN:VCARD\nVERSION:2.1\nN:Second;Card\nUID:second-21\n"
    "END:VCARD\n";

struct Fixture {
  const char* name;
  const char* text;
  bool crlf;
};

const Fixture kEvents[] = {{"links", kLinks, true},
                           {"legacy", kLegacy, false},
                           {"extended", kExtended, true},
                           {"khal", kKhal, true},
                           {"server", kServer, true},
                           {"outlook", kOutlook, true},
                           {"thunderbird", kThunderbird, false},
                           {"two zones", kTwoZones, true}};
const Fixture kTasks[] = {{"todoman", kTodoman, true}, {"server-task", kServerTask, false}};
const Fixture kCards[] = {{"khard", kKhard, true}, {"apple", kApple, false}, {"old", kOld, false}};

// CRLF (also after a UTF-8 byte order mark, as some Windows exporters write it), LF, and bare CRs
// (the last line's alone, or every line's, also after a byte order mark, as old Mac exporters).
enum class Ends { crlf, lf, bomCrlf, lastBareCr, bareCr, bomBareCr };

std::string withEnds(const std::string& text, Ends ends) {
  std::string out = ends == Ends::bomCrlf || ends == Ends::bomBareCr ? "\xEF\xBB\xBF" : "";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' || ends == Ends::lf) {
      out += text[i];
    } else if (ends == Ends::bareCr || ends == Ends::bomBareCr ||
               (ends == Ends::lastBareCr && i + 1 == text.size())) {
      out += '\r';
    } else {
      out += "\r\n";
    }
  }
  return out;
}

std::string withLineEnds(const Fixture& f) {
  return withEnds(f.text, f.crlf ? Ends::crlf : Ends::lf);
}

// ---- comparing files as their BEGIN/END blocks, lines unfolded

struct Block {
  std::string kind;
  std::vector<std::string> lines;  // its own
  std::vector<Block> children;
};

std::string nameOf(const std::string& line) {
  std::string name = line.substr(0, line.find_first_of(";:"));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

Block blocksOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0; at < text.size();) {
    size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    std::string line = text.substr(at, end - at);
    if (text.compare(end, 2, "\r\n") == 0) ++end;
    if (!lines.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      lines.back() += line.substr(1);
    } else {
      lines.push_back(line);
    }
    at = end + 1;
  }
  Block file;
  std::vector<Block*> open{&file};
  for (const auto& line : lines) {
    if (nameOf(line) == "BEGIN") {
      open.back()->children.push_back(Block{line.substr(6), {}, {}});
      open.push_back(&open.back()->children.back());
    } else if (nameOf(line) == "END" && open.size() > 1) {
      open.pop_back();
    } else {
      open.back()->lines.push_back(line);
    }
  }
  return file;
}

std::string keyOf(const Block& b) {
  for (const auto& line : b.lines) {
    if (nameOf(line) == "RECURRENCE-ID") return b.kind + "@" + line.substr(line.find(':') + 1);
  }
  return b.kind;
}

std::vector<std::string> without(const std::vector<std::string>& lines, const Names& names) {
  std::vector<std::string> kept;
  for (const auto& line : lines) {
    if (names.count(nameOf(line)) == 0) kept.push_back(line);
  }
  return kept;
}

// The component of `was` each one of `is` stands for, if any: the one of the same kind and
// original, else (a changed occurrence whose original moved with its series) the next one of its
// kind left; and those of `was` none stands for.
using Paired = std::vector<const Block*>;
std::pair<Paired, Paired> pairedWith(const Block& was, const Block& is) {
  std::vector<bool> paired(was.children.size());
  Paired matches(is.children.size()), gone;
  const auto pair = [&](auto&& fits) {
    for (size_t j = 0; j < is.children.size(); ++j) {
      for (size_t i = 0; i < was.children.size() && matches[j] == nullptr; ++i) {
        if (!paired[i] && fits(was.children[i], is.children[j])) {
          paired[i] = true;
          matches[j] = &was.children[i];
        }
      }
    }
  };
  pair([](const Block& a, const Block& b) { return keyOf(a) == keyOf(b); });
  pair([](const Block& a, const Block& b) {
    return a.kind == b.kind && (keyOf(a) == a.kind) == (keyOf(b) == b.kind);
  });
  for (size_t i = 0; i < was.children.size(); ++i) {
    if (!paired[i]) gone.push_back(&was.children[i]);
  }
  return {matches, gone};
}

// What differs between two blocks beyond the lines named: "+KIND" or "-KIND" for a component one
// of them lacks, "~KIND: line" for a line that is not as it was. A component added is compared
// with the one of its kind that is not a changed occurrence, which it is made from.
void compare(const Block& was, const Block& is, const Names& names,
             std::vector<std::string>& found) {
  const auto before = without(was.lines, names), after = without(is.lines, names);
  if (before != after) {
    const auto [a, b] = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
    found.push_back("~" + was.kind + ": " + (a != before.end() ? *a : "") + " / " +
                    (b != after.end() ? *b : ""));
  }
  const auto [matches, gone] = pairedWith(was, is);
  for (size_t j = 0; j < is.children.size(); ++j) {
    const Block& child = is.children[j];
    const auto model = std::find_if(was.children.begin(), was.children.end(),
                                    [&](const Block& b) { return keyOf(b) == child.kind; });
    if (matches[j] == nullptr) found.push_back("+" + child.kind);
    if (matches[j] != nullptr || model != was.children.end()) {
      compare(matches[j] ? *matches[j] : *model, child, names, found);
    }
  }
  for (const Block* child : gone) found.push_back("-" + child->kind);
}

// What a change left besides `names` and the components it was to add or remove.
std::vector<std::string> differences(const std::string& before, const std::string& after,
                                     const Names& names) {
  std::vector<std::string> found;
  compare(blocksOf(before), blocksOf(after), names, found);
  if (after.find("X-LIC-ERROR") != std::string::npos) found.push_back("an X-LIC-ERROR note");
  const bool crlf = before.find("\r\n") != std::string::npos;
  for (size_t at = after.find('\n'); at != std::string::npos; at = after.find('\n', at + 1)) {
    if ((at > 0 && after[at - 1] == '\r') != crlf) {
      found.push_back("a line end that is not the file's");
      break;
    }
  }
  return found;
}

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

const Names kTouched = {"DTSTAMP", "LAST-MODIFIED"};
Names touching(Names names) {
  names.insert(kTouched.begin(), kTouched.end());
  return names;
}

// ---- the changes

struct EventChange {
  const char* name;
  Names names;  // the properties it may rewrite
  std::function<void(PimStore&, const std::vector<Event>&)> apply;
  bool splits = false;  // leaves a second file for the occurrences it changed
  bool adds = false;    // adds a changed occurrence
  // The title it gives the series, carried into the changed occurrences that have the series'
  // (a split also gives them all, none with a place of its own, "Room 9").
  const char* carries = nullptr;
};

Event moved(Event e, minutes by) {
  e.start += by;
  e.end += by;
  return e;
}

const std::vector<EventChange>& eventChanges() {
  static const std::vector<EventChange> changes = {
      {"title", touching({"SUMMARY"}),
       [](PimStore& s, const std::vector<Event>& o) {
         Event e = o[0];
         e.title = "Renamed";
         ASSERT_TRUE(s.saveEvent(e, Span::futureEvents).ok());
       },
       false, false, "Renamed"},
      // The removed occurrences and the changed ones' originals move with the series.
      {"time", touching({"DTSTART", "DTEND", "DURATION", "EXDATE", "RECURRENCE-ID"}),
       [](PimStore& s, const std::vector<Event>& o) {
         ASSERT_TRUE(s.saveEvent(moved(o[0], minutes(60)), Span::futureEvents).ok());
       }},
      {"one occurrence",
       touching({"RECURRENCE-ID", "DTSTART", "DTEND", "DURATION", "SUMMARY", "RRULE", "EXDATE"}),
       [](PimStore& s, const std::vector<Event>& o) {
         Event e = moved(o[2], minutes(30));
         e.title = "Just this once";
         ASSERT_TRUE(s.saveEvent(e, Span::thisEvent).ok());
       },
       false, true},
      {"future", touching({"RRULE", "EXDATE"}),
       [](PimStore& s, const std::vector<Event>& o) {
         Event e = o[2];
         e.title = "From now on";
         e.location = "Room 9";
         ASSERT_TRUE(s.saveEvent(e, Span::futureEvents).ok());
       },
       true, false, "From now on"},
      {"delete occurrence", touching({"EXDATE"}),
       [](PimStore& s, const std::vector<Event>& o) {
         ASSERT_TRUE(s.removeEvent(o[1].id, Span::thisEvent).ok());
       }},
  };
  return changes;
}

int count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(PimRewriteTest, EveryChangeToAnEventKeepsTheLinesItDoesNotConcern) {
  for (const Fixture& fixture : kEvents) {
    for (const EventChange& change : eventChanges()) {
      SCOPED_TRACE(std::string(fixture.name) + ", " + change.name);
      PimStore store(test::home() / (std::string(fixture.name) + "-" + change.name));
      const fs::path folder = store.defaultCalendarForNewEvents()->id;
      const std::string before = withLineEnds(fixture);
      test::writeFile(folder / "item.ics", before);
      const auto occurrences = store.events(at("2024-05-01"), at("2024-07-01"));
      ASSERT_GE(occurrences.size(), 4u);
      change.apply(store, occurrences);

      const std::string after = test::readFile(folder / "item.ics");
      const int overrides = count(before, "RECURRENCE-ID");
      std::vector<std::string> expected;
      if (change.adds) expected.push_back("+VEVENT");
      // The series that goes on from the occurrence changed takes the changed occurrences after
      // it along.
      if (change.splits) expected.assign(overrides, "-VEVENT");
      EXPECT_EQ(differences(before, after, change.names), expected) << after;
      std::string next = after;
      if (change.splits) {
        for (const auto& entry : fs::directory_iterator(folder)) {
          const fs::path& path = entry.path();
          if (path.extension() == ".ics" && path.filename() != "item.ics") {
            next = test::readFile(path);
          }
        }
        EXPECT_EQ(differences(before, next,
                              touching({"UID", "DTSTART", "DTEND", "DURATION", "SUMMARY",
                                        "LOCATION", "RRULE", "EXDATE"})),
                  std::vector<std::string>{})
            << next;
      }
      if (change.carries == nullptr) continue;
      const bool ownTitle = before.find("Standup with guests") != std::string::npos;
      EXPECT_EQ(count(next, std::string("SUMMARY:") + change.carries),
                1 + overrides - (ownTitle ? 1 : 0))
          << next;
      EXPECT_EQ(count(next, "Standup with guests"), ownTitle ? 1 : 0);
      if (change.splits) {
        EXPECT_EQ(count(next, "LOCATION:Room 9"), 1 + overrides) << next;
      }
    }
  }
}

TEST(PimRewriteTest, CompletingOrRenamingATaskKeepsTheLinesItDoesNotConcern) {
  for (const Fixture& fixture : kTasks) {
    for (const bool complete : {true, false}) {
      SCOPED_TRACE(std::string(fixture.name) + (complete ? ", completed" : ", renamed"));
      PimStore store(test::home() / (std::string(fixture.name) + (complete ? "-done" : "-title")));
      const fs::path folder = store.defaultCalendarForNewReminders()->id;
      const std::string before = withLineEnds(fixture);
      test::writeFile(folder / "task.ics", before);
      const auto tasks = store.reminders();
      ASSERT_EQ(tasks.size(), 1u);
      Reminder task = tasks[0];
      if (complete) {
        task.completed = true;
      } else {
        task.title = "Renamed";
      }
      ASSERT_TRUE(store.saveReminder(task).ok());

      const std::string after = test::readFile(folder / "task.ics");
      const Names names =
          complete ? touching({"STATUS", "PERCENT-COMPLETE", "COMPLETED"}) : touching({"SUMMARY"});
      EXPECT_EQ(differences(before, after, names), std::vector<std::string>{}) << after;
      EXPECT_EQ(store.reminder(task.id)->completed, complete);
    }
  }
}

TEST(PimRewriteTest, ChangingAContactKeepsTheLinesItDoesNotConcern) {
  for (const Fixture& fixture : kCards) {
    SCOPED_TRACE(fixture.name);
    PimStore store(test::home() / fixture.name);
    const fs::path folder = store.defaultContainerIdentifier();
    const std::string before = withLineEnds(fixture);
    test::writeFile(folder / "card.vcf", before);
    auto contacts = store.contacts();
    ASSERT_EQ(contacts.size(), static_cast<size_t>(count(before, "BEGIN:VCARD")));  // every card
    Contact changed = contacts[0];
    changed.phoneNumbers.push_back({"work", "+1 555 0199"});
    ASSERT_TRUE(store.saveContact(changed).ok());

    const std::string after = test::readFile(folder / "card.vcf");
    EXPECT_EQ(differences(before, after, {"TEL"}), std::vector<std::string>{}) << after;
    EXPECT_EQ(store.contacts()[0].phoneNumbers, changed.phoneNumbers);
  }
}

// ---- confirmed changes diffed line by line, and the folder read back by khal

// Google Calendar's export of an all-day weekly event, one occurrence moved to the next day.
const char* kGoogle =
    "BEGIN:VCALENDAR\nPRODID:-//Google Inc//Google Calendar 70.9054//EN\nVERSION:2.0\n"
    "CALSCALE:GREGORIAN\nMETHOD:PUBLISH\nX-WR-CALNAME:Family\nX-WR-TIMEZONE:Europe/Berlin\n"
    "BEGIN:VEVENT\nDTSTART;VALUE=DATE:20240506\nDTEND;VALUE=DATE:20240507\n"
    "RRULE:FREQ=WEEKLY;UNTIL=20240624;BYDAY=MO\nEXDATE;VALUE=DATE:20240513\n"
    "DTSTAMP:20240501T090000Z\nUID:0a1b2c3d4e5f@google.com\nSEQUENCE:0\nSUMMARY:Bin day\n"
    "TRANSP:TRANSPARENT\nEND:VEVENT\nBEGIN:VEVENT\nDTSTART;VALUE=DATE:20240528\n"
    "DTEND;VALUE=DATE:20240529\nDTSTAMP:20240501T090000Z\nUID:0a1b2c3d4e5f@google.com\n"
    "RECURRENCE-ID;VALUE=DATE:20240527\nSEQUENCE:1\nSUMMARY:Bin day (holiday)\n"
    "TRANSP:TRANSPARENT\nEND:VEVENT\nEND:VCALENDAR\n";

// An exporter's event with lines libical cannot read: empty texts, a DURATION and times without
// seconds, RFC 9253's LINK, RFC 9074's PROXIMITY, RFC 9073's STRUCTURED-DATA and components.
const char* kExport =
    "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Export Tools//Outlook to iCal 2.1//EN\n"
    "BEGIN:VEVENT\nUID:export-33@example.net\nDTSTAMP:20240501T0800Z\n"
    "LAST-MODIFIED:20240501T0800Z\nDTSTART:20240506T090000Z\nDTEND:20240506T1000Z\n"
    "DURATION:PT1X\nSUMMARY:\nLOCATION:\nDESCRIPTION:\nX-MS-OLK-CONFTYPE:0\n"
    "LINK;LINKREL=latest-version;VALUE=URI:https://planner.example/review/latest\n"
    "STRUCTURED-DATA;VALUE=URI:https://events.example/review.json\nBEGIN:VALARM\n"
    "ACTION:DISPLAY\nDESCRIPTION:Soon\nTRIGGER:-PT15M\nPROXIMITY:ARRIVE\nEND:VALARM\n"
    "BEGIN:VLOCATION\nUID:hall-b\nNAME:Hall B\nEND:VLOCATION\nBEGIN:PARTICIPANT\n"
    "UID:speaker-1\nPARTICIPANT-TYPE:SPEAKER\nEND:PARTICIPANT\nBEGIN:VRESOURCE\n"
    "UID:projector-2\nNAME:Projector\nEND:VRESOURCE\nEND:VEVENT\nEND:VCALENDAR\n";

// An exporter's that does not fold: a UID and an attendee's address past 75 octets.
const char* kUnfolded =
    "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Legacy Sync//Mac Export 1.0//EN\nBEGIN:VEVENT\n"
    "UID:2f6c1d9e-8b7a-4c3d-9e2f-1a0b9c8d7e6f-recurring-planning-session@calendar.example.org\n"
    "DTSTAMP:20240501T080000Z\nDTSTART:20240506T090000Z\nDTEND:20240506T100000Z\n"
    "RRULE:FREQ=WEEKLY;COUNT=5\nSUMMARY:Planning\n"
    "ATTENDEE;CN=Bo;PARTSTAT=ACCEPTED:mailto:bo.lee-from-the-planning-office@departments.example."
    "org"
    "\nEND:VEVENT\nEND:VCALENDAR\n";

// An old exporter's title in UTF-8 beside a place in Latin-1 (one byte).
const char* kLatin1 =
    "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Legacy Sync//Mac Export 1.0//EN\nBEGIN:VEVENT\n"
    "UID:latin-1\nDTSTAMP:20240501T080000Z\nDTSTART:20240506T090000Z\n"
    "DTEND:20240506T100000Z\nRRULE:FREQ=WEEKLY;COUNT=5\nSUMMARY:Caf\xC3\xA9 \xC3\xBC"
    "ber\n"
    "LOCATION:Rathaus M\xFCnchen\nEND:VEVENT\nEND:VCALENDAR\n";

std::string replaced(std::string text, const std::string& what, const std::string& by) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + by.size())) {
    text.replace(at, what.size(), by);
  }
  return text;
}

// What differs between two files, line by line: "<component> -<name>" for a line that went,
// "<component> +<line>" for one that came, "-<component>" and "+<component>" for a component only
// one of them has; a changed occurrence is named by its original as the first file gives it.
// DTSTAMP and LAST-MODIFIED lines, which every change writes, are not compared.
void lineDiff(const Block& was, const Block& is, const std::string& path, Lines& found) {
  std::multiset<std::string> gone(was.lines.begin(), was.lines.end());
  for (const auto& line : is.lines) {
    if (auto at = gone.find(line); at != gone.end()) {
      gone.erase(at);
    } else if (kTouched.count(nameOf(line)) == 0) {
      found.push_back(path + " +" + line);
    }
  }
  for (const auto& line : gone) {
    if (kTouched.count(nameOf(line)) == 0) found.push_back(path + " -" + nameOf(line));
  }
  const auto [matches, unmatched] = pairedWith(was, is);
  const auto named = [&](const Block& b) { return (path.empty() ? "" : path + "/") + keyOf(b); };
  for (size_t j = 0; j < is.children.size(); ++j) {
    if (matches[j] == nullptr) found.push_back("+" + named(is.children[j]));
    if (matches[j] != nullptr) lineDiff(*matches[j], is.children[j], named(*matches[j]), found);
  }
  for (const Block* child : unmatched) found.push_back("-" + named(*child));
}

Lines lineDiff(const std::string& before, const std::string& after) {
  Lines found;
  lineDiff(blocksOf(before).children.at(0), blocksOf(after).children.at(0), "", found);
  std::sort(found.begin(), found.end());
  return found;
}

// The diff of a component whose lines of these names were replaced by these (";TZID=Europe/Berlin"
// where "@" stands).
Lines rewritten(const std::string& component, const Lines& lines, Lines more = {}) {
  for (const auto& line : lines) {
    more.push_back(component + " -" + nameOf(replaced(line, "@", ";")));
    more.push_back(component + " +" + replaced(line, "@", ";TZID=Europe/Berlin"));
  }
  std::sort(more.begin(), more.end());
  return more;
}

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  std::sort(a.begin(), a.end());
  return a;
}

// A changed occurrence made a whole day of its own.
Lines onDay(const char* original, const std::string& day, const std::string& next) {
  return rewritten(
      std::string("VEVENT@") + original + "T090000",
      {"RECURRENCE-ID;VALUE=DATE:" + day, "DTSTART;VALUE=DATE:" + day, "DTEND;VALUE=DATE:" + next});
}

using test::shown;

struct Confirmed {
  const char* name;
  std::string text;
  Ends ends;
  const char* occurrence;  // as shown
  void (*change)(Event&);
  Lines item;                     // what differs in the item's file
  Lines split = Lines();          // in the file of the series split off, against the item
  const char* refused = nullptr;  // the end of the refusal, after the file's name
};

void retitled(Event& e) { e.title = "Retro"; }
void relocated(Event& e) { e.location = "Room 9"; }
void later(Event& e) { e.start += hours(1), e.end += hours(1); }
void allDay(Event& e) { e.allDay = true, e.start = at("2024-05-06"), e.end = at("2024-05-07"); }
void timed(Event& e) {
  e.allDay = false, e.start = at("2024-05-06T07:00:00Z"), e.end = at("2024-05-06T07:30:00Z");
}
void renamed(Event& e) {
  e.title = "Quarterly review", e.location = "Room 2", e.notes = "Numbers";
  e.end = e.start + minutes(90);
}

const std::vector<Confirmed>& confirmedChanges() {
  const Lines exported = rewritten("VEVENT",
                                   {"DTEND:20240506T103000Z", "SUMMARY:Quarterly review",
                                    "LOCATION:Room 2", "DESCRIPTION:Numbers"},
                                   {"VEVENT -DURATION"});
  const Lines none;
  static const std::vector<Confirmed> all = {
      // The occurrences the new series begins with keep their own changes (a new time, an
      // alarm, a SEQUENCE, a cancellation) and take the asked one on top.
      {"future from a moved occurrence", kServer, Ends::crlf, "2024-05-27 08:00", retitled,
       rewritten("VEVENT", {"RRULE:FREQ=WEEKLY;UNTIL=20240520T070000Z;BYDAY=MO"},
                 {"-VEVENT@20240527T090000", "-VEVENT@20240603T090000", "-VEVENT@20240617T090000",
                  "VEVENT -EXDATE"}),
       rewritten("VEVENT",
                 {"DTSTART@:20240527T090000", "DTEND@:20240527T093000", "SUMMARY:Retro"}) +
           rewritten("VEVENT@20240527T090000", {"SUMMARY:Retro"}) +
           rewritten("VEVENT@20240617T090000", {"SUMMARY:Retro"})},
      {"future from a cancelled occurrence", kServer, Ends::crlf, "2024-06-17 09:00", relocated,
       rewritten("VEVENT", {"RRULE:FREQ=WEEKLY;UNTIL=20240610T070000Z;BYDAY=MO"},
                 {"-VEVENT@20240617T090000"}),
       rewritten("VEVENT",
                 {"DTSTART@:20240617T090000", "DTEND@:20240617T093000", "LOCATION:Room 9"},
                 {"-VEVENT@20240527T090000", "-VEVENT@20240603T090000", "VEVENT -EXDATE"}) +
           rewritten("VEVENT@20240617T090000", {"LOCATION:Room 9"})},
      // The removed occurrences and the changed ones' originals move with the series' start, in
      // its value type; the changed ones move by the same shift from where they are.
      {"series an hour later", kServer, Ends::crlf, "2024-05-06 09:00", later,
       rewritten("VEVENT", {"DTSTART@:20240506T100000", "DTEND@:20240506T103000",
                            "EXDATE@:20240610T100000"}) +
           rewritten("VEVENT@20240527T090000",
                     {"RECURRENCE-ID@:20240527T100000", "DTSTART@:20240527T090000",
                      "DTEND@:20240527T093000"}) +
           rewritten("VEVENT@20240603T090000",
                     {"RECURRENCE-ID@:20240603T100000", "DTSTART@:20240603T100000",
                      "DTEND@:20240603T110000"}) +
           rewritten("VEVENT@20240617T090000",
                     {"RECURRENCE-ID@:20240617T100000", "DTSTART@:20240617T100000",
                      "DTEND@:20240617T103000"})},
      {"series made all-day", kServer, Ends::crlf, "2024-05-06 09:00", allDay,
       rewritten("VEVENT", {"DTSTART;VALUE=DATE:20240506", "DTEND;VALUE=DATE:20240507",
                            "EXDATE;VALUE=DATE:20240610"}) +
           onDay("20240527", "20240527", "20240528") + onDay("20240603", "20240603", "20240604") +
           onDay("20240617", "20240617", "20240618")},
      // A day made a time of day is the user's, in their zone (with its VTIMEZONE).
      {"all-day series made timed", kGoogle, Ends::crlf, "2024-05-06 Bin day", timed,
       rewritten("VEVENT",
                 {"DTSTART@:20240506T090000", "DTEND@:20240506T093000", "EXDATE@:20240513T090000",
                  "RRULE:FREQ=WEEKLY;UNTIL=20240624T070000Z;BYDAY=MO"},
                 {"+VTIMEZONE"}) +
           rewritten("VEVENT@20240527", {"RECURRENCE-ID@:20240527T090000",
                                         "DTSTART@:20240528T090000", "DTEND@:20240528T093000"})},
      {"lines libical cannot read", kExport, Ends::crlf, "2024-05-06 11:00", renamed, exported},
      {"a byte order mark", kExport, Ends::bomCrlf, "2024-05-06 11:00", renamed, exported},
      {"the last line ended by a bare CR", kExport, Ends::lastBareCr, "2024-05-06 11:00", renamed,
       exported},
      {"lines ended by bare CRs", kExport, Ends::bareCr, "2024-05-06 11:00", renamed, exported},
      // A CR alone ends a line, in a file of LF ends too: the title is not joined to the line
      // after it.
      {"a stray CR in a file of LF ends",
       replaced(kGoogle, "SUMMARY:Bin day\nTRANSP", "SUMMARY:Bin day\rTRANSP"), Ends::lf,
       "2024-05-06 Bin day", relocated,
       Lines{"VEVENT +LOCATION:Room 9", "VEVENT@20240527 +LOCATION:Room 9"}},
      // Read whole, not cut at the line's 75th octet, and not written back cut.
      {"long lines ended by bare CRs", kUnfolded, Ends::bareCr, "2024-05-06 11:00 Planning",
       retitled, rewritten("VEVENT", {"SUMMARY:Retro"})},
      // The Latin-1 line alone is read as such: the title stays as it is, and the event is there.
      {"a Latin-1 byte after a byte order mark and bare CRs", kLatin1, Ends::bomBareCr,
       "2024-05-06 11:00 Caf\xC3\xA9 \xC3\xBC"
       "ber",
       relocated, rewritten("VEVENT", {"LOCATION:Room 9"})},
      {"a damaged VTIMEZONE", replaced(kServer, "END:STANDARD\n", "END:STANDARD\nEND:STANDARD\n"),
       Ends::crlf, "2024-05-06 09:00", renamed, none, none,
       "is left as it is, because its VTIMEZONE of line 5 is damaged: its BEGIN and END lines do "
       "not nest: line 22 ends STANDARD while BEGIN:VTIMEZONE of line 5 is still open."},
      {"blocks that do not nest", replaced(kExport, "END:VALARM", "END:VTODO"), Ends::lf,
       "2024-05-06 11:00", renamed, none, none,
       "is left as it is, because its BEGIN and END lines do not nest: line 22 ends VTODO while "
       "BEGIN:VALARM of line 17 is still open."},
  };
  return all;
}

// Only what was asked changes, in files as calendar programs, CalDAV servers and exporters write
// them, and khal still lists what we list; a file that cannot be changed without losing part of
// it is refused, naming the file and why, and stays as it was.
TEST(PimRewriteTest, AConfirmedChangeChangesOnlyWhatWasAskedOrNothing) {
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  // The C library's zone back to UTC however the test ends, for the tests after it.
  struct ZoneBack {
    ~ZoneBack() {
      ::setenv("TZ", "UTC", 1);
      ::tzset();
    }
  } zoneBack;
  const std::string khal = test::onPath("khal");
  const PimTime from = at("2024-05-01"), to = at("2024-08-01");
  for (const Confirmed& c : confirmedChanges()) {
    SCOPED_TRACE(c.name);
    PimStore store(test::home() / c.name);
    const fs::path file = fs::path(store.defaultCalendarForNewEvents()->id) / "item.ics";
    const std::string before = withEnds(c.text, c.ends);
    test::writeFile(file, before);
    std::optional<Event> chosen;
    for (const Event& e : store.events(from, to)) {
      if (shown(e).rfind(c.occurrence, 0) == 0) chosen = e;
    }
    ASSERT_TRUE(chosen) << c.occurrence;
    c.change(*chosen);
    const auto saved = store.saveEvent(*chosen, Span::futureEvents);
    const std::string after = test::readFile(file);
    if (c.refused != nullptr) {
      EXPECT_EQ(saved.ok() ? "" : saved.error().message,
                "The change could not be saved: " + file.string() + " " + c.refused);
      EXPECT_EQ(after, before);
      continue;
    }
    ASSERT_TRUE(saved.ok()) << saved.error().message;
    EXPECT_EQ(lineDiff(before, after), c.item) << after;
    std::string next;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
      if (entry.path().extension() == ".ics" && entry.path() != file) {
        next = test::readFile(entry.path());
      }
    }
    // The series split off has a UID of its own, in each of its components.
    const auto uid = [](const Event& e) { return "\nUID:" + e.id.substr(0, e.id.find('/')); };
    const std::string made = uid(saved.value());
    EXPECT_EQ(next.find(made) != std::string::npos, !c.split.empty()) << next;
    for (const char* end : {"\r", "\n"}) {
      EXPECT_EQ(next.find(uid(*chosen) + end), std::string::npos) << "a part kept the old UID";
    }
    EXPECT_EQ(next.empty() ? Lines() : lineDiff(before, replaced(next, made, uid(*chosen))),
              c.split);
    if (khal.empty()) continue;
    Lines ours;
    for (const Event& e : store.events(from, to)) ours.push_back(shown(e));
    std::sort(ours.begin(), ours.end());
    // khal skips files with a byte order mark or bare CRs, or reads a CR as part of a value: it
    // is given their CRLF twins.
    fs::path read = file.parent_path();
    if (before.rfind("\xEF\xBB\xBF", 0) == 0 ||
        replaced(before, "\r\n", "").find('\r') != std::string::npos) {
      read = test::home() / (std::string(c.name) + " as CRLF");
      for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        if (entry.path().extension() != ".ics") continue;
        std::string text = replaced(test::readFile(entry.path()), "\r\n", "\n");
        text = replaced(replaced(text, "\xEF\xBB\xBF", ""), "\r", "\n");
        test::writeFile(read / entry.path().filename(), withEnds(text, Ends::crlf));
      }
    }
    const Lines theirs = test::khalList(khal, read, "2024-05-01", "2024-07-31");
    EXPECT_EQ(theirs, ours);
    EXPECT_EQ(std::count(theirs.begin(), theirs.end(), shown(saved.value())), 1);
  }
  if (khal.empty()) GTEST_SKIP() << "khal is not installed (install-deps): not compared with it";
}

// A change that would not read back as meant is refused and the file left as it is, the message
// naming the file that holds the item (not one a split would have made), the line that would read
// back otherwise and how. libical reads a title without the blanks around it; what the writer
// never writes (a property twice, a list value unescaped, a line gone, another UID) is handed to
// the check itself.
TEST(PimRewriteTest, AChangeThatWouldNotReadBackIsRefusedByItsLine) {
  PimStore store(test::home() / "refusals");
  const fs::path folder = store.defaultCalendarForNewEvents()->id;
  const fs::path file = folder / "item.ics";
  const std::string before = withEnds(kThunderbird, Ends::lf);
  test::writeFile(file, before);
  const auto occurrences = store.events(at("2024-05-01"), at("2024-07-01"));
  ASSERT_EQ(occurrences.size(), 5u);
  const auto blanks = [](int line) {
    return "would not read back as it was written: line " + std::to_string(line) +
           ", SUMMARY, would read back as SUMMARY:Retro instead of SUMMARY: Retro .";
  };
  const std::string kept = file.string() + " is left as it is, because the changed item ";
  const struct {
    const char* change;
    std::optional<size_t> occurrence;  // none: a new event
    Span span;
    std::string message;
  } changes[] = {
      {"the series", 0, Span::futureEvents, kept + blanks(9)},
      {"one occurrence", 1, Span::thisEvent, kept + blanks(24)},
      {"from an occurrence on", 2, Span::futureEvents, kept + blanks(9)},
      {"a new event", std::nullopt, Span::thisEvent,
       "nothing is written to " + folder.string() + ", because the new item " + blanks(7)},
  };
  for (const auto& c : changes) {
    Event e;
    if (c.occurrence) {
      e = occurrences[*c.occurrence];
    } else {
      e.calendarId = folder.string();
      e.start = at("2024-05-06T09:00:00Z");
      e.end = at("2024-05-06T10:00:00Z");
    }
    e.title = " Retro ";
    const auto saved = store.saveEvent(e, c.span);
    EXPECT_EQ(saved.ok() ? "" : saved.error().message,
              "The change could not be saved: " + c.message)
        << c.change;
    EXPECT_EQ(test::readFile(file), before);
    EXPECT_EQ(test::namesIn(folder),
              (std::vector<std::string>{"displayname", "item.ics", "tavrin-kind"}));
  }

  std::string why;
  const auto item = ICalItem::parse(before, &why);
  ASSERT_TRUE(item) << why;
  const std::string text = item->text();
  const struct {
    const char* edit;
    const char* from;
    const char* to;
    std::string why;
  } edits[] = {
      // libical reads nothing from an empty SUMMARY, so the item would read back the same.
      {"a property stated twice", "SUMMARY:Board meeting\n", "SUMMARY:Board meeting\nSUMMARY:\n",
       "would state a property twice that is allowed once: line 10, SUMMARY, a second time in its "
       "VEVENT"},
      {"a list value unescaped", "Room 1\\, North", "Room 1, North",
       "would not read back as it was written: line 13, RESOURCES, would read back as "
       "RESOURCES:Room 1 instead of RESOURCES:Room 1\\, North"},
      {"a line gone", "X-MOZ-GENERATION:2\n", "",
       "would not read back as it was written: X-MOZ-GENERATION:2 of its VEVENT would be lost"},
      {"another UID", "UID:5d0e", "UID:6d0e",
       "would read back with the UID 6d0e2b6a-3f7c-4d8e-9a1b-2c3d4e5f6a7b instead of "
       "5d0e2b6a-3f7c-4d8e-9a1b-2c3d4e5f6a7b"},
  };
  EXPECT_EQ(item->checked(text, &why), text);
  for (const auto& e : edits) {
    EXPECT_FALSE(item->checked(replaced(text, e.from, e.to), &why)) << e.edit;
    EXPECT_EQ(why, "the changed item " + e.why) << e.edit;
  }
}

}  // namespace
}  // namespace tvrn
