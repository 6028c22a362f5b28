// Every item other programs leave in the folders is listed and can be named: items that share a
// UID, occurrences kept without their series, extra dates with ends of their own, all-day events
// whose end is on their start day, and folders that hold events and tasks alike.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/Result.h"
#include "pim/EventListings.h"
#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

std::string ics(const std::string& components) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\n" + components +
         "END:VCALENDAR\r\n";
}

std::string item(const char* component, const std::string& uid, const std::string& lines) {
  return "BEGIN:" + std::string(component) + "\r\nUID:" + uid + "\r\nDTSTAMP:20240101T000000Z\r\n" +
         lines + "END:" + component + "\r\n";
}

// Why a change was refused; nothing when it was made.
template <typename T>
std::optional<PimError> refusal(const Result<T, PimError>& result) {
  if (result) return std::nullopt;
  return result.error();
}

std::string card(const std::string& uid, const std::string& lines) {
  return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\n" + lines + "END:VCARD\r\n";
}

class PimStoreReachTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::writeFile(Paths::appSupport() / "config.json",
                    nlohmann::json{{"calendar_folders", {(root_ / "cal").string()}},
                                   {"contact_folders", {(root_ / "books").string()}}}
                        .dump());
  }

  fs::path folder(const std::string& name) const { return root_ / "cal" / name; }

  // Every file under the folders with its contents, to tell what a call changed.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      if (entry.is_regular_file()) found[entry.path().string()] = test::readFile(entry.path());
    }
    return found;
  }

  // "<start> <end> <title> <id>" of each event in May 2024, or from `from` to `to`.
  std::vector<std::string> may(const std::optional<std::vector<std::string>>& in = {},
                               const char* from = "2024-05-01",
                               const char* to = "2024-06-01") const {
    std::vector<std::string> lines;
    for (const auto& e : store_.events(at(from), at(to), in)) {
      lines.push_back(PimCodec::timeText(e.start, e.allDay) + " " +
                      PimCodec::timeText(e.end, e.allDay) + " " + e.title + " " + e.id);
    }
    return lines;
  }

  const fs::path root_ = test::home() / "folders";
  PimStore store_{test::home() / "pim"};
};

