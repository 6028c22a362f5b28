// The store and the Linux calendar, task and contact programs on the same folders: what either
// writes, the other reads. Each test needs the real program and is skipped without it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// The first of the names found on PATH, or "".
std::string onPath(std::initializer_list<const char*> names) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (const char* name : names) {
    size_t at = 0;
    while (at <= folders.size()) {
      const size_t end = std::min(folders.find(':', at), folders.size());
      const fs::path candidate = fs::path(folders.substr(at, end - at)) / name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
      at = end + 1;
    }
  }
  return {};
}

#define NEED(program, ...)                           \
  const std::string program = onPath({__VA_ARGS__}); \
  if (program.empty()) GTEST_SKIP() << #program " is not installed (install-deps)"

class VdirInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    test::writeFile(Paths::appSupport() / "config.json",
                    nlohmann::json{{"calendar_folders", {(root / "cal").string()}},
                                   {"contact_folders", {(root / "books").string()}}}
                        .dump());
    test::writeFile(root / "cal" / "work" / "displayname", "Work");
    test::writeFile(root / "cal" / "tasks" / "tavrin-kind", "tasks");
    fs::create_directories(root / "books" / "friends");
    const fs::path config = test::home() / ".config";
    test::writeFile(config / "khal" / "config",
                    "[calendars]\n[[work]]\npath = " + (root / "cal" / "work").string() +
                        "\ntype = calendar\n[default]\ndefault_calendar = work\n"
                        "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                        "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                        "longdatetimeformat = %Y-%m-%d %H:%M\n");
    test::writeFile(config / "todoman" / "config.py",
                    "path = \"" + (root / "cal").string() +
                        "/*\"\ndate_format = \"%Y-%m-%d\"\ntime_format = \"%H:%M\"\n");
    test::writeFile(config / "khard" / "khard.conf",
                    "[addressbooks]\n[[friends]]\npath = " + (root / "books" / "friends").string() +
                        "\n[general]\neditor = /bin/true\nmerge_editor = /bin/true\n");
  }

  void TearDown() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }

  // The program's output; the test fails when it does not end well.
  static std::string run(std::vector<std::string> argv) {
    const auto done = Subprocess::run(SpawnOptions(argv), RunOptions{std::nullopt, seconds(60)});
    EXPECT_TRUE(done.launched && !done.timedOut && done.exit.status == 0 && !done.exit.signalled)
        << argv[0] << " " << argv[1] << ": " << done.standardError;
    return done.standardOutput + done.standardError;
  }

  std::string calendar(const char* name) const { return (root / "cal" / name).string(); }

  const fs::path root = test::home() / "pim-folders";
  PimStore store{test::home() / "pim"};
};

TEST_F(VdirInteropTest, WhatWeWriteIsListedByKhalAndTodoman) {
  NEED(khal, "khal");
  NEED(todo, "todo", "todoman");
  Event dentist;
  dentist.calendarId = calendar("work");
  dentist.title = "Dentist";
  dentist.start = PimCodec::parseTime("2024-05-01T07:00:00Z").value();
  dentist.end = dentist.start + hours(1);
  ASSERT_TRUE(store.saveEvent(dentist).ok());
  Reminder milk;
  milk.listId = calendar("tasks");
  milk.title = "Buy milk";
  milk.dueDateComponents = DateComponents{2024, 5, 3, {}, {}};
  ASSERT_TRUE(store.saveReminder(milk).ok());

  const std::string events = run({khal, "list", "2024-05-01", "2024-05-02"});
  EXPECT_NE(events.find("09:00-10:00 Dentist"), std::string::npos) << events;
  const std::string tasks = run({todo, "list"});
  EXPECT_NE(tasks.find("2024-05-03 Buy milk"), std::string::npos) << tasks;
}

TEST_F(VdirInteropTest, WhatKhalWritesIsListedWithTheRightOccurrences) {
  NEED(khal, "khal");
  run({khal, "new", "-a", "work", "2024-05-06", "10:00", "11:00", "Weekly sync", "-r", "weekly"});
  // One occurrence moved, as a calendar program writes it: its own VEVENT with RECURRENCE-ID.
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(calendar("work"))) {
    if (entry.path().extension() == ".ics") files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 1u);
  std::string text = test::readFile(files[0]);
  const size_t from = text.find("UID:") + 4;
  const std::string uid = text.substr(from, text.find_first_of("\r\n", from) - from);
  text.insert(text.rfind("END:VCALENDAR"),
              "BEGIN:VEVENT\r\nUID:" + uid +
                  "\r\nRECURRENCE-ID;TZID=Europe/Berlin:20240513T100000\r\n"
                  "SUMMARY:Weekly sync (moved)\r\nDTSTART;TZID=Europe/Berlin:20240513T140000\r\n"
                  "DTEND;TZID=Europe/Berlin:20240513T150000\r\nDTSTAMP:20240101T000000Z\r\n"
                  "END:VEVENT\r\n");
  test::writeFile(files[0], text);
  // khal keeps what it read in a cache that a change within the same second can slip past.
  fs::remove(test::home() / ".local" / "share" / "khal" / "khal.db");

  std::vector<std::string> starts;
  for (const auto& event : store.events(PimCodec::parseTime("2024-05-06").value(),
                                        PimCodec::parseTime("2024-05-28").value())) {
    starts.push_back(PimCodec::instantText(event.start) + " " + event.title);
  }
  EXPECT_EQ(starts,
            (std::vector<std::string>{
                "2024-05-06T08:00:00Z Weekly sync", "2024-05-13T12:00:00Z Weekly sync (moved)",
                "2024-05-20T08:00:00Z Weekly sync", "2024-05-27T08:00:00Z Weekly sync"}));
  // khal reads the file we read the same way.
  const std::string listed = run({khal, "list", "2024-05-13", "2024-05-14"});
  EXPECT_NE(listed.find("14:00-15:00 Weekly sync (moved)"), std::string::npos) << listed;
}

