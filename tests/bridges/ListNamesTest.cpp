// A calendar, list or group named for a change: the one named exactly so (ignoring case) wins
// over one whose name only holds it, though that one comes first; else the first that holds it.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "bridges/PimFixtures.h"
#include "pim/PrivacyGate.h"

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
    for (const char* list : {"Empty Tasks", "Tasks"}) {
      data().saveCalendar(test::calendarNamed(list, EntityType::reminder)).value();
    }
    for (const char* calendar : {"Home Office", "Home"}) {
      data().saveCalendar(test::calendarNamed(calendar)).value();
    }
  }
};

TEST_F(ListNamesTest, TheListOrCalendarNamedExactlyWinsOverOneThatHoldsTheName) {
  const std::tuple<const char*, json, const char*> cases[] = {
      {"create_reminder", {{"title", "R exact"}, {"list_name", "Tasks"}}, "Tasks"},
      {"create_reminder", {{"title", "R case"}, {"list_name", "TASKS"}}, "Tasks"},
      {"create_reminder", {{"title", "R part"}, {"list_name", "task"}}, "Empty Tasks"},
      {"todo_create_task", {{"title", "T exact"}, {"list", "tasks"}}, "Tasks"},
      {"todo_create_task", {{"title", "T part"}, {"list", "empty"}}, "Empty Tasks"},
      {"create_calendar_event", {{"title", "E exact"}, {"calendar", "Home"}}, "Home"},
      {"create_calendar_event", {{"title", "E part"}, {"calendar", "OFFICE"}}, "Home Office"},
  };
  for (auto [method, args, lands] : cases) {
    args.update({{"confirm", true},
                 {"start_date", "2024-05-02T09:00:00Z"},
                 {"end_date", "2024-05-02T10:00:00Z"}});
    EXPECT_EQ(callData(method, args)["ok"], true) << args;
  }
  std::map<std::string, std::string> placed;
  for (const auto& r : data().reminders()) placed[r.title] = r.listTitle;
  for (const auto& e : data().events(test::at("2024-05-01"), test::at("2024-06-01"))) {
    placed[e.title] = e.calendarTitle;
  }
  for (const auto& [method, args, lands] : cases) EXPECT_EQ(placed[args["title"]], lands) << args;

  // Completing by title within "Tasks" does not reach into "Empty Tasks".
  EXPECT_EQ(
      callData("todo_complete_task", {{"title", "R part"}, {"list", "Tasks"}, {"confirm", true}}),
      test::failureReply("Task not found. Run todo_list_tasks to see available tasks."));

  // The contacts of the group named so, not of the one before it whose name holds it.
  const std::string book = data().saveContainer({"", "People", ContainerType::local}).value().id;
  for (const auto& [group, name] : {std::pair{"Old Friends", "Ann"}, {"Friends", "Bob"}}) {
    Contact member;
    member.givenName = name, member.containerId = book;
    ASSERT_TRUE(data().saveGroup({"", group, book, {data().saveContact(member).value().id}}).ok());
  }
  const json listed = callData("list_contacts", {{"group_name", "friends"}})["result"];
  EXPECT_EQ(listed["contacts"].size(), 1u) << listed;
  EXPECT_EQ(listed["contacts"][0]["first_name"], "Bob");
}

}  // namespace
}  // namespace tvrn
