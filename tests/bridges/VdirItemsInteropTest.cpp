// Items as other programs leave them in vdir folders, listed through our methods and by khal,
// todoman and khard from the same folders: a UID shared by two calendars and by two task lists,
// occurrences kept without their series or off it, a folder of events and tasks, all-day events
// ending on their start day, vCard 2.1 cards and a card ended by bare CRs. Each comparison needs
// the real program and is skipped without it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/LocalDataReply.h"
#include "bridges/OtherPrograms.h"
#include "bridges/PimFixtures.h"
#include "pim/PrivacyGate.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Lines = std::vector<std::string>;
using namespace std::chrono;

using test::run;

Lines linesOf(const std::string& text) {
  Lines lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (end > at) lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

Lines sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string ics(const std::string& component, const std::string& uid, const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:" + component +
         "\r\nUID:" + uid + "\r\nDTSTAMP:20240101T000000Z\r\n" + lines + "END:" + component +
         "\r\nEND:VCALENDAR\r\n";
}

// What each program finds in the folders, in the folder, file and text they are written as.
const struct {
  const char* folder;
  const char* file;
  std::string text;
} kFixtures[] = {
    // An invitation copied into two calendars, a task list exported twice.
    {"cal/a", "same.ics",
     ics("VEVENT", "same",
         "SUMMARY:Invite A\r\nDTSTART:20240502T090000Z\r\nDTEND:20240502T100000Z\r\n")},
    {"cal/b", "same.ics",
     ics("VEVENT", "same",
         "SUMMARY:Invite B\r\nDTSTART:20240502T090000Z\r\nDTEND:20240502T100000Z\r\n")},
    {"cal/la", "t.ics", ics("VTODO", "t", "SUMMARY:Task in A\r\nDUE;VALUE=DATE:20240503\r\n")},
    {"cal/lb", "t.ics", ics("VTODO", "t", "SUMMARY:Task in B\r\nDUE;VALUE=DATE:20240503\r\n")},
    // The one occurrence a server keeps of a series the user was invited to once.
    {"cal/a", "ov.ics",
     ics("VEVENT", "ov",
         "RECURRENCE-ID:20240506T080000Z\r\nSUMMARY:Only override\r\n"
         "DTSTART:20240506T090000Z\r\nDTEND:20240506T100000Z\r\n")},
    // A changed occurrence whose original the rule does not give.
    {"cal/a", "orph.ics",
     ics("VEVENT", "orph",
         "SUMMARY:Weekly\r\nDTSTART:20240506T120000Z\r\nDTEND:20240506T130000Z\r\n"
         "RRULE:FREQ=WEEKLY;COUNT=3\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:orph\r\n"
         "DTSTAMP:20240101T000000Z\r\nRECURRENCE-ID:20240508T120000Z\r\nSUMMARY:Orphan\r\n"
         "DTSTART:20240508T150000Z\r\nDTEND:20240508T160000Z\r\n")},
    // Events and tasks in one folder.
    {"cal/mixed", "ev.ics",
     ics("VEVENT", "mixev",
         "SUMMARY:Mixed event\r\nDTSTART:20240507T090000Z\r\nDTEND:20240507T100000Z\r\n")},
    {"cal/mixed", "task.ics", ics("VTODO", "mixtask", "SUMMARY:Mixed task\r\n")},
    // All-day events that end on their start day.
    {"cal/a", "day.ics",
     ics("VEVENT", "day",
         "SUMMARY:Same day\r\nDTSTART;VALUE=DATE:20240512\r\nDTEND;VALUE=DATE:20240512\r\n")},
    {"cal/a", "hour.ics",
     ics("VEVENT", "hour",
         "SUMMARY:Short day\r\nDTSTART;VALUE=DATE:20240513\r\nDURATION:PT1H\r\n")},
    // vCard 2.1 with bare quoted-printable parameters; a card whose shown name is not its N.
    {"books/one", "qp.vcf",
     "BEGIN:VCARD\r\nVERSION:2.1\r\nUID:qp\r\nN;CHARSET=UTF-8;QUOTED-PRINTABLE:M=C3=BCller;"
     "J=C3=BCrgen;;;\r\nFN;CHARSET=UTF-8;QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BCller\r\n"
     "NOTE;QUOTED-PRINTABLE:Ruft abends an\r\nTEL;CELL:+49 170 1234567\r\nEND:VCARD\r\n"},
    // An old Mac address book's card, every line ended by a bare CR.
    {"books/one", "cr.vcf",
     "BEGIN:VCARD\rVERSION:3.0\rUID:cr\rN:Okafor;Ngozi;;;\rFN:Ngozi Okafor\r"
     "TEL;TYPE=cell:+234 803 555 0100\rEND:VCARD\r"},
    {"books/one", "fn.vcf",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:fn\r\nN:Smith;Robert;;;\r\nFN:Bob Smith\r\nEND:VCARD\r\n"},
    {"books/one", "dup.vcf",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:dup\r\nN:Lee;Ann;;;\r\nFN:Ann Lee\r\n"
     "EMAIL:ann@one.example\r\nEND:VCARD\r\n"},
    {"books/two", "dup.vcf",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:dup\r\nN:Lee;Ann;;;\r\nFN:Ann Lee\r\n"
     "EMAIL:ann@two.example\r\nEND:VCARD\r\n"},
};

class VdirItemsInteropTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    for (const auto entity :
         {PrivacyEntity::calendar, PrivacyEntity::reminders, PrivacyEntity::contacts}) {
      EXPECT_TRUE(gate.setStatus(entity, AuthorizationStatus::granted));
    }
    test::writeFile(Paths::appSupport() / "config.json",
                    json{{"calendar_folders", {(root / "cal").string()}},
                         {"contact_folders", {(root / "books").string()}}}
                        .dump());
    for (const auto& f : kFixtures) test::writeFile(root / f.folder / f.file, f.text);
    const fs::path config = test::home() / ".config";
    std::string calendars;
    for (const char* name : {"a", "b", "mixed"}) {
      calendars += std::string("[[") + name + "]]\npath = " + (root / "cal" / name).string() +
                   "\ntype = calendar\n";
    }
    test::writeFile(config / "khal" / "config",
                    "[calendars]\n" + calendars +
                        "[default]\ndefault_calendar = a\n[locale]\n"
                        "local_timezone = Europe/Berlin\ndefault_timezone = Europe/Berlin\n"
                        "timeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                        "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n");
    test::writeFile(config / "todoman" / "config.py",
                    "path = \"" + (root / "cal").string() +
                        "/*\"\ndate_format = \"%Y-%m-%d\"\ntime_format = \"%H:%M\"\n");
    test::writeFile(config / "khard" / "khard.conf",
                    "[addressbooks]\n[[one]]\npath = " + (root / "books" / "one").string() +
                        "\n[[two]]\npath = " + (root / "books" / "two").string() +
                        "\n[general]\neditor = /bin/true\nmerge_editor = /bin/true\n");
  }
  void TearDown() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }

  json result(const std::string& method, json args) const {
    args["confirm"] = true;
    const json reply = callData(method, args);
    EXPECT_EQ(reply["ok"], true) << method << ": " << reply;
    return reply.value("result", json::object());
  }

  // "<local start> <title>" of each event in May 2024, a day alone for an all-day one.
  Lines ourEvents() const {
    Lines lines;
    const json events = result("list_calendar_events", {{"start_date", "2024-05-01"},
                                                        {"end_date", "2024-06-01"}})["events"];
    for (const auto& e : events) {
      const time_t start = system_clock::to_time_t(test::at(e["start"]));
      std::tm local{};
      ::localtime_r(&start, &local);
      char text[32];
      std::strftime(text, sizeof text, e["all_day"] ? "%Y-%m-%d" : "%Y-%m-%d %H:%M", &local);
      lines.push_back(text + (" " + e["title"].get<std::string>()));
      // An all-day event never ends before it starts.
      EXPECT_LE(test::at(e["start"]), test::at(e["end"])) << e;
    }
    return lines;
  }

  // "<list> <title>" of each task, with "(done)" for a completed one; `title` names its key.
  static Lines tasksIn(const json& tasks, const char* title) {
    Lines lines;
    for (const auto& t : tasks) {
      lines.push_back(t["list"].get<std::string>() + " " + t[title].get<std::string>() +
                      (t["completed"] ? " (done)" : ""));
    }
    return sorted(lines);
  }

  Lines ourReminders() const {
    return tasksIn(result("list_reminders", json::object())["reminders"], "title");
  }

  const fs::path root = test::home() / "folders";
};