TEST_F(VdirInteropTest, WhatTodomanWritesIsListedWithItsDueDate) {
  NEED(todo, "todo", "todoman");
  run({todo, "new", "-l", "tasks", "--due", "2024-05-03", "Buy milk"});
  run({todo, "new", "-l", "tasks", "--due", "2024-05-04 18:30", "Call Bo"});
  auto found = store.reminders();
  ASSERT_EQ(found.size(), 2u);
  // Seen together in one reading of the folder, they come in the order of their file names.
  if (found[0].title != "Buy milk") std::swap(found[0], found[1]);
  EXPECT_EQ(found[0].title, "Buy milk");
  EXPECT_EQ(found[0].dueDateComponents, (DateComponents{2024, 5, 3, {}, {}}));
  EXPECT_EQ(found[1].dueDateComponents, (DateComponents{2024, 5, 4, 18, 30}));
  EXPECT_EQ(found[0].listId, calendar("tasks"));
  EXPECT_FALSE(found[0].completed);

  run({todo, "done", "1"});
  EXPECT_EQ(store.reminders(ReminderQuery{ReminderFilter::completed}).size(), 1u);
}

TEST_F(VdirInteropTest, WhatKhardWritesIsListedWithItsFields) {
  NEED(khard, "khard");
  test::writeFile(test::home() / "ann.yaml",
                  "First name : Ann\nLast name : Zimmer\nOrganisation : Acme\nEmail :\n"
                  "    work : ann@acme.example\nPhone :\n    cell : +1 555 0100\n"
                  "Birthday : 1985-03-07\nNote : Likes tea\n");
  run({khard, "new", "-a", "friends", "-i", (test::home() / "ann.yaml").string()});
  const auto found = store.contactsMatchingName("zimmer");
  ASSERT_EQ(found.size(), 1u);
  const Contact& ann = found[0];
  EXPECT_EQ(ann.givenName, "Ann");
  EXPECT_EQ(ann.organizationName, "Acme");
  EXPECT_EQ(ann.emailAddresses, (std::vector<LabeledValue>{{"work", "ann@acme.example"}}));
  EXPECT_EQ(ann.phoneNumbers, (std::vector<LabeledValue>{{"mobile", "+1 555 0100"}}));
  EXPECT_EQ(ann.birthday, (DateComponents{1985, 3, 7, {}, {}}));
  EXPECT_EQ(ann.note, "Likes tea");

  // And khard reads what we change.
  Contact changed = ann;
  changed.phoneNumbers.push_back({"work", "+1 555 0199"});
  ASSERT_TRUE(store.saveContact(changed).ok());
  const std::string shown = run({khard, "show", "Zimmer"});
  EXPECT_NE(shown.find("+1 555 0199"), std::string::npos) << shown;
}

// khard reads the first card of a file of several; a change to either card leaves the file as
// khard reads it, every byte of the other card kept.
TEST_F(VdirInteropTest, AChangeToOneOfSeveralCardsInAFileLeavesItReadableByKhard) {
  NEED(khard, "khard");
  const fs::path file = root / "books" / "friends" / "all.vcf";
  const std::string ann = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ann\r\nFN:Ann Lee\r\nN:Lee;Ann;;;\r\n";
  const std::string bob = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:bob\r\nFN:Bob Roe\r\nN:Roe;Bob;;;\r\n";
  const std::string end = "END:VCARD\r\n";
  test::writeFile(file, ann + end + bob + end);
  for (const char* id : {"bob", "ann"}) {
    Contact changed = store.contact(id).value();
    changed.phoneNumbers.push_back({"work", std::string("+1 555 0199 ") + id});
    ASSERT_TRUE(store.saveContact(changed).ok()) << id;
  }
  EXPECT_EQ(test::readFile(file), ann + "TEL;TYPE=work:+1 555 0199 ann\r\n" + end + bob +
                                      "TEL;TYPE=work:+1 555 0199 bob\r\n" + end);
  EXPECT_NE(run({khard, "show", "Lee"}).find("+1 555 0199 ann"), std::string::npos);
}

}  // namespace
}  // namespace tvrn