// An invitation copied into two calendars, a task list and an address book imported twice: each
// copy is listed with an identifier of its own, one that fits both is refused naming them, and
// identifiers handed out before keep working.
TEST_F(PimStoreReachTest, ItemsSharingAUidAreEachListedAndNeverGuessedAt) {
  for (const char* name : {"a", "b"}) {
    const std::string upper(1, static_cast<char>(name[0] - 'a' + 'A'));
    test::writeFile(folder(name) / "displayname", upper);
    test::writeFile(folder(name) / "same.ics",
                    ics(item("VEVENT", "same",
                             "SUMMARY:Invite " + upper +
                                 "\r\nDTSTART:20240502T090000Z\r\nDTEND:20240502T100000Z\r\n")));
    test::writeFile(folder(name) / "wk.ics",
                    ics(item("VEVENT", "wk",
                             "SUMMARY:Weekly " + upper +
                                 "\r\nDTSTART:20240506T120000Z\r\nDURATION:PT1H\r\n"
                                 "RRULE:FREQ=WEEKLY;COUNT=2\r\n")));
    test::writeFile(folder(std::string("l") + name) / "t.ics",
                    ics(item("VTODO", "t", "SUMMARY:Task " + upper + "\r\n")));
    test::writeFile(
        root_ / "books" / (name == std::string("a") ? "one" : "two") / "dup.vcf",
        card("dup", "FN:Ann Lee\r\nN:Lee;Ann;;;\r\nEMAIL:ann@" + upper + ".example\r\n"));
  }
  test::writeFile(folder("a") / "solo.ics",
                  ics(item("VEVENT", "solo", "SUMMARY:Solo\r\nDTSTART:20240503T090000Z\r\n")));

  EXPECT_EQ(may(), (std::vector<std::string>{
                       "2024-05-02T09:00:00Z 2024-05-02T10:00:00Z Invite A same#a",
                       "2024-05-02T09:00:00Z 2024-05-02T10:00:00Z Invite B same#b",
                       "2024-05-03T09:00:00Z 2024-05-03T09:00:00Z Solo solo",
                       "2024-05-06T12:00:00Z 2024-05-06T13:00:00Z Weekly A wk#a/20240506T120000Z",
                       "2024-05-06T12:00:00Z 2024-05-06T13:00:00Z Weekly B wk#b/20240506T120000Z",
                       "2024-05-13T12:00:00Z 2024-05-13T13:00:00Z Weekly A wk#a/20240513T120000Z",
                       "2024-05-13T12:00:00Z 2024-05-13T13:00:00Z Weekly B wk#b/20240513T120000Z",
                   }));
  std::vector<std::string> ids;
  for (const auto& r : store_.reminders()) ids.push_back(r.id + " " + r.title);
  for (const auto& c : store_.contacts()) ids.push_back(c.id + " " + c.emailAddresses[0].value);
  EXPECT_EQ(ids, (std::vector<std::string>{"t#la Task A", "t#lb Task B", "dup#one ann@A.example",
                                           "dup#two ann@B.example"}));

  // What a lookup finds: a title (a contact's address), or the note that names the candidates.
  const auto lookup = [&](int kind, const std::string& id) {
    PimUnreadable note;
    if (const auto e = kind == 0 ? store_.event(id, &note) : std::nullopt) return e->title;
    if (const auto r = kind == 1 ? store_.reminder(id, &note) : std::nullopt) return r->title;
    if (const auto c = kind == 2 ? store_.contact(id, &note) : std::nullopt) {
      return c->emailAddresses[0].value;
    }
    return note.value_or("none");
  };
  const struct {
    int kind;  // 0 events, 1 reminders, 2 contacts
    const char* id;
    const char* found;
  } cases[] = {
      {0, "same",
       "The identifier 'same' fits 2 events: same#a in the calendar \"A\", same#b in the calendar "
       "\"B\". Use the identifier of the one you mean."},
      {0, "same#b", "Invite B"},
      {0, "same#c", "none"},
      {0, "solo", "Solo"},
      {0, "wk/20240513T120000Z",
       "The identifier 'wk/20240513T120000Z' fits 2 events: wk#a/20240513T120000Z in the calendar "
       "\"A\", wk#b/20240513T120000Z in the calendar \"B\". Use the identifier of the one you "
       "mean."},
      {0, "wk#b/20240513T120000Z", "Weekly B"},
      {0, "wk#b", "Weekly B"},
      {0, "wk#b/20240514T120000Z", "none"},
      {1, "t",
       "The identifier 't' fits 2 reminders: t#la in the list \"la\", t#lb in the list \"lb\". "
       "Use the identifier of the one you mean."},
      {1, "t#lb", "Task B"},
      {1, "same#a", "none"},  // an event is no reminder
      {2, "dup",
       "The identifier 'dup' fits 2 contacts: dup#one in the address book \"one\", dup#two in the "
       "address book \"two\". Use the identifier of the one you mean."},
      {2, "dup#two", "ann@B.example"},
  };
  for (const auto& c : cases) EXPECT_EQ(lookup(c.kind, c.id), c.found) << c.id;

  // A change by an identifier that fits several touches no file, and makes none.
  const auto before = files();
  Event invite = store_.event("same#a").value();
  invite.id = "same";
  Reminder task = store_.reminder("t#la").value();
  task.id = "t";
  task.completed = true;
  Contact ann = store_.contact("dup#one").value();
  ann.id = "dup";
  ann.givenName = "Anne";
  const std::function<std::optional<PimError>()> refused[] = {
      [&] { return refusal(store_.saveEvent(invite)); },
      [&] { return refusal(store_.removeEvent("wk/20240513T120000Z")); },
      [&] { return refusal(store_.saveReminder(task)); },
      [&] { return refusal(store_.removeReminder("t")); },
      [&] { return refusal(store_.saveContact(ann)); },
  };
  for (const auto& change : refused) {
    const auto failure = change();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, PimError::Code::ambiguous) << failure->message;
  }
  EXPECT_EQ(files(), before);
  // Moved into the calendar of the other copy, it would take that one's file: refused too.
  invite.id = "same#b";
  const auto beside = refusal(store_.saveEvent(invite));
  ASSERT_TRUE(beside);
  EXPECT_NE(beside->message.find("holds another item already"), std::string::npos)
      << beside->message;
  EXPECT_EQ(files(), before);

  // By its own identifier each copy changes alone.
  invite.id = "same#b";
  invite.calendarId = folder("b").string();
  invite.title = "Moved B";
  const auto moved = store_.saveEvent(invite);
  ASSERT_TRUE(moved.ok()) << moved.error().message;
  EXPECT_EQ(moved.value().id, "same#b");
  task.id = "t#lb";
  task.listId = folder("lb").string();
  EXPECT_TRUE(store_.saveReminder(task).value().completed);
  EXPECT_TRUE(store_.removeEvent("wk#a/20240513T120000Z").ok());
  auto after = files();
  for (const char* changed : {"b/same.ics", "lb/t.ics", "a/wk.ics"}) {
    const std::string path = (root_ / "cal" / changed).string();
    EXPECT_NE(after[path], before.at(path)) << changed;
    after.erase(path);
  }
  for (const auto& [path, text] : after) EXPECT_EQ(text, before.at(path)) << path;
  EXPECT_EQ(store_.event("same#a")->title, "Invite A");
  EXPECT_FALSE(store_.reminder("t#la")->completed);

  // Once only one copy is left, its UID names it again and its longer name still does.
  fs::remove(folder("b") / "same.ics");
  EXPECT_EQ(store_.event("same")->title, "Invite A");
  EXPECT_EQ(store_.event("same#a")->id, "same");
}

