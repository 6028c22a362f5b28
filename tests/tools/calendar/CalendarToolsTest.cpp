#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "core/Timeouts.h"
#include "core/ToolRegistry.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/calendar/CalendarTools.h"
#include "tools/support/SystemTools.h"
#include "tools/todo/ToDoTools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::request;

std::string resultText(const ToolResult& result) {
  if (!result) return "failed: " + result.error().description();
  return result.value().rawValue()["content"][0]["text"];
}

// The calendar tools answered in this process by the data service; the Work calendar holds
// "Review", and the user allows calendars and reminders.
class CalendarToolsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::granted));
    test::startWithoutCollections();
    auto& store = data();
    const auto work = store.saveCalendar(test::calendarNamed("Work")).value().id;
    EXPECT_TRUE(store.saveCalendar(test::calendarNamed("Errands", EntityType::reminder)));
    event_ = store
                 .saveEvent(
                     test::eventIn(work, "Review", "2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z"))
                 .value()
                 .id;
    CalendarTools::registerTools(*registry_, helper_);
  }

  ToolResult run(const std::string& tool, const json& arguments) {
    return registry_->dispatch(tool, JSONValue::fromRaw(arguments));
  }

  HelperProxy helper_{dispatcher()};
  std::shared_ptr<ToolRegistry> registry_ = std::make_shared<ToolRegistry>();
  std::string event_;
};

TEST_F(CalendarToolsTest, RegistersSevenToolsWithTheirKindsAndSchemas) {
  const struct {
    std::string name;
    ToolKind kind;
    size_t properties;
    json required;
  } tools[] = {
      {"list_calendar_names", ToolKind::readOnly, 0, json::array()},
      {"list_calendar_events", ToolKind::readOnly, 6, json::array()},
      {"create_calendar_event", ToolKind::write, 9, {"title", "start_date", "end_date"}},
      {"update_calendar_event", ToolKind::write, 8, {"event_id"}},
      {"delete_calendar_event", ToolKind::destructive, 2, {"event_id"}},
      {"list_reminders", ToolKind::readOnly, 2, json::array()},
      {"create_reminder", ToolKind::write, 5, {"title"}},
  };
  ASSERT_EQ(registry_->listPayload().rawValue()["tools"].size(), std::size(tools));
  for (const auto& t : tools) {
    const auto tool = registry_->tool(t.name);
    ASSERT_TRUE(tool) << t.name;
    EXPECT_EQ(tool->kind, t.kind) << t.name;
    EXPECT_EQ(tool->inputSchema.size(), 3u) << t.name;
    EXPECT_EQ(tool->inputSchema["type"], "object") << t.name;
    EXPECT_EQ(tool->inputSchema["properties"].size(), t.properties) << t.name;
    EXPECT_EQ(tool->inputSchema["required"], t.required) << t.name;
  }
  EXPECT_EQ(registry_->tool("list_calendar_events")->inputSchema["properties"]["max_results"],
            (json{{"type", "integer"}, {"description", "Max events to return (default 100)"}}));
  const json create = registry_->tool("create_calendar_event")->inputSchema["properties"];
  EXPECT_EQ(create["attendees"],
            (json{{"type", "array"},
                  {"items", {{"type", "string"}}},
                  {"description",
                   "List of email addresses to invite (optional, CalDAV/Exchange only)"}}));
}

TEST_F(CalendarToolsTest, PreviewsInTheToolOrTheServiceUntilConfirmed) {
  EXPECT_EQ(resultText(run("create_calendar_event", {{"end_date", nullptr}})),
            "Preview — create calendar event:\n  Title: (no title)\n  Start: ?\n  End:   ?\n"
            "Call again with confirm: true to create.");
  EXPECT_EQ(
      resultText(run("delete_calendar_event", {{"event_id", event_}})),
      "Preview — delete calendar event '" + event_ + "'. Call again with confirm: true to delete.");
  EXPECT_TRUE(data().event(event_));
  // These two go to the service at once, which answers its own preview.
  EXPECT_EQ(resultText(run("update_calendar_event", {{"event_id", event_}})),
            "Preview — Changes to 'Review':\n  (no changes specified)\n\nCall again with "
            "confirm: true to apply.");

  const json created =
      json::parse(resultText(run("create_calendar_event", {{"title", "Demo"},
                                                           {"start_date", "2024-06-01T09:00:00Z"},
                                                           {"end_date", "2024-06-01T10:00:00Z"},
                                                           {"confirm", true}})));
  EXPECT_TRUE(data().event(created["id"].get<std::string>()));
  EXPECT_EQ(resultText(run("delete_calendar_event", {{"event_id", event_}, {"confirm", true}})),
            "Event deleted: Review");
  // The tool takes "true" as confirmation, the service does not.
  EXPECT_EQ(resultText(run("delete_calendar_event", {{"event_id", "x"}, {"confirm", "true"}})),
            "To delete event 'x', call again with confirm: true");
}

