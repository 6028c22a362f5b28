#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pim/PimCodec.h"
#include "pim/PimStore.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

std::string ics(const std::string& component, const std::string& uid, const std::string& lines) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:" + component +
         "\r\nUID:" + uid + "\r\nDTSTAMP:20240101T000000Z\r\n" + lines + "END:" + component +
         "\r\nEND:VCALENDAR\r\n";
}

class PimStoreIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: all-day events begin well before UTC
    ::tzset();
    test::writeFile(Paths::appSupport() / "config.json",
                    nlohmann::json{{"calendar_folders", {(home_ / "cal").string()}},
                                   {"contact_folders", {(home_ / "books").string()}}}
                        .dump());
  }

  std::string titles(const std::string& from, const std::string& to) const {
    std::string text;
    for (const auto& e : store_.events(at(from), at(to)))
      text += (text.empty() ? "" : ",") + e.title;
    return text;
  }

  const fs::path home_ = Paths::home();
  PimStore store_{Paths::home() / "pim"};
};

// Events are found by their time whatever their length and however they repeat: a listing of a
// window far from where a series starts, or where only a moved occurrence lands, finds them.
TEST_F(PimStoreIndexTest, ListingsFindEventsByTheirSpanAndSeriesByTheirBounds) {
  const fs::path work = home_ / "cal" / "work";
  const std::pair<const char*, std::string> items[] = {
      {"long", "SUMMARY:Long\r\nDTSTART:20240101T000000Z\r\nDTEND:20240401T000000Z\r\n"},
      {"day", "SUMMARY:Day\r\nDTSTART;VALUE=DATE:20240601\r\nDTEND;VALUE=DATE:20240602\r\n"},
      {"until",
       "SUMMARY:Until\r\nDTSTART:20240105T090000Z\r\nDURATION:PT1H\r\n"
       "RRULE:FREQ=MONTHLY;UNTIL=20240405T090000Z\r\n"},
      {"count",
       "SUMMARY:Count\r\nDTSTART:20240110T090000Z\r\nDURATION:PT1H\r\n"
       "RRULE:FREQ=YEARLY;COUNT=3\r\n"},
      {"endless",
       "SUMMARY:Endless\r\nDTSTART:19900301T090000Z\r\nDURATION:PT1H\r\n"
       "RRULE:FREQ=YEARLY\r\n"},
      {"dates",
       "SUMMARY:Dates\r\nDTSTART:20240102T090000Z\r\nDURATION:PT1H\r\n"
       "RDATE:20300102T090000Z\r\n"},
  };
  for (const auto& [uid, lines] : items) {
    test::writeFile(work / (std::string(uid) + ".ics"), ics("VEVENT", uid, lines));
  }
  // An occurrence of the counted series moved years past the rule's end.
  test::writeFile(work / "count.ics",
                  ics("VEVENT", "count",
                      "SUMMARY:Count\r\nDTSTART:20240110T090000Z\r\nDURATION:PT1H\r\n"
                      "RRULE:FREQ=YEARLY;COUNT=3\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:count\r\n"
                      "DTSTAMP:20240101T000000Z\r\nRECURRENCE-ID:20250110T090000Z\r\n"
                      "SUMMARY:Count moved\r\nDTSTART:20290615T090000Z\r\nDURATION:PT1H\r\n"));
  const struct {
    const char* from;
    const char* to;
    const char* titles;
  } windows[] = {
      {"2024-02-10", "2024-02-11", "Long"},
      {"2024-03-01", "2024-03-08", "Long,Endless,Until"},
      {"2024-05-31T09:00:00Z", "2024-05-31T11:00:00Z", "Day"},  // 1 June in UTC+14
      {"2024-05-01", "2024-06-01", "Day"},
      {"2026-01-01", "2026-02-01", "Count"},
      {"2027-01-01", "2027-02-01", ""},
      {"2029-06-01", "2029-07-01", "Count moved"},
      {"2030-01-01", "2030-02-01", "Dates"},
      {"2031-03-01", "2031-03-02", "Endless"},
  };
  for (const auto& w : windows) {
    EXPECT_EQ(titles(w.from, w.to), w.titles) << w.from;
    EXPECT_EQ(titles(w.from, w.to), w.titles) << w.from << ", kept from the first listing";
  }
}

// A change is made of what the caller changed: what another program wrote after the caller read
// the item stays, in reminders and contacts as in events.
TEST_F(PimStoreIndexTest, AChangeKeepsWhatAnotherProgramWroteAfterTheCallerRead) {
  const fs::path task = home_ / "cal" / "todo" / "t.ics";
  test::writeFile(task, ics("VTODO", "t", "SUMMARY:Milk\r\n"));
  const fs::path card = home_ / "books" / "people" / "c.vcf";
  test::writeFile(
      card, "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:c\r\nFN:Ann Lee\r\nN:Lee;Ann;;;\r\nEND:VCARD\r\n");

  Reminder reminder = store_.reminder("t").value();
  test::writeFile(task, ics("VTODO", "t", "SUMMARY:Milk\r\nDESCRIPTION:Oat\r\n"));
  reminder.title = "Oat milk";
  ASSERT_TRUE(store_.saveReminder(reminder).ok());

  Contact contact = store_.contact("c").value();
  test::writeFile(card,
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:c\r\nFN:Ann Lee\r\nN:Lee;Ann;;;\r\n"
                  "ORG:Acme\r\nEND:VCARD\r\n");
  contact.givenName = "Anne";
  ASSERT_TRUE(store_.saveContact(contact).ok());

  EXPECT_EQ(store_.reminder("t")->notes, "Oat");
  EXPECT_EQ(store_.reminder("t")->title, "Oat milk");
  EXPECT_EQ(store_.contact("c")->organizationName, "Acme");
  EXPECT_EQ(store_.contact("c")->givenName, "Anne");
}

}  // namespace
}  // namespace tvrn