// Two accounts' folders of one name, holding files of one name: the folder's path tells them
// apart, and each identifier finds its own copy.
TEST_F(PimStoreReachTest, CopiesInFoldersOfOneNameAreToldApartByTheirPath) {
  test::writeFile(
      Paths::appSupport() / "config.json",
      nlohmann::json{{"calendar_folders", {(root_ / "cal").string(), (root_ / "cal2").string()}}}
          .dump());
  const struct {
    fs::path file;
    std::string id;
  } cases[] = {
      {root_ / "cal/work/same.ics", "same#" + (root_ / "cal/work/same.ics").string()},
      {root_ / "cal2/work/same.ics", "same#" + (root_ / "cal2/work/same.ics").string()},
      {root_ / "cal2/work/copy.ics", "same#work/copy.ics"},
      {root_ / "cal/home/same.ics", "same#home"},
  };
  for (const auto& c : cases) {
    test::writeFile(c.file, ics(item("VEVENT", "same",
                                     "SUMMARY:" + c.file.string() +
                                         "\r\nDTSTART:20240502T090000Z\r\nRRULE:FREQ=DAILY;"
                                         "COUNT=2\r\n")));
  }
  std::vector<std::string> listed;
  for (const auto& c : cases) listed.push_back(c.id + "/20240502T090000Z");
  std::vector<std::string> ids;
  for (const auto& e : store_.events(at("2024-05-02"), at("2024-05-03"))) ids.push_back(e.id);
  std::sort(ids.begin(), ids.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(ids, listed);
  for (const auto& c : cases) {
    for (const std::string& id : {c.id, c.id + "/20240503T090000Z"}) {
      const auto found = store_.event(id);
      ASSERT_TRUE(found) << id;
      EXPECT_EQ(found->title, c.file.string()) << id;
    }
  }
}

// Occurrences kept without their series (an invitation to one occurrence), a changed occurrence
// the series no longer gives, extra dates given as periods, all-day events whose end is on their
// start day, rules that repeat by the second, minute or hour on a few days only, and a changed
// occurrence whose RECURRENCE-ID is a time among days, each as it falls in May 2024 (or the
// window given).
TEST_F(PimStoreReachTest, OccurrencesAndDaysAreListedWhereTheyFall) {
  const struct {
    const char* uid;
    std::string components;
    std::vector<std::string> listed;
    const char* from = "2024-05-01";
    const char* to = "2024-06-01";
  } cases[] = {
      {"ov",
       item("VEVENT", "ov",
            "RECURRENCE-ID:20240506T080000Z\r\nSUMMARY:Invited once\r\n"
            "DTSTART:20240506T090000Z\r\nDTEND:20240506T100000Z\r\n") +
           item("VEVENT", "ov",
                "RECURRENCE-ID:20240520T080000Z\r\nSUMMARY:Invited again\r\n"
                "DTSTART:20240520T080000Z\r\nDTEND:20240520T090000Z\r\n"),
       {"2024-05-06T09:00:00Z 2024-05-06T10:00:00Z Invited once ov/20240506T080000Z",
        "2024-05-20T08:00:00Z 2024-05-20T09:00:00Z Invited again ov/20240520T080000Z"}},
      {"orph",
       item("VEVENT", "orph",
            "SUMMARY:Weekly\r\nDTSTART:20240506T120000Z\r\nDTEND:20240506T130000Z\r\n"
            "RRULE:FREQ=WEEKLY;COUNT=2\r\n") +
           item("VEVENT", "orph",
                "RECURRENCE-ID:20240508T120000Z\r\nSUMMARY:Off the rule\r\n"
                "DTSTART:20240508T150000Z\r\nDTEND:20240508T160000Z\r\n"),
       {"2024-05-06T12:00:00Z 2024-05-06T13:00:00Z Weekly orph/20240506T120000Z",
        "2024-05-08T15:00:00Z 2024-05-08T16:00:00Z Off the rule orph/20240508T120000Z",
        "2024-05-13T12:00:00Z 2024-05-13T13:00:00Z Weekly orph/20240513T120000Z"}},
      {"per",
       item("VEVENT", "per",
            "SUMMARY:Periods\r\nDTSTART;TZID=Europe/Berlin:20240509T110000\r\n"
            "DTEND;TZID=Europe/Berlin:20240509T120000\r\n"
            "RDATE;VALUE=PERIOD:20240510T090000Z/20240510T120000Z,20240511T140000Z/PT30M\r\n"
            "RDATE;VALUE=PERIOD;TZID=Europe/Berlin:20240512T090000/20240512T170000\r\n"
            "RDATE;TZID=Europe/Berlin:20240513T110000\r\n"),
       {"2024-05-09T09:00:00Z 2024-05-09T10:00:00Z Periods per/20240509T090000Z",
        "2024-05-10T09:00:00Z 2024-05-10T12:00:00Z Periods per/20240510T090000Z",
        "2024-05-11T14:00:00Z 2024-05-11T14:30:00Z Periods per/20240511T140000Z",
        "2024-05-12T07:00:00Z 2024-05-12T15:00:00Z Periods per/20240512T070000Z",
        "2024-05-13T09:00:00Z 2024-05-13T10:00:00Z Periods per/20240513T090000Z"}},
      {"day",
       item("VEVENT", "day",
            "SUMMARY:Same day\r\nDTSTART;VALUE=DATE:20240514\r\nDTEND;VALUE=DATE:20240514\r\n"),
       {"2024-05-14 2024-05-15 Same day day"}},
      {"hour",
       item("VEVENT", "hour",
            "SUMMARY:An hour\r\nDTSTART;VALUE=DATE:20240515\r\nDURATION:PT1H\r\n"),
       {"2024-05-15 2024-05-16 An hour hour"}},
      {"leap",
       item("VEVENT", "leap",
            "SUMMARY:Leap\r\nDTSTART:19960229T100000Z\r\nDURATION:PT1H\r\n"
            "RRULE:FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=29;BYHOUR=10;BYMINUTE=0;BYSECOND=0\r\n"),
       {"2024-02-29T10:00:00Z 2024-02-29T11:00:00Z Leap leap/20240229T100000Z",
        "2028-02-29T10:00:00Z 2028-02-29T11:00:00Z Leap leap/20280229T100000Z"},
       "2024-01-01",
       "2029-01-01"},
      {"mon",
       item("VEVENT", "mon",
            "SUMMARY:Mondays\r\nDTSTART:20240506T083030Z\r\nDURATION:PT1H\r\n"
            "RRULE:FREQ=SECONDLY;BYDAY=MO;BYHOUR=9;BYMINUTE=0;BYSECOND=0\r\n"),
       {"2024-05-06T08:30:30Z 2024-05-06T09:30:30Z Mondays mon/20240506T083030Z",
        "2024-05-06T09:00:00Z 2024-05-06T10:00:00Z Mondays mon/20240506T090000Z",
        "2024-05-13T09:00:00Z 2024-05-13T10:00:00Z Mondays mon/20240513T090000Z",
        "2024-05-20T09:00:00Z 2024-05-20T10:00:00Z Mondays mon/20240520T090000Z",
        "2024-05-27T09:00:00Z 2024-05-27T10:00:00Z Mondays mon/20240527T090000Z"}},
      // Beside a day, a rule's hours and minutes are ignored (RFC 5545 3.3.10): 3000 minutes.
      {"minutes",
       item("VEVENT", "minutes",
            "SUMMARY:Days\r\nDTSTART;VALUE=DATE:20240501\r\n"
            "RRULE:FREQ=MINUTELY;BYHOUR=9;BYMINUTE=0,30;COUNT=3000\r\n") +
           item("VEVENT", "minutes",
                "RECURRENCE-ID;VALUE=DATE:20240502\r\nSUMMARY:Moved\r\n"
                "DTSTART;VALUE=DATE:20240502\r\n"),
       {"2024-05-01 2024-05-02 Days minutes/20240501",
        "2024-05-02 2024-05-03 Moved minutes/20240502",
        "2024-05-03 2024-05-04 Days minutes/20240503"}},
      {"feb",
       item("VEVENT", "feb",
            "SUMMARY:Feb\r\nDTSTART:20240229T091500Z\r\nDURATION:PT1H\r\n"
            "RRULE:FREQ=MINUTELY;BYMONTH=2;BYMONTHDAY=29;BYHOUR=10;BYMINUTE=0\r\n"),
       {"2024-02-29T09:15:00Z 2024-02-29T10:15:00Z Feb feb/20240229T091500Z",
        "2024-02-29T10:00:00Z 2024-02-29T11:00:00Z Feb feb/20240229T100000Z",
        "2028-02-29T10:00:00Z 2028-02-29T11:00:00Z Feb feb/20280229T100000Z"},
       "2024-01-01",
       "2029-01-01"},
      {"hourly",
       item("VEVENT", "hourly",
            "SUMMARY:Last\r\nDTSTART:20240530T090000Z\r\nDURATION:PT1H\r\n"
            "RRULE:FREQ=HOURLY;BYMONTH=5;BYMONTHDAY=-1;BYHOUR=9,17\r\n"),
       {"2024-05-30T09:00:00Z 2024-05-30T10:00:00Z Last hourly/20240530T090000Z",
        "2024-05-31T09:00:00Z 2024-05-31T10:00:00Z Last hourly/20240531T090000Z",
        "2024-05-31T17:00:00Z 2024-05-31T18:00:00Z Last hourly/20240531T170000Z"}},
      {"s32",
       item("VEVENT", "s32",
            "SUMMARY:Days\r\nDTSTART;VALUE=DATE:20240516\r\nRRULE:FREQ=DAILY;COUNT=3\r\n") +
           item("VEVENT", "s32",
                "RECURRENCE-ID;TZID=America/New_York:20240517T000000\r\nSUMMARY:Moved day\r\n"
                "DTSTART;VALUE=DATE:20240518\r\n"),
       {"2024-05-16 2024-05-17 Days s32/20240516", "2024-05-18 2024-05-19 Moved day s32/20240517",
        "2024-05-18 2024-05-19 Days s32/20240518"}},
      // An INTERVAL past what libical holds (86401 is 20865 to it), which no change writes back.
      {"long",
       item("VEVENT", "long",
            "SUMMARY:Long\r\nDTSTART:20240501T000000Z\r\nDURATION:PT1M\r\n"
            "RRULE:FREQ=SECONDLY;INTERVAL=86401;COUNT=3\r\n"),
       {"2024-05-01T00:00:00Z 2024-05-01T00:01:00Z Long long/20240501T000000Z",
        "2024-05-02T00:00:01Z 2024-05-02T00:01:01Z Long long/20240502T000001Z",
        "2024-05-03T00:00:02Z 2024-05-03T00:01:02Z Long long/20240503T000002Z"}},
      {"longfold",  // in lower case, folded within its INTERVAL
       item("VEVENT", "longfold",
            "SUMMARY:Long\r\nDTSTART:20240501T000000Z\r\nDURATION:PT1M\r\n"
            "rrule:freq=secondly;count=2;inTer\r\n\tval=86401\r\n"),
       {"2024-05-01T00:00:00Z 2024-05-01T00:01:00Z Long longfold/20240501T000000Z",
        "2024-05-02T00:00:01Z 2024-05-02T00:01:01Z Long longfold/20240502T000001Z"}},
      // Both nights New York's clock changes: a time skipped is read with the offset before the
      // gap (02:20 as 03:20 EDT, RFC 5545 3.3.5), one shown twice as its later instant; each
      // instance is listed, in order, none before the start.
      {"ny",
       item("VEVENT", "ny",
            "SUMMARY:NY\r\nDTSTART;TZID=America/New_York:20260308T014000\r\nDURATION:PT5M\r\n"
            "RRULE:FREQ=MINUTELY;INTERVAL=20;COUNT=4\r\n"),
       {"2026-03-08T06:40:00Z 2026-03-08T06:45:00Z NY ny/20260308T064000Z",
        "2026-03-08T07:00:00Z 2026-03-08T07:05:00Z NY ny/20260308T070000Z",
        "2026-03-08T07:20:00Z 2026-03-08T07:25:00Z NY ny/20260308T072000Z",
        "2026-03-08T07:40:00Z 2026-03-08T07:45:00Z NY ny/20260308T074000Z"},
       "2026-03-08",
       "2026-03-09"},
      {"nyback",
       item("VEVENT", "nyback",
            "SUMMARY:NY\r\nDTSTART;TZID=America/New_York:20261101T003000\r\nDURATION:PT5M\r\n"
            "RRULE:FREQ=MINUTELY;INTERVAL=30;COUNT=3\r\n"),
       {"2026-11-01T04:30:00Z 2026-11-01T04:35:00Z NY nyback/20261101T043000Z",
        "2026-11-01T06:00:00Z 2026-11-01T06:05:00Z NY nyback/20261101T060000Z",
        "2026-11-01T06:30:00Z 2026-11-01T06:35:00Z NY nyback/20261101T063000Z"},
       "2026-11-01",
       "2026-11-02"},
      // Begun at a time the clock skips (03:30 EDT): the steps after the gap come earlier (03:00
      // and 03:15, which khal lists too) or at the same instants.
      {"nygap",
       item("VEVENT", "nygap",
            "SUMMARY:NY\r\nDTSTART;TZID=America/New_York:20250309T023000\r\nDURATION:PT5M\r\n"
            "RRULE:FREQ=MINUTELY;INTERVAL=15;COUNT=6\r\n"),
       {"2025-03-09T07:30:00Z 2025-03-09T07:35:00Z NY nygap/20250309T073000Z",
        "2025-03-09T07:45:00Z 2025-03-09T07:50:00Z NY nygap/20250309T074500Z"},
       "2025-03-09",
       "2025-03-10"},
  };
  for (const auto& c : cases) {
    test::writeFile(folder(c.uid) / (std::string(c.uid) + ".ics"), ics(c.components));
    EXPECT_EQ(may(std::vector<std::string>{folder(c.uid).string()}, c.from, c.to), c.listed)
        << c.uid;
  }
  // khal lists the rows of both of New York's nights as the store does.
  if (const std::string khal = test::onPath("khal"); !khal.empty()) {
    const auto lists =
        test::khalLists(khal, {folder("ny"), folder("nyback")}, "2026-03-08", "2026-11-02");
    for (size_t row = 0; row < 2; ++row) {
      std::vector<std::string> starts;
      for (const auto& line : cases[std::size(cases) - 3 + row].listed) {
        starts.push_back(line.substr(0, 10) + " " + line.substr(11, 5) + " NY");
      }
      EXPECT_EQ(lists[row], starts);
    }
  }
  EXPECT_FALSE(store_.removeEvent("long/20240502T000001Z", Span::futureEvents).ok());
  // An occurrence is found by the identifier it is listed by.
  EXPECT_EQ(store_.event("s32/20240517")->title, "Moved day");
  ASSERT_TRUE(store_.removeEvent("s32/20240517").ok());
  EXPECT_EQ(may(std::vector<std::string>{folder("s32").string()}).size(), 2u);
  // Inside a period that began before the window.
  EXPECT_EQ(store_.events(at("2024-05-12T14:00:00Z"), at("2024-05-12T14:30:00Z")).at(0).title,
            "Periods");

  // Occurrences without a series are changed and removed one by one; the file goes with the last.
  const fs::path invited = folder("ov") / "ov.ics";
  Event once = store_.event("ov/20240506T080000Z").value();
  once.title = "Accepted";
  const auto alone = refusal(store_.saveEvent(once, Span::futureEvents));
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->code, PimError::Code::invalid);
  ASSERT_TRUE(store_.saveEvent(once).ok());
  EXPECT_EQ(store_.event("ov")->title, "Accepted");
  const std::string kept = test::readFile(invited);
  const auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = kept.find(what); at != std::string::npos; at = kept.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("BEGIN:VEVENT"), 2u) << kept;
  EXPECT_EQ(count("RECURRENCE-ID"), 2u) << "no series was added\n" << kept;
  ASSERT_TRUE(store_.removeEvent("ov/20240520T080000Z").ok());
  ASSERT_TRUE(store_.removeEvent("ov/20240506T080000Z").ok());
  EXPECT_FALSE(fs::exists(invited));
  // An occurrence at a time the clock skips is removed by the wall clock of its instant (03:30
  // EDT), which libical, matching by instants, and khal, reading 02:30 as 03:30, both take out.
  test::writeFile(folder("gap") / "gap.ics",
                  ics(item("VEVENT", "gap",
                           "SUMMARY:Backup\r\nDTSTART;TZID=America/New_York:20250307T023000\r\n"
                           "DURATION:PT30M\r\nRRULE:FREQ=DAILY;COUNT=4\r\n")));
  const auto skipped = store_.events(at("2025-03-09T00:00:00Z"), at("2025-03-10T00:00:00Z"),
                                     std::vector<std::string>{folder("gap").string()});
  ASSERT_EQ(skipped.size(), 1u);
  ASSERT_TRUE(store_.removeEvent(skipped.front().id).ok());
  const std::string gap = test::readFile(folder("gap") / "gap.ics");
  EXPECT_NE(gap.find("EXDATE;TZID=America/New_York:20250309T033000"), std::string::npos) << gap;
  EXPECT_EQ(test::libicalEvents(gap, at("2025-03-01T00:00:00Z"), at("2025-04-01T00:00:00Z")).size(),
            3u)
      << gap;
  // A changed occurrence off the rule goes without leaving an exception behind.
  ASSERT_TRUE(store_.removeEvent("orph/20240508T120000Z").ok());
  EXPECT_EQ(test::readFile(folder("orph") / "orph.ics").find("EXDATE"), std::string::npos);
}

