#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "core/ToolRegistry.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/calendar/CalendarTools.h"

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
      {"list_calendar_events", ToolKind::readOnly, 5, json::array()},
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
  const json create = registry_->tool("create_calendar_event")->inputSchema["properties"];
  EXPECT_EQ(create["attendees"],
            (json{{"type", "array"},
                  {"items", {{"type", "string"}}},
                  {"description",
                   "List of email addresses to invite (optional, CalDAV/Exchange only)"}}));
}

TEST_F(CalendarToolsTest, PreviewsInTheToolOrTheServiceUntilConfirmed) {
  EXPECT_EQ(resultText(run("create_calendar_event", {{"end_date", nullptr}})),
            "Preview — create calendar event:\n  Title: (no title)\n  Start: ?\n  End:   ?\n  "
            "Calendar: Work\nCall again with confirm: true to create.");
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