TEST_F(CalendarToolsTest, OverTheSocketTheSameCallsGiveTheSameResults) {
  test::SessionOverSocket session(registry_);
  const json range{{"start_date", "2024-05-01"}, {"end_date", "2024-05-02"}};
  int id = 0;
  for (const auto& [tool, args] :
       {std::pair{"list_calendar_events", range}, std::pair{"list_calendar_names", json::object()},
        std::pair{"delete_calendar_event", json{{"event_id", "x"}}}}) {
    const auto reply =
        session.client().call(request(++id, "tools/call", {{"name", tool}, {"arguments", args}}));
    ASSERT_TRUE(reply) << tool;
    EXPECT_EQ(reply->at("result")["content"][0]["text"], resultText(run(tool, args))) << tool;
  }
}

// Every tool that changes events, reminders or tasks, the To Do and reminder-completing ones too;
// Errands is the only reminder list.
class PersonalDataChangesTest : public CalendarToolsTest {
 protected:
  void SetUp() override {
    CalendarToolsTest::SetUp();
    ToDoTools::registerTools(*registry_, helper_);
    SystemTools::registerTools(*registry_, {helper_, scripts_}, "test");
  }

  JXARunnerProxy scripts_{Timeouts::jxaDefault};
};

json june(const json& more) {
  json args = {{"title", "Demo"},
               {"start_date", "2024-06-01T09:00:00Z"},
               {"end_date", "2024-06-01T10:00:00Z"}};
  args.update(more);
  return args;
}

std::string refused(const std::string& argument, const std::string& type = "string") {
  return "failed: Invalid '" + argument + "': expected " + type;
}

// An argument of the wrong type is refused by name, also where the tool answers a preview
// itself; null is not given, and a confirm of another type than true only previews.
TEST_F(PersonalDataChangesTest, AnArgumentOfTheWrongTypeIsRefusedByNameAndChangesNothing) {
  const std::string list = "array of strings";
  const struct {
    const char* tool;
    json args;           // confirmed unless they say otherwise
    std::string answer;  // how it begins
  } rows[] = {
      // clang-format off
      {"create_calendar_event", {{"title", 5}, {"confirm", false}}, refused("title")},
      {"create_calendar_event", june({{"attendees", "a@x"}}), refused("attendees", list)},
      {"create_calendar_event", june({{"attendees", {"a@x", 7}}}), refused("attendees", list)},
      {"update_calendar_event", {{"event_id", event_}, {"span", 1}}, refused("span")},
      {"delete_calendar_event", {{"event_id", 5}, {"confirm", false}}, refused("event_id")},
      {"create_reminder", {{"title", "Rent"}, {"due_date", 20240501}}, refused("due_date")},
      {"complete_reminder", {{"reminder_id", 7}}, refused("reminder_id")},
      {"todo_create_task", {{"title", "Rent"}, {"priority", 1.5}}, refused("priority", "integer")},
      // Read as absent, the title would pick the task instead.
      {"todo_complete_task", {{"task_id", 5}, {"title", "Milk"}}, refused("task_id")},
      {"create_calendar_event", {{"title", nullptr}, {"confirm", "yes"}},
       "Preview — create calendar event:\n  Title: (no title)\n"},
      {"update_calendar_event", {{"event_id", event_}, {"title", nullptr}, {"confirm", 1}},
       "Preview — Changes to 'Review':\n  (no changes specified)\n"},
      {"complete_reminder", {{"reminder_id", "r1"}, {"confirm", {true}}},
       "Preview — mark reminder 'r1' as complete."},
      {"todo_complete_task", {{"title", "Milk"}, {"task_id", nullptr}, {"confirm", 0}},
       "Preview — mark task 'Milk' as complete."},
      // clang-format on
  };
  const auto before = test::contentsOf(test::home() / "calendars");
  for (const auto& row : rows) {
    json args = row.args;
    args.emplace("confirm", true);
    const std::string text = test::textOf(run(row.tool, args));
    EXPECT_EQ(text.rfind(row.answer, 0), 0u) << row.tool << " " << args << ": " << text;
  }
  EXPECT_EQ(test::contentsOf(test::home() / "calendars"), before);
}

