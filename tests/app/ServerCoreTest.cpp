#include "app/ServerCore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "platform/PimStore.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

const std::set<std::string> kServedTools = {
    "onedrive_root",         "onedrive_list_files",   "onedrive_read_file",
    "onedrive_search_files", "onedrive_file_info",    "onedrive_set_scope",
    "list_calendar_names",   "list_calendar_events",  "create_calendar_event",
    "update_calendar_event", "delete_calendar_event", "list_reminders",
    "create_reminder",       "list_contacts",         "search_contacts",
    "get_contact",           "todo_list_lists",       "todo_list_tasks",
    "todo_create_task",      "todo_complete_task"};

const std::set<std::string> kReadOnlyTools = {
    "onedrive_root",      "onedrive_list_files", "onedrive_read_file",   "onedrive_search_files",
    "onedrive_file_info", "list_calendar_names", "list_calendar_events", "list_reminders",
    "list_contacts",      "search_contacts",     "get_contact",          "todo_list_lists",
    "todo_list_tasks"};

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

  EXPECT_EQ(listedNames(*client), kServedTools);  // no fs_ tool among them

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

std::string toolText(test::SocketClient& client, const std::string& tool,
                     const nlohmann::json& arguments) {
  static int id = 100;
  auto reply =
      client.call(test::request(++id, "tools/call", {{"name", tool}, {"arguments", arguments}}));
  if (!reply) return "no reply";
  return (*reply)["result"]["content"][0]["text"];
}

TEST_F(ServerCoreTest, OneDriveScopesHoldOverTheSocket) {
  const std::string home = test::home().string();
  test::writeFile(test::home() / "OneDrive/Work/a.txt", "in scope");
  test::writeFile(test::home() / "OneDrive/Workshop/b.txt", "beside it");
  test::writeFile(test::home() / "OneDrive/Home/c.txt", "outside");
  test::writeFile(test::home() / "OneDrive - Personal/d.txt", "personal");
  ServerCore::start();
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);

  const auto roots = nlohmann::json::parse(toolText(*client, "onedrive_root", {}));
  EXPECT_EQ(roots["roots"].size(), 2u);
  EXPECT_EQ(roots["roots"][1]["name"], "OneDrive - Personal");

  const nlohmann::json scope = {{"root_name", "OneDrive"}, {"folder", "Work"}};
  EXPECT_EQ(toolText(*client, "onedrive_set_scope", scope).rfind("Preview — restrict", 0), 0u);
  nlohmann::json confirmed = scope;
  confirmed["confirm"] = true;
  toolText(*client, "onedrive_set_scope", confirmed);
  const auto stored = nlohmann::json::parse(test::readFile(ConfigManager::shared().configPath()));
  EXPECT_EQ(stored["onedrive_scopes"], nlohmann::json({{"OneDrive", "/Work"}}));

  const auto read = [&](const std::string& relative) {
    return toolText(*client, "onedrive_read_file", {{"path", home + "/" + relative}});
  };
  EXPECT_NE(read("OneDrive/Work/a.txt").find("\n---\nin scope"), std::string::npos);
  EXPECT_NE(read("OneDrive/Workshop/b.txt")
                .find("Access restricted to 'OneDrive/Work' by your TVRN config. Path "
                      "'/Workshop/b.txt' is outside the allowed scope."),
            std::string::npos);
  EXPECT_NE(read("OneDrive/Work/../Home/c.txt").find("Path '/Home/c.txt' is outside"),
            std::string::npos);
  EXPECT_NE(read("OneDrive - Personal/d.txt").find("\n---\npersonal"), std::string::npos);

  const auto found =
      nlohmann::json::parse(toolText(*client, "onedrive_search_files", {{"query", ".txt"}}));
  std::set<std::string> hits;
  for (const auto& hit : found["results"]) hits.insert(hit["path"]);
  EXPECT_EQ(hits, (std::set<std::string>{home + "/OneDrive/Work/a.txt",
                                         home + "/OneDrive - Personal/d.txt"}));
}

}  // namespace
}  // namespace tvrn
