#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/PimFixtures.h"
#include "core/Timeouts.h"
#include "core/ToolRegistry.h"
#include "pim/PrivacyGate.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/calendar/CalendarTools.h"
#include "tools/support/SystemTools.h"
#include "tools/todo/ToDoTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

// Every tool that changes events, reminders or tasks, answered in this process by the data
// services over the test's home: Work, the only calendar, holds "Review"; Errands, the only
// reminder list, holds "Milk"; the user allows calendars and reminders.
class PersonalDataChangesTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::granted));
    test::startWithoutCollections();
    auto& store = data();
    work_ = store.saveCalendar(test::calendarNamed("Work")).value().id;
    Reminder milk;
    milk.listId =
        store.saveCalendar(test::calendarNamed("Errands", EntityType::reminder)).value().id;
    milk.title = "Milk";
    EXPECT_TRUE(store.saveReminder(milk));
    event_ = store
                 .saveEvent(
                     test::eventIn(work_, "Review", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z"))
                 .value()
                 .id;
    CalendarTools::registerTools(*registry_, helper_);
    ToDoTools::registerTools(*registry_, helper_);
    SystemTools::registerTools(*registry_, {helper_, scripts_}, "test");
  }

  ToolResult run(const std::string& tool, const json& arguments) const {
    return test::callTool(*registry_, tool, arguments);
  }
  static std::map<std::string, std::string> onDisk() {
    return test::contentsOf(test::home() / "calendars");
  }

  HelperProxy helper_{dispatcher()};
  JXARunnerProxy scripts_{Timeouts::jxaDefault};
  std::shared_ptr<ToolRegistry> registry_ = std::make_shared<ToolRegistry>();
  std::string work_, event_;
};

const json kJune{{"title", "Demo"},
                 {"start_date", "2024-06-01T09:00:00Z"},
                 {"end_date", "2024-06-01T10:00:00Z"},
                 {"confirm", true}};

json june(const json& more) {
  json args = kJune;
  args.update(more);
  return args;
}

TEST_F(PersonalDataChangesTest, AnArgumentOfTheWrongTypeIsRefusedByNameAndChangesNothing) {
  const struct {
    const char* tool;
    json args;
    std::string refusal;
  } rows[] = {
      // A preview the tool answers itself refuses as well as the change.
      {"create_calendar_event", {{"title", 5}}, "Invalid 'title': expected string"},
      {"create_calendar_event", june({{"start_date", 5}}), "Invalid 'start_date': expected string"},
      {"create_calendar_event", june({{"notes", 1}}), "Invalid 'notes': expected string"},
      {"create_calendar_event", june({{"calendar", {"Work"}}}),
       "Invalid 'calendar': expected string"},
      {"create_calendar_event", june({{"calendar_id", 4}}),
       "Invalid 'calendar_id': expected string"},
      {"create_calendar_event", june({{"attendees", "a@example.com"}}),
       "Invalid 'attendees': expected array of strings"},
      {"create_calendar_event", june({{"attendees", {"a@example.com", 7}}}),
       "Invalid 'attendees': expected array of strings"},
      {"update_calendar_event",
       {{"event_id", event_}, {"start_date", 5}, {"confirm", true}},
       "Invalid 'start_date': expected string"},
      {"update_calendar_event",
       {{"event_id", event_}, {"location", false}, {"confirm", true}},
       "Invalid 'location': expected string"},
      {"update_calendar_event",
       {{"event_id", event_}, {"title", "Retro"}, {"span", 1}, {"confirm", true}},
       "Invalid 'span': expected string"},
      {"delete_calendar_event", {{"event_id", 5}}, "Invalid 'event_id': expected string"},
      {"create_reminder",
       {{"title", "Rent"}, {"due_date", 20240501}, {"confirm", true}},
       "Invalid 'due_date': expected string"},
      {"create_reminder",
       {{"title", "Rent"}, {"list_name", json::object()}, {"confirm", true}},
       "Invalid 'list_name': expected string"},
      {"complete_reminder", {{"reminder_id", 7}}, "Invalid 'reminder_id': expected string"},
      {"todo_create_task",
       {{"title", "Rent"}, {"priority", "1"}, {"confirm", true}},
       "Invalid 'priority': expected integer"},
      {"todo_create_task",
       {{"title", "Rent"}, {"priority", 1.5}, {"confirm", true}},
       "Invalid 'priority': expected integer"},
      {"todo_create_task", {{"title", true}}, "Invalid 'title': expected string"},
      // Read as absent, the title would pick the task instead.
      {"todo_complete_task",
       {{"task_id", 5}, {"title", "Milk"}, {"confirm", true}},
       "Invalid 'task_id': expected string"},
      {"todo_complete_task", {{"title", "Milk"}, {"list", 3}}, "Invalid 'list': expected string"},
  };
  const auto before = onDisk();
  for (const auto& row : rows) {
    const ToolResult result = run(row.tool, row.args);
    ASSERT_FALSE(result.ok()) << row.tool << " " << row.args << ": " << test::textOf(result);
    EXPECT_EQ(result.error().kind(), ToolError::Case::invalidParam) << row.tool << " " << row.args;
    EXPECT_EQ(result.error().description(), row.refusal) << row.tool << " " << row.args;
  }
  EXPECT_EQ(onDisk(), before);

  // A client over the socket reads it as a failed call.
  test::SessionOverSocket session(registry_);
  const auto reply = session.client().call(
      test::request(1, "tools/call",
                    {{"name", "update_calendar_event"},
                     {"arguments", {{"event_id", event_}, {"start_date", 5}, {"confirm", true}}}}));
  ASSERT_TRUE(reply);
  const json text{{"type", "text"}, {"text", "Error: Invalid 'start_date': expected string"}};
  EXPECT_EQ(reply->at("result"), (json{{"content", {text}}, {"isError", true}}));
  EXPECT_EQ(onDisk(), before);
}

