#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "bridges/PimFixtures.h"
#include "platform/PimStore.h"
#include "platform/PrivacyGate.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

// A personal-data file that is there but cannot be read must never pass for an empty one: a
// listing of it would read as "nothing there", a change as "no such record".
class LocalDataUnreadableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto entity :
         {PrivacyEntity::calendar, PrivacyEntity::reminders, PrivacyEntity::contacts}) {
      PrivacyGate::shared().setStatus(entity, AuthorizationStatus::granted);
    }
    PimStore& store = PimStore::shared();
    const auto home = store.saveCalendar(test::calendarNamed("Home")).value().id;
    changed_ = store
                   .saveEvent(test::eventIn(home, "Dentist", "2024-05-01T09:00:00Z",
                                            "2024-05-01T10:00:00Z"))
                   .value()
                   .id;
    removed_ =
        store.saveEvent(test::eventIn(home, "Call", "2024-05-02T09:00:00Z", "2024-05-02T10:00:00Z"))
            .value()
            .id;
    const auto inbox =
        store.saveCalendar(test::calendarNamed("Inbox", EntityType::reminder)).value().id;
    Reminder reminder;
    reminder.listId = inbox;
    reminder.title = "Milk";
    milk_ = store.saveReminder(reminder).value().id;
    reminder.title = "Bread";
    bread_ = store.saveReminder(reminder).value().id;
    const auto container = store.saveContainer({"", "Home", ContainerType::local}).value().id;
    Contact ann;
    ann.givenName = "Ann";
    ann.containerId = container;
    ann_ = store.saveContact(ann).value().id;
    store.saveGroup({"", "Friends", container, {ann_}});
  }

  const std::filesystem::path folder = PimStore::shared().folder();
  std::string changed_, removed_, milk_, bread_, ann_;
};

TEST_F(LocalDataUnreadableTest, EveryCallAnswersAFailureNamingTheFileAndWorksOnceItIsBack) {
  struct Case {
    const char* method;
    json args;
    const char* file;
    const char* failure;
  };
  const json week = {{"start_date", "2024-04-29"}, {"end_date", "2024-05-06"}};
  const std::vector<Case> cases = {
      {"list_calendar_names", json::object(), "calendars.json", "Cannot list calendars: "},
      {"list_calendar_events", week, "events.json", "Cannot list events: "},
      {"list_calendar_events", {{"calendar", "Home"}}, "calendars.json", "Cannot list events: "},
      {"update_calendar_event",
       {{"event_id", changed_}, {"title", "Dentist (moved)"}, {"confirm", true}},
       "events.json",
       "Cannot update event: "},
      {"delete_calendar_event",
       {{"event_id", removed_}, {"confirm", true}},
       "events.json",
       "Cannot delete event: "},
      {"list_reminders", json::object(), "reminders.json", "Cannot list reminders: "},
      {"list_reminders",
       {{"list_name", "Inbox"}},
       "reminder-lists.json",
       "Cannot list reminders: "},
      {"list_reminder_lists", json::object(), "reminder-lists.json",
       "Cannot list reminder lists: "},
      {"create_reminder",
       {{"title", "Eggs"}, {"confirm", true}},
       "reminder-lists.json",
       "Cannot create reminder: The change could not be saved: "},
      {"complete_reminder",
       {{"reminder_id", milk_}, {"confirm", true}},
       "reminders.json",
       "Cannot complete reminder: "},
      {"delete_reminder",
       {{"reminder_id", bread_}, {"confirm", true}},
       "reminders.json",
       "Cannot delete reminder: "},
      {"todo_list_lists", json::object(), "reminder-lists.json", "Cannot list task lists: "},
      {"todo_list_tasks", json::object(), "reminders.json", "Cannot list tasks: "},
      {"todo_complete_task",
       {{"title", "Eggs"}, {"confirm", true}},
       "reminders.json",
       "Failed to complete task: "},
      {"list_contacts", json::object(), "contacts.json", "Cannot list contacts: "},
      {"list_contacts",
       {{"group_name", "Friends"}},
       "contact-groups.json",
       "Cannot list contacts: "},
      {"search_contacts", {{"query", "Ann"}}, "contacts.json", "Cannot search contacts: "},
      {"get_contact", {{"contact_id", ann_}}, "contacts.json", "Cannot get contact: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.args.dump() + " without " + c.file);
    const auto file = folder / c.file;
    const auto before = test::contentsOf(folder);
    std::filesystem::rename(file, folder / "kept");
    test::writeFile(file / "inside", "x");
    const json reply = test::callData(c.method, c.args);
    std::filesystem::remove_all(file);
    std::filesystem::rename(folder / "kept", file);

    const std::string expected = c.failure + file.string() + " could not be read: ";
    EXPECT_EQ(reply.value("ok", true), false) << reply.dump();
    EXPECT_EQ(reply.value("error", "").substr(0, expected.size()), expected) << reply.dump();
    EXPECT_EQ(test::contentsOf(folder), before);

    const json again = test::callData(c.method, c.args);
    EXPECT_EQ(again.value("ok", false), true) << again.dump();
  }
  EXPECT_EQ(PimStore::shared().event(changed_)->title, "Dentist (moved)");
  EXPECT_FALSE(PimStore::shared().event(removed_));
  EXPECT_TRUE(PimStore::shared().reminder(milk_)->completed);
  EXPECT_FALSE(PimStore::shared().reminder(bread_));
}

}  // namespace
}  // namespace tvrn