// The usual texts where the calendar or list asked for is used, the default named where it stands
// in; before access is allowed nothing is read (nobody is asked): the default unless one is found.
TEST_F(PersonalDataChangesTest, ACreateSaysWhereTheDefaultStandsInForTheCalendarOrList) {
  int asked = 0;
  gate.setPrompt([&asked](PrivacyEntity, PrivacyGate::Answer answer) {
    ++asked;
    answer(false);
  });
  const auto unknown = AuthorizationStatus::notDetermined, denied = AuthorizationStatus::denied;
  const std::string plain = "\n  End:   ?\nCall again with confirm: true to create.";
  const struct {
    const char* tool;
    json args;
    std::string line;
    AuthorizationStatus access = AuthorizationStatus::granted;
  } rows[] = {
      // clang-format off
      {"create_calendar_event", {{"calendar", "Gym"}},
       "\n  Calendar: Work (default; no calendar matches 'Gym')\n"},
      {"create_calendar_event", {{"calendar_id", "nope"}},
       "\n  Calendar: Work (default; no calendar has the id 'nope')\n"},
      {"create_calendar_event", {{"calendar_id", "nope"}, {"calendar", "Gym"}},
       "\n  Calendar: Work (default; no calendar has the id 'nope' or matches 'Gym')\n"},
      {"create_calendar_event", {{"calendar", "WOR"}}, plain},
      {"create_reminder", {{"title", "Rent"}, {"list_name", "Gym"}},
       "\n  List:     Errands (default; no list matches 'Gym')\n"},
      {"create_reminder", {{"title", "Rent"}, {"list_name", "err"}}, "\n  List:     err\n"},
      {"create_reminder", {{"title", "Rent"}, {"list_name", "Gym"}, {"confirm", true}},
       "Reminder created: Rent — list: Errands (default; no list matches 'Gym')"},
      {"create_reminder", {{"title", "Tea"}, {"confirm", true}}, "Reminder created: Tea"},
      {"create_calendar_event", {{"calendar", "Work"}}, "\n  Calendar: (default, unless a "
       "calendar matches 'Work' once access is allowed)\n", unknown},
      {"create_calendar_event", json::object(), plain, unknown},
      {"create_reminder", {{"title", "Rent"}, {"list_name", "Errands"}},
       "\n  List:     (default, unless a list matches 'Errands' once access is allowed)\n", unknown},
      {"create_reminder", {{"title", "Rent"}}, "\n  List:     (default)\n", denied},
      // clang-format on
  };
  for (const auto& row : rows) {
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, row.access));
    EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, row.access));
    const std::string text = test::textOf(run(row.tool, row.args));
    EXPECT_NE(text.find(row.line), std::string::npos)
        << row.tool << " " << row.args << ": " << text;
  }
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));

  json created =
      test::jsonOf(run("create_calendar_event", june({{"calendar", "Gym"}, {"confirm", true}})));
  EXPECT_EQ(created["calendar"], "Work");
  EXPECT_EQ(created["calendar_note"],
            "Created in the default calendar, Work: no calendar matches 'Gym'.");
  created =
      test::jsonOf(run("create_calendar_event", june({{"calendar", "work"}, {"confirm", true}})));
  EXPECT_EQ(created["calendar"], "Work");
  EXPECT_FALSE(created.contains("calendar_note")) << created;
}

TEST(CalendarToolsReadOnlyTest, OnlyTheReadingToolsAreListedAndRun) {
  test::writeFile(Paths::appSupport() / "config.json", R"({"read_only": true})");
  HelperProxy helper;
  auto registry = std::make_shared<ToolRegistry>();
  CalendarTools::registerTools(*registry, helper);
  test::SessionOverSocket session(registry);
  const auto listing = session.client().call(request(1, "tools/list"));
  ASSERT_TRUE(listing);
  std::vector<std::string> names;
  for (const auto& tool : listing->at("result")["tools"]) names.push_back(tool["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"list_calendar_events", "list_calendar_names",
                                             "list_reminders"}));
  for (const char* tool : {"create_calendar_event", "update_calendar_event",
                           "delete_calendar_event", "create_reminder"}) {
    const ToolResult refused = registry->dispatch(tool, JSONValue::fromRaw(json::object()));
    ASSERT_FALSE(refused) << tool;
    EXPECT_EQ(refused.error().kind(), ToolError::Case::permissionDenied) << tool;
  }
}

}  // namespace
}  // namespace tvrn
