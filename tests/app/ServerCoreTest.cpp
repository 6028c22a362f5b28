#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>

#include "app/ServerCore.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "platform/ICalItem.h"
#include "platform/PimStore.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

const std::set<std::string> kPersonalDataTools = {
    "list_calendar_names",   "list_calendar_events",  "create_calendar_event",
    "update_calendar_event", "delete_calendar_event", "list_reminders",
    "create_reminder",       "list_contacts",         "search_contacts",
    "get_contact",           "todo_list_lists",       "todo_list_tasks",
    "todo_create_task",      "todo_complete_task"};

const std::set<std::string> kReadOnlyTools = {
    "list_calendar_names", "list_calendar_events", "list_reminders",  "list_contacts",
    "search_contacts",     "get_contact",          "todo_list_lists", "todo_list_tasks"};

std::set<std::string> listedNames(test::SocketClient& client) {
  auto reply = client.call(test::request(2, "tools/list"));
  std::set<std::string> names;
  if (!reply) return names;
  for (const auto& tool : (*reply)["result"]["tools"])
    names.insert(tool["name"].get<std::string>());
  return names;
}

// A helper program placed where the bridge would find it, logging every request it gets: it must
// never be asked, since start-up answers data calls inside the process.
std::filesystem::path placeLoggingHelper() {
  const auto bin = test::home() / ".local" / "share" / "tavrin" / "bin";
  std::filesystem::create_directories(bin);
  std::filesystem::create_symlink(test::fakesDir() / "fake-helper", bin / "tavrin-helper");
  const auto log = test::home() / "helper-requests.log";
  ::setenv("FAKE_HELPER_LOG", log.c_str(), 1);
  return log;
}

class ServerCoreTest : public ::testing::Test {
 protected:
  void TearDown() override { ServerCore::stop(); }
};

TEST_F(ServerCoreTest, ServesThePersonalDataToolsOverTheSocketInProcess) {
  const auto helperLog = placeLoggingHelper();
  Calendar work;
  work.title = "Work";
  work.entityType = EntityType::event;
  ASSERT_TRUE(PimStore::shared().saveCalendar(work).ok());

  ServerCore::start();
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);

  auto initialized =
      client->call(test::request(1, "initialize", {{"clientInfo", {{"name", "t"}}}}));
  ASSERT_TRUE(initialized);
  EXPECT_EQ((*initialized)["result"]["serverInfo"]["name"], "tavrin-server");
  EXPECT_EQ((*initialized)["result"]["serverInfo"]["version"], ServerCore::version());

  EXPECT_EQ(listedNames(*client), kPersonalDataTools);

  auto names = client->call(test::request(
      3, "tools/call", {{"name", "list_calendar_names"}, {"arguments", nlohmann::json::object()}}));
  ASSERT_TRUE(names);
  const std::string text = (*names)["result"]["content"][0]["text"];
  EXPECT_NE(text.find("Work"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(helperLog));
}

// A new user's first steps: nothing set up, and the first confirmed creations land in the
// calendar and reminder list a fresh store makes, as iCalendar files other programs can read.
TEST_F(ServerCoreTest, AFreshHomeCreatesListsChangesAndDeletesOverTheSocket) {
  ServerCore::start();
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  int id = 10;
  const auto tool = [&](const char* name, const nlohmann::json& arguments) {
    auto reply =
        client->call(test::request(++id, "tools/call", {{"name", name}, {"arguments", arguments}}));
    EXPECT_TRUE(reply) << name;
    const std::string text = reply ? (*reply)["result"]["content"][0].value("text", "") : "";
    EXPECT_FALSE(reply && (*reply)["result"].value("isError", false)) << name << ": " << text;
    return text;
  };
  tool("create_calendar_event", {{"title", "Dentist"},
                                 {"start_date", "2026-12-10T09:00:00"},
                                 {"end_date", "2026-12-10T10:00:00"},
                                 {"confirm", true}});
  EXPECT_NE(tool("create_reminder", {{"title", "Buy milk"}, {"confirm", true}}).find("Buy milk"),
            std::string::npos);
  const auto day = nlohmann::json{{"start_date", "2026-12-10"}, {"end_date", "2026-12-11"}};
  EXPECT_NE(tool("list_calendar_events", day).find("Dentist"), std::string::npos);
  EXPECT_NE(tool("list_reminders", nlohmann::json::object()).find("Buy milk"), std::string::npos);

  const auto events = PimStore::shared().events(
      PimTime(std::chrono::sys_days(std::chrono::year(2026) / std::chrono::December / 10)),
      PimTime(std::chrono::sys_days(std::chrono::year(2026) / std::chrono::December / 11)));
  ASSERT_EQ(events.size(), 1u);
  tool("update_calendar_event",
       {{"event_id", events[0].id}, {"title", "Dentist (moved)"}, {"confirm", true}});
  EXPECT_NE(tool("list_calendar_events", day).find("Dentist (moved)"), std::string::npos);

  size_t files = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(PimStore::shared().folder() / "calendars")) {
    if (entry.path().extension() != ".ics") continue;
    ++files;
    std::string why;
    EXPECT_TRUE(ICalItem::parse(test::readFile(entry.path()), &why)) << entry.path() << why;
  }
  EXPECT_EQ(files, 2u);
  tool("delete_calendar_event", {{"event_id", events[0].id}, {"confirm", true}});
  EXPECT_EQ(tool("list_calendar_events", day).find("Dentist"), std::string::npos);
}

TEST_F(ServerCoreTest, ReadOnlyModeListsOnlyTheReadingTools) {
  ConfigManager::shared().save({{"read_only", true}});
  ServerCore::start();
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  EXPECT_EQ(listedNames(*client), kReadOnlyTools);
}

TEST_F(ServerCoreTest, LogsItsStartBeforeTheCleanUpAndReadyAfterTheSocket) {
  ServerCore::start();
  const std::string log = test::readFile(ConfigManager::shared().logPath());
  const auto starting = log.find("ServerCore starting v" + ServerCore::version());
  const auto socket = log.find("Starting IPC server at ");
  const auto ready = log.find("ServerCore ready — all services started inline");
  ASSERT_NE(starting, std::string::npos) << log;
  ASSERT_NE(socket, std::string::npos) << log;
  ASSERT_NE(ready, std::string::npos) << log;
  EXPECT_LT(starting, socket);
  EXPECT_LT(socket, ready);

  ServerCore::stop();
  EXPECT_FALSE(std::filesystem::exists(IPCServer::socketPath()));
  EXPECT_NE(test::readFile(ConfigManager::shared().logPath()).find("ServerCore stopped"),
            std::string::npos);
}

}  // namespace
}  // namespace tvrn