// A folder holding events and tasks serves as a calendar and as a list, unless its kind file
// says which it is.
TEST_F(PimStoreReachTest, AFolderOfEventsAndTasksIsACalendarAndAListUnlessMarked) {
  const struct {
    const char* marked;
    bool calendar, list;
  } cases[] = {{nullptr, true, true}, {"events", true, false}, {"tasks", false, true}};
  for (const auto& c : cases) {
    const std::string name = c.marked ? c.marked : "both";
    test::writeFile(
        folder(name) / "e.ics",
        ics(item("VEVENT", "e-" + name, "SUMMARY:Event\r\nDTSTART:20240507T090000Z\r\n")));
    test::writeFile(folder(name) / "t.ics", ics(item("VTODO", "t-" + name, "SUMMARY:Task\r\n")));
    if (c.marked) test::writeFile(folder(name) / "tavrin-kind", c.marked);
    const auto offered = [&](EntityType type) {
      for (const auto& calendar : store_.calendars(type)) {
        if (calendar.id == folder(name).string()) return true;
      }
      return false;
    };
    EXPECT_EQ(offered(EntityType::event), c.calendar) << name;
    EXPECT_EQ(offered(EntityType::reminder), c.list) << name;
    EXPECT_EQ(store_.event("e-" + name).has_value(), c.calendar) << name;
    EXPECT_EQ(store_.reminder("t-" + name).has_value(), c.list) << name;
  }
  Reminder task = store_.reminder("t-both").value();
  task.completed = true;
  ASSERT_TRUE(store_.saveReminder(task).ok());
  EXPECT_EQ(store_.reminders(ReminderQuery{ReminderFilter::completed}).size(), 1u);
}

}  // namespace
}  // namespace tvrn
