#include "app/ServerCore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "platform/PimStore.h"
#include "platform/Subprocess.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

const std::set<std::string> kPersonalDataTools = {
    "list_calendar_names", "list_calendar_events", "create_calendar_event",
    "update_calendar_event", "delete_calendar_event", "list_reminders", "create_reminder",
    "list_contacts", "search_contacts", "get_contact", "todo_list_lists", "todo_list_tasks",
    "todo_create_task", "todo_complete_task"};

const std::set<std::string> kReadOnlyTools = {
    "list_calendar_names", "list_calendar_events", "list_reminders", "list_contacts",
    "search_contacts", "get_contact", "todo_list_lists", "todo_list_tasks"};

// This family's tools only read until the user confirms, so read-only mode lists them all.
const std::set<std::string> kM365Tools = {"connect_m365_account", "disconnect_m365_account",
                                          "search_m365_directory", "get_m365_person",
                                          "list_m365_people_insights"};

std::set<std::string> withM365Tools(std::set<std::string> names) {
  names.insert(kM365Tools.begin(), kM365Tools.end());
  return names;
}

std::set<std::string> listedNames(test::SocketClient& client) {
  auto reply = client.call(test::request(2, "tools/list"));
  std::set<std::string> names;
  if (!reply) return names;
  for (const auto& tool : (*reply)["result"]["tools"]) names.insert(tool["name"].get<std::string>());
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

  auto initialized = client->call(test::request(1, "initialize", {{"clientInfo", {{"name", "t"}}}}));
  ASSERT_TRUE(initialized);
  EXPECT_EQ((*initialized)["result"]["serverInfo"]["name"], "tavrin-server");
  EXPECT_EQ((*initialized)["result"]["serverInfo"]["version"], ServerCore::version());

  EXPECT_EQ(listedNames(*client), withM365Tools(kPersonalDataTools));

  auto names = client->call(test::request(
      3, "tools/call", {{"name", "list_calendar_names"}, {"arguments", nlohmann::json::object()}}));
  ASSERT_TRUE(names);
  const std::string text = (*names)["result"]["content"][0]["text"];
  EXPECT_NE(text.find("Work"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(helperLog));
}

TEST_F(ServerCoreTest, ReadOnlyModeListsOnlyTheReadingTools) {
  ConfigManager::shared().save({{"read_only", true}});
  ServerCore::start();
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  EXPECT_EQ(listedNames(*client), withM365Tools(kReadOnlyTools));
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


TEST(ServerProgramTest, ASecondCopyLeavesTheRunningServerAloneAndExitsWithStatusOne) {
  const auto startCopy = [] {
    SpawnOptions options({TVRN_PROGRAM});
    auto copy = Subprocess::start(options);
    EXPECT_TRUE(copy.ok());
    return copy.ok() ? std::move(copy).value() : nullptr;
  };
  auto first = startCopy();
  ASSERT_TRUE(first);
  const auto socket = IPCServer::socketPath();
  auto client = test::SocketClient::connect(socket);
  ASSERT_TRUE(client && client->call(test::request(1, "ping")));

  auto second = startCopy();
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->waitForExit(SubprocessClock::now() + std::chrono::seconds(20)));
  EXPECT_EQ(second->exitStatus()->status, 1);
  EXPECT_TRUE(client->call(test::request(2, "ping")));
  EXPECT_TRUE(test::SocketClient::connect(socket));
  const std::string log = test::readFile(ConfigManager::shared().logPath());
  EXPECT_NE(log.find("another server is already listening at " + socket.string()),
            std::string::npos)
      << log;

  first->terminate();
}

}  // namespace
}  // namespace tvrn