TEST_F(PersonalDataChangesTest, NullIsNotGivenAndAConfirmOfAnotherTypeOnlyPreviews) {
  const struct {
    const char* tool;
    json args;
    std::string preview;  // how the answer begins
  } rows[] = {
      {"create_calendar_event",
       {{"title", nullptr}, {"confirm", "yes"}},
       "Preview — create calendar event:\n  Title: (no title)\n"},
      {"update_calendar_event",
       {{"event_id", event_}, {"title", nullptr}, {"confirm", 1}},
       "Preview — Changes to 'Review':\n  (no changes specified)\n"},
      {"delete_calendar_event",
       {{"event_id", event_}, {"confirm", nullptr}},
       "Preview — delete calendar event '" + event_ + "'."},
      {"create_reminder",
       {{"title", "Rent"}, {"list_name", nullptr}, {"confirm", "true"}},
       "Preview — Reminder to be created:\n  Title:    Rent\n"},
      {"complete_reminder",
       {{"reminder_id", "r1"}, {"confirm", {true}}},
       "Preview — mark reminder 'r1' as complete."},
      {"todo_create_task",
       {{"title", "Rent"}, {"priority", nullptr}, {"confirm", "no"}},
       "Preview — create task 'Rent' in 'default list'."},
      {"todo_complete_task",
       {{"title", "Milk"}, {"task_id", nullptr}, {"confirm", 0}},
       "Preview — mark task 'Milk' as complete."},
  };
  const auto before = onDisk();
  for (const auto& row : rows) {
    const std::string text = test::textOf(run(row.tool, row.args));
    EXPECT_EQ(text.rfind(row.preview, 0), 0u) << row.tool << " " << row.args << ": " << text;
  }
  EXPECT_EQ(onDisk(), before);

  const json created =
      test::jsonOf(run("create_calendar_event", june({{"notes", nullptr}, {"calendar", nullptr}})));
  ASSERT_TRUE(created.contains("id")) << created;
  EXPECT_EQ(data().event(created["id"].get<std::string>())->notes, "");
}

TEST_F(PersonalDataChangesTest, ACreateNamesTheCalendarOrListItUsesAndWhyTheDefault) {
  const struct {
    const char* tool;
    json args;
    std::string line;
  } previews[] = {
      {"create_calendar_event",
       {{"calendar", "Gym"}},
       "\n  Calendar: Work (default; no calendar matches 'Gym')\n"},
      {"create_calendar_event",
       {{"calendar_id", "nope"}},
       "\n  Calendar: Work (default; no calendar has the id 'nope')\n"},
      {"create_calendar_event",
       {{"calendar_id", "nope"}, {"calendar", "Gym"}},
       "\n  Calendar: Work (default; no calendar has the id 'nope' or matches 'Gym')\n"},
      {"create_calendar_event", {{"calendar", "WOR"}}, "\n  Calendar: Work\n"},
      {"create_calendar_event", json::object(), "\n  Calendar: Work\n"},
      {"create_reminder",
       {{"title", "Rent"}, {"list_name", "Gym"}},
       "\n  List:     Errands (default; no list matches 'Gym')\n"},
      {"create_reminder", {{"title", "Rent"}, {"list_name", "err"}}, "\n  List:     Errands\n"},
      {"create_reminder", {{"title", "Rent"}}, "\n  List:     Errands\n"},
  };
  for (const auto& row : previews) {
    const std::string text = test::textOf(run(row.tool, row.args));
    EXPECT_NE(text.find(row.line), std::string::npos)
        << row.tool << " " << row.args << ": " << text;
  }

  const json created = test::jsonOf(run("create_calendar_event", june({{"calendar", "Gym"}})));
  EXPECT_EQ(created["calendar"], "Work");
  EXPECT_EQ(created["calendar_id"], work_);
  EXPECT_EQ(created["calendar_note"],
            "Created in the default calendar, Work: no calendar matches 'Gym'.");
  EXPECT_EQ(data().event(created["id"].get<std::string>())->calendarId, work_);
  const json named = test::jsonOf(run("create_calendar_event", june({{"calendar", "work"}})));
  EXPECT_EQ(named["calendar"], "Work");
  EXPECT_FALSE(named.contains("calendar_note")) << named;

  EXPECT_EQ(test::textOf(run("create_reminder",
                             {{"title", "Rent"}, {"list_name", "Gym"}, {"confirm", true}})),
            "Reminder created: Rent — list: Errands (default; no list matches 'Gym')");
  EXPECT_EQ(test::textOf(run("create_reminder", {{"title", "Tea"}, {"confirm", true}})),
            "Reminder created: Tea — list: Errands");
}

// The user's calendars and lists are not named to a client before the user allows access.
TEST_F(PersonalDataChangesTest, BeforeAccessIsAllowedAPreviewNamesOnlyWhatWasAskedFor) {
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::notDetermined));
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::denied));
  int asked = 0;
  gate.setPrompt([&asked](PrivacyEntity, PrivacyGate::Answer answer) {
    ++asked;
    answer(false);
  });
  const std::pair<json, std::string> previews[] = {
      {{{"calendar", "Gym"}}, "\n  Calendar: Gym\n"},
      {json::object(), "\n  Calendar: (default)\n"},
  };
  for (const auto& [args, line] : previews) {
    const std::string text = test::textOf(run("create_calendar_event", args));
    EXPECT_NE(text.find(line), std::string::npos) << args << ": " << text;
  }
  EXPECT_NE(
      test::textOf(run("create_reminder", {{"title", "Rent"}})).find("\n  List:     (default)\n"),
      std::string::npos);
  EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace tvrn
