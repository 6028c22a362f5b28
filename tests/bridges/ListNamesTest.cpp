// A calendar, list or group named for a change: the one named exactly so wins over one whose name
// only holds it, even when that one comes first; without an exact name, the first that holds it.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/PimFixtures.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

class ListNamesTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    test::startWithoutCollections();
    for (const auto entity :
         {PrivacyEntity::calendar, PrivacyEntity::reminders, PrivacyEntity::contacts}) {
      EXPECT_TRUE(gate.setStatus(entity, AuthorizationStatus::granted));
    }
    // Each name that holds another is made first, so it would win by order alone.
    for (const char* title : {"Empty Tasks", "Tasks"}) {
      data().saveCalendar(test::calendarNamed(title, EntityType::reminder)).value();
    }
    for (const char* title : {"Home Office", "Home"}) {
      data().saveCalendar(test::calendarNamed(title)).value();
    }
  }

  // Where each reminder, task and event now is, by title.
  std::map<std::string, std::string> placed() const {
    std::map<std::string, std::string> where;
    for (const auto& r : data().reminders()) where[r.title] = r.listTitle;
    for (const auto& e : data().events(test::at("2024-05-01"), test::at("2024-06-01"))) {
      where[e.title] = e.calendarTitle;
    }
    return where;
  }
};

TEST_F(ListNamesTest, TheListOrCalendarNamedExactlyWinsOverOneThatHoldsTheName) {
  const json day{{"start_date", "2024-05-02T09:00:00Z"}, {"end_date", "2024-05-02T10:00:00Z"}};
  const struct {
    const char* method;
    json args;
    const char* lands;
  } cases[] = {
      {"create_reminder", {{"title", "R exact"}, {"list_name", "Tasks"}}, "Tasks"},
      {"create_reminder", {{"title", "R case"}, {"list_name", "TASKS"}}, "Tasks"},
      {"create_reminder", {{"title", "R part"}, {"list_name", "task"}}, "Empty Tasks"},
      {"todo_create_task", {{"title", "T exact"}, {"list", "tasks"}}, "Tasks"},
      {"todo_create_task", {{"title", "T part"}, {"list", "empty"}}, "Empty Tasks"},
      {"create_calendar_event", {{"title", "E exact"}, {"calendar", "Home"}}, "Home"},
      {"create_calendar_event", {{"title", "E part"}, {"calendar", "OFFICE"}}, "Home Office"},
  };
  for (const auto& c : cases) {
    json args = c.args;
    args["confirm"] = true;
    if (std::string(c.method) == "create_calendar_event") args.update(day);
    EXPECT_EQ(callData(c.method, args)["ok"], true) << args;
    EXPECT_EQ(placed()[args["title"]], c.lands) << args;
  }

  // Completing by title within "Tasks" does not reach into "Empty Tasks".
  const json inTasks{{"title", "R part"}, {"list", "Tasks"}, {"confirm", true}};
  EXPECT_EQ(callData("todo_complete_task", inTasks),
            test::failureReply("Task not found. Run todo_list_tasks to see available tasks."));
  EXPECT_EQ(callData("todo_complete_task", {{"title", "R"}, {"list", "Tasks"}, {"confirm", true}}),
            test::textReply("Task 'R exact' marked as complete. It will sync to Microsoft To Do "
                            "automatically."));

  // Contacts of the group named so, not of the one before it whose name holds it.
  const std::string book = data().saveContainer({"", "People", ContainerType::local}).value().id;
  Contact ann, bob;
  ann.givenName = "Ann";
  bob.givenName = "Bob";
  ann.containerId = bob.containerId = book;
  const std::string annId = data().saveContact(ann).value().id;
  const std::string bobId = data().saveContact(bob).value().id;
  ASSERT_TRUE(data().saveGroup({"", "Old Friends", book, {annId}}).ok());
  ASSERT_TRUE(data().saveGroup({"", "Friends", book, {bobId}}).ok());
  const json listed = callData("list_contacts", {{"group_name", "friends"}})["result"];
  ASSERT_EQ(listed["count"], 1) << listed;
  EXPECT_EQ(listed["contacts"][0]["first_name"], "Bob");
}

}  // namespace
}  // namespace tvrn