TEST_F(VdirItemsInteropTest, KhalListsTheSameEvents) {
  NEED(khal, "khal");
  const Lines ours = ourEvents();
  EXPECT_EQ(ours,
            (Lines{"2024-05-02 11:00 Invite A", "2024-05-02 11:00 Invite B",
                   "2024-05-06 11:00 Only override", "2024-05-06 14:00 Weekly",
                   "2024-05-07 11:00 Mixed event", "2024-05-08 17:00 Orphan", "2024-05-12 Same day",
                   "2024-05-13 Short day", "2024-05-13 14:00 Weekly", "2024-05-20 14:00 Weekly"}));
  const Lines khals = linesOf(run({khal, "list", "--day-format", "", "--format", "{start} {title}",
                                   "2024-05-01", "2024-05-31"}));
  EXPECT_EQ(sorted(ours), sorted(khals));
}

// Both copies of a task are listed and told apart; completing by an identifier both have changes
// neither, and each is completed by its own. todoman sees the same tasks and what was completed.
TEST_F(VdirItemsInteropTest, TodomanListsTheSameTasksAndSeesWhichWasCompleted) {
  NEED(todoman, "todoman");
  const auto todomans = [&] {
    return tasksIn(json::parse(run({todoman, "--porcelain", "list", "--status", "ANY"})),
                   "summary");
  };
  EXPECT_EQ(ourReminders(), (Lines{"la Task in A", "lb Task in B", "mixed Mixed task"}));
  EXPECT_EQ(ourReminders(), todomans());

  EXPECT_EQ(callData("complete_reminder", {{"reminder_id", "t"}, {"confirm", true}}),
            test::failureReply("Cannot complete reminder: The identifier 't' fits 2 reminders: "
                               "t#la in the list \"la\", t#lb in the list \"lb\". Use the "
                               "identifier of the one you mean."));
  EXPECT_EQ(test::readFile(root / "cal/la/t.ics"), kFixtures[2].text);
  EXPECT_EQ(test::readFile(root / "cal/lb/t.ics"), kFixtures[3].text);
  const std::pair<const char*, const char*> completions[] = {{"t#lb", "Task in B"},
                                                             {"mixtask", "Mixed task"}};
  for (const auto& [id, title] : completions) {
    EXPECT_EQ(callData("complete_reminder", {{"reminder_id", id}, {"confirm", true}}),
              test::textReply(std::string("Reminder completed: ") + title));
  }
  EXPECT_EQ(ourReminders(),
            (Lines{"la Task in A", "lb Task in B (done)", "mixed Mixed task (done)"}));
  EXPECT_EQ(ourReminders(), todomans());
}

