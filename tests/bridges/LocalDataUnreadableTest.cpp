#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "bridges/PimFixtures.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
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
      EXPECT_TRUE(PrivacyGate::shared().setStatus(entity, AuthorizationStatus::granted));
    }
    test::startWithoutCollections();
    PimStore& store = PimStore::shared();
    home_ = store.saveCalendar(test::calendarNamed("Home")).value().id;
    changed_ = store
                   .saveEvent(test::eventIn(home_, "Dentist", "2024-05-01T09:00:00Z",
                                            "2024-05-01T10:00:00Z"))
                   .value()
                   .id;
    removed_ =
        store
            .saveEvent(test::eventIn(home_, "Call", "2024-05-02T09:00:00Z", "2024-05-02T10:00:00Z"))
            .value()
            .id;
    inbox_ = store.saveCalendar(test::calendarNamed("Inbox", EntityType::reminder)).value().id;
    Reminder reminder;
    reminder.listId = inbox_;
    for (auto [title, id] : {std::pair{"Milk", &milk_}, {"Bread", &bread_}, {"Eggs", &eggs_}}) {
      reminder.title = title;
      *id = store.saveReminder(reminder).value().id;
    }
    book_ = store.saveContainer({"", "Home", ContainerType::local}).value().id;
    Contact ann;
    ann.givenName = "Ann";
    ann.containerId = book_;
    ann_ = store.saveContact(ann).value().id;
    friends_ = store.saveGroup({"", "Friends", book_, {ann_}}).value().id;
  }

  std::string home_, inbox_, book_, changed_, removed_, milk_, bread_, eggs_, ann_, friends_;
};

// A folder in place of a file: it is there, and reading it fails.
TEST_F(LocalDataUnreadableTest, EveryCallAnswersAFailureNamingTheFileAndWorksOnceItIsBack) {
  struct Case {
    const char* method;
    json args;
    std::filesystem::path file;
    const char* failure;
  };
  const json week = {{"start_date", "2024-04-29"}, {"end_date", "2024-05-06"}};
  const std::filesystem::path home = home_, inbox = inbox_, book = book_;
  const std::vector<Case> cases = {
      {"list_calendar_names", json::object(), home / "displayname", "Cannot list calendars: "},
      {"list_calendar_events", week, home / (changed_ + ".ics"), "Cannot list events: "},
      {"update_calendar_event",
       {{"event_id", changed_}, {"title", "Dentist (moved)"}, {"confirm", true}},
       home / (removed_ + ".ics"),
       "Cannot update event: "},
      {"delete_calendar_event",
       {{"event_id", removed_}, {"confirm", true}},
       home / (changed_ + ".ics"),
       "Cannot delete event: "},
      {"list_reminders", json::object(), inbox / (milk_ + ".ics"), "Cannot list reminders: "},
      {"list_reminder_lists", json::object(), inbox / "displayname",
       "Cannot list reminder lists: "},
      {"complete_reminder",
       {{"reminder_id", milk_}, {"confirm", true}},
       inbox / (bread_ + ".ics"),
       "Cannot complete reminder: "},
      {"delete_reminder",
       {{"reminder_id", bread_}, {"confirm", true}},
       inbox / (eggs_ + ".ics"),
       "Cannot delete reminder: "},
      {"todo_list_lists", json::object(), inbox / "displayname", "Cannot list task lists: "},
      {"todo_list_tasks", json::object(), inbox / (milk_ + ".ics"), "Cannot list tasks: "},
      {"todo_complete_task",
       {{"title", "Eggs"}, {"confirm", true}},
       inbox / (milk_ + ".ics"),
       "Failed to complete task: "},
      {"list_contacts", json::object(), book / (ann_ + ".vcf"), "Cannot list contacts: "},
      {"list_contacts",
       {{"group_name", "Friends"}},
       book / (friends_ + ".vcf"),
       "Cannot list contacts: "},
      {"search_contacts", {{"query", "Ann"}}, book / (ann_ + ".vcf"), "Cannot search contacts: "},
      {"get_contact", {{"contact_id", ann_}}, book / (friends_ + ".vcf"), "Cannot get contact: "},
  };
  const auto everything = [] {
    return std::pair{test::contentsOf(Paths::home() / "calendars"),
                     test::contentsOf(Paths::home() / "contacts")};
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.args.dump() + " without " + c.file.string());
    const auto kept = c.file.parent_path() / "kept";
    const auto before = everything();
    std::filesystem::rename(c.file, kept);
    test::writeFile(c.file / "inside", "x");
    const json reply = test::callData(c.method, c.args);
    std::filesystem::remove_all(c.file);
    std::filesystem::rename(kept, c.file);

    const std::string expected = c.failure + c.file.string() + " could not be read: ";
    EXPECT_EQ(reply.value("ok", true), false) << reply.dump();
    EXPECT_EQ(reply.value("error", "").substr(0, expected.size()), expected) << reply.dump();
    EXPECT_EQ(everything(), before);

    const json again = test::callData(c.method, c.args);
    EXPECT_EQ(again.value("ok", false), true) << again.dump();
  }
  EXPECT_EQ(PimStore::shared().event(changed_)->title, "Dentist (moved)");
  EXPECT_FALSE(PimStore::shared().event(removed_));
  EXPECT_TRUE(PimStore::shared().reminder(milk_)->completed);
  EXPECT_FALSE(PimStore::shared().reminder(bread_));
  EXPECT_TRUE(PimStore::shared().reminder(eggs_)->completed);
}

}  // namespace
}  // namespace tvrn
