#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
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

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

std::string event(const std::string& uid, const std::string& title, const std::string& start,
                  const std::string& more = "") {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
         "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:" + title + "\r\nDTSTART:" + start +
         "\r\nDURATION:PT1H\r\n" + more + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

unsigned dayOf(PimTime time) { return unsigned(year_month_day(floor<days>(time)).day()); }

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ",") + part;
  return text;
}

// Calendars under one configured folder, changed by programs other than the store.
class PimStoreWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::writeFile(Paths::appSupport() / "config.json",
                    nlohmann::json{{"calendar_folders", {root_.string()}}}.dump());
    test::writeFile(root_ / "work" / "displayname", "Work");
    test::writeFile(root_ / "work" / "a.ics", event("a", "Alpha", "20240502T090000Z"));
    test::writeFile(root_ / "work" / "s.ics",
                    event("s", "Standup", "20240501T080000Z", "RRULE:FREQ=WEEKLY;COUNT=5\r\n"));
    // What the other programs copy in.
    test::writeFile(staging_ / "moved.ics", event("a", "Moved", "20240510T090000Z"));
    test::writeFile(staging_ / "shorter.ics",
                    event("s", "Standup", "20240501T080000Z", "RRULE:FREQ=WEEKLY;COUNT=2\r\n"));
    test::writeFile(staging_ / "beta.ics", event("b", "Beta", "20240503T090000Z"));
  }

  std::string may() const {
    std::vector<std::string> titles;
    for (const auto& e : store_.events(at("2024-05-01"), at("2024-06-01"))) {
      titles.push_back(e.title + "@" + std::to_string(dayOf(e.start)));
    }
    return join(titles);
  }

  std::string calendars() const {
    std::vector<std::string> titles;
    for (const auto& c : store_.calendars(EntityType::event)) titles.push_back(c.title);
    return join(titles);
  }

  // Runs a shell script in the calendars' folder, as another program.
  void runElsewhere(const std::string& script) const {
    SpawnOptions spawn{{"/bin/sh", "-c", "cd " + root_.string() + " && " + script}};
    RunOptions run;
    run.timeout = 20s;
    const auto done = Subprocess::run(spawn, run);
    ASSERT_EQ(done.exit.status, 0) << done.standardError;
  }

  const fs::path root_ = Paths::home() / "calendars";
  const fs::path staging_ = Paths::home() / "staging";
  PimStore store_{Paths::home() / "pim"};
};

TEST_F(PimStoreWatchTest, ChangesByAnotherProgramAreSeenByTheNextCall) {
  struct Case {
    const char* what;
    std::string script;
    const char* listing;
    const char* calendars;
  };
  const std::string staging = staging_.string();
  const Case cases[] = {
      {"renamed over", "cp " + staging + "/moved.ics work/.a.tmp && mv work/.a.tmp work/a.ics",
       "Standup@1,Standup@8,Moved@10,Standup@15,Standup@22,Standup@29", "Work"},
      {"written in place", "cat " + staging + "/shorter.ics > work/s.ics",
       "Standup@1,Alpha@2,Standup@8", "Work"},
      {"deleted", "rm work/a.ics", "Standup@1,Standup@8,Standup@15,Standup@22,Standup@29", "Work"},
      {"new folder", "mkdir home && cp " + staging + "/beta.ics home/b.ics",
       "Standup@1,Alpha@2,Beta@3,Standup@8,Standup@15,Standup@22,Standup@29", "Work,home"},
      {"folder removed", "rm -r work", "", ""},
      {"renamed calendar", "printf Office > work/displayname",
       "Standup@1,Alpha@2,Standup@8,Standup@15,Standup@22,Standup@29", "Office"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root_);
    SetUp();
    ASSERT_EQ(may(), "Standup@1,Alpha@2,Standup@8,Standup@15,Standup@22,Standup@29");
    runElsewhere(c.script);
    EXPECT_EQ(may(), c.listing);
    EXPECT_EQ(calendars(), c.calendars);
  }
}

// Listings go on while the store and another program write; each sees a whole index.
TEST_F(PimStoreWatchTest, ReadersGoOnWhileItemsChange) {
  const std::string calendar = (root_ / "work").string();
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> odd{0};
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!done) {
        const auto listed = store_.events(at("2024-05-01"), at("2024-06-01"));
        if (listed.size() < 6 || listed.size() > 6 + 20) ++odd;
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    Event added;
    added.calendarId = calendar;
    added.title = "Added";
    added.start = at("2024-05-20T10:00:00Z") + hours(i);
    added.end = added.start + minutes(30);
    ASSERT_TRUE(store_.saveEvent(added).ok());
    test::writeFile(staging_ / "s.ics", event("s", "Standup " + std::to_string(i),
                                              "20240501T080000Z", "RRULE:FREQ=WEEKLY;COUNT=5\r\n"));
    fs::rename(staging_ / "s.ics", root_ / "work" / "s.ics");
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(odd, 0);
  EXPECT_EQ(store_.events(at("2024-05-01"), at("2024-06-01")).size(), 26u);
  EXPECT_EQ(store_.events(at("2024-05-01"), at("2024-06-01")).front().title, "Standup 19");
}

// The store's builder hands it the settings; a new snapshot names other folders, and settings
// that cannot be read keep the folders last read.
TEST_F(PimStoreWatchTest, FoldersComeFromTheSettingsHandedIn) {
  test::writeFile(Paths::home() / "other" / "private" / "a.ics",
                  event("o", "Other", "20240504T090000Z"));
  std::shared_ptr<const nlohmann::json> settings;
  const PimStore store(Paths::home() / "pim", {.settings = [&] { return settings; }});
  const auto calendars = [&store] {
    std::vector<std::string> titles;
    for (const auto& c : store.calendars(EntityType::event)) titles.push_back(c.title);
    return join(titles);
  };
  settings =
      std::make_shared<const nlohmann::json>(nlohmann::json{{"calendar_folders", {"~/other"}}});
  EXPECT_EQ(calendars(), "private");
  // Another store, handed none, reads the user's file: the settings are this store's alone.
  EXPECT_EQ(this->calendars(), "Work");
  settings = nullptr;
  EXPECT_EQ(calendars(), "private");
  settings = std::make_shared<const nlohmann::json>(
      nlohmann::json{{"calendar_folders", {root_.string()}}});
  EXPECT_EQ(calendars(), "Work");
  EXPECT_EQ(store.events(at("2024-05-01"), at("2024-06-01")).size(), 6u);
}

}  // namespace
}  // namespace tvrn