// Every card is listed, the second of a shared UID too (khard shows only the first); vCard 2.1
// values are decoded, and a card is found by the name it shows.
TEST_F(VdirItemsInteropTest, KhardFindsTheSameContacts) {
  NEED(khard, "khard");
  const auto found = [this](const std::string& query) {
    Lines lines;
    const json contacts = result("search_contacts", {{"query", query}})["contacts"];
    for (const auto& c : contacts) {
      lines.push_back(c["id"].get<std::string>() + "\t" + c["full_name"].get<std::string>());
    }
    return sorted(lines);
  };
  const auto khards = [&](const std::string& query) {
    Lines lines;
    for (const auto& line : linesOf(run({khard, "list", "--parsable", query}))) {
      lines.push_back(line.substr(0, line.rfind('\t')));  // without the address book
    }
    return sorted(lines);
  };
  const struct {
    const char* query;
    Lines ours;
  } cases[] = {
      {"Bob", {"fn\tRobert Smith"}},
      {"Okafor", {"cr\tNgozi Okafor"}},
      {"rgen M", {"qp\tJürgen Müller"}},
      {"Müller", {"qp\tJürgen Müller"}},
      {"Lee", {"dup#one\tAnn Lee", "dup#two\tAnn Lee"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(found(c.query), c.ours) << c.query;
    if (std::string(c.query) != "Lee") {
      EXPECT_EQ(found(c.query), khards(c.query)) << c.query;
    }
  }
  EXPECT_EQ(khards("Lee"), Lines{"dup\tAnn Lee"});
  const json qp = result("get_contact", {{"contact_id", "qp"}});
  EXPECT_EQ(qp["phones"], json::parse(R"([{"label": "mobile", "value": "+49 170 1234567"}])"));
}

}  // namespace
}  // namespace tvrn
