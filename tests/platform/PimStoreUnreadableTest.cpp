#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "platform/PimCodec.h"
#include "platform/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

PimTime at(const std::string& text) { return PimCodec::parseTime(text).value(); }

// A change to what a file holds must not be judged against a file that could not be read: the
// record would seem missing, or its calendar's read-only mark would go unseen.
class PimStoreUnreadableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeFile(folder / "calendars.json",
                    R"({"calendars": [{"id": "home", "title": "Home"}]})");
    test::writeFile(folder / "reminder-lists.json",
                    R"({"lists": [{"id": "inbox", "title": "Inbox"}]})");
    test::writeFile(folder / "contact-containers.json",
                    R"({"containers": [{"id": "local", "name": "On My Computer"}]})");
    Event event;
    event.calendarId = "home";
    event.title = "Dentist";
    event.start = at("2024-05-01T09:00:00Z");
    event.end = at("2024-05-01T10:00:00Z");
    event_ = store.saveEvent(event).value();
    event.title = "Call";
    other_ = store.saveEvent(event).value();
    Reminder reminder;
    reminder.listId = "inbox";
    reminder.title = "Milk";
    reminder_ = store.saveReminder(reminder).value();
  }

  // Puts a folder where `file` is, runs `work`, then puts the file back.
  template <typename Work>
  auto whileUnreadable(const std::string& file, Work&& work) {
    std::filesystem::rename(folder / file, folder / "kept");
    test::writeFile(folder / file / "inside", "x");
    auto answer = work();
    std::filesystem::remove_all(folder / file);
    std::filesystem::rename(folder / "kept", folder / file);
    return answer;
  }

  const std::filesystem::path folder = test::home() / "pim";
  PimStore store{folder};
  Event event_, other_;
  Reminder reminder_;
};

template <typename T>
std::optional<PimError> failureOf(const Result<T, PimError>& result) {
  if (result.ok()) return std::nullopt;
  return result.error();
}

TEST_F(PimStoreUnreadableTest, ChangesToExistingRecordsFailAsStorageAndWorkOnceTheFileIsBack) {
  Event renamed = event_;
  renamed.title = "Dentist (moved)";
  Reminder done = reminder_;
  done.completed = true;
  Calendar home = store.calendar("home").value();
  home.title = "Home and family";

  struct Case {
    const char* what;
    const char* file;
    std::function<std::optional<PimError>()> change;
  };
  const std::vector<Case> cases = {
      {"change an event", "events.json", [&] { return failureOf(store.saveEvent(renamed)); }},
      {"change an event, calendars unread", "calendars.json",
       [&] { return failureOf(store.saveEvent(renamed)); }},
      {"complete a reminder", "reminders.json",
       [&] { return failureOf(store.saveReminder(done)); }},
      {"complete a reminder, lists unread", "reminder-lists.json",
       [&] { return failureOf(store.saveReminder(done)); }},
      {"choose the default calendar", "calendars.json",
       [&] { return failureOf(store.setDefaultCalendar(EntityType::event, "home")); }},
      {"choose the default container", "contact-containers.json",
       [&] { return failureOf(store.setDefaultContainer("local")); }},
      // The other kind's file is where an identifier clash would show.
      {"rename a calendar, lists unread", "reminder-lists.json",
       [&] { return failureOf(store.saveCalendar(home)); }},
      // Removals last: once the file is back they take the record away.
      {"remove an event, calendars unread", "calendars.json",
       [&] { return failureOf(store.removeEvent(other_.id)); }},
      {"remove a reminder", "reminders.json",
       [&] { return failureOf(store.removeReminder(reminder_.id)); }},
      {"remove an event", "events.json", [&] { return failureOf(store.removeEvent(event_.id)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = test::contentsOf(folder);
    const auto refused = whileUnreadable(c.file, c.change);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, PimError::Code::storage);
    const std::string expected =
        "The change could not be saved: " + (folder / c.file).string() + " could not be read: ";
    EXPECT_EQ(refused->message.substr(0, expected.size()), expected) << refused->message;
    EXPECT_EQ(test::contentsOf(folder), before);
    const auto again = c.change();
    EXPECT_FALSE(again) << again->message;
  }
  EXPECT_FALSE(store.event(event_.id));
  EXPECT_FALSE(store.event(other_.id));
  EXPECT_FALSE(store.reminder(reminder_.id));
}

}  // namespace
}  // namespace tvrn
