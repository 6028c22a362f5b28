#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "app/ServerCore.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "platform/PimStore.h"
#include "platform/Subprocess.h"
#include "support/AppFixtures.h"
#include "support/FakeSafari.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

const std::set<std::string> kBuiltInTools = {
    "list_calendar_names",   "list_calendar_events",  "create_calendar_event",
    "update_calendar_event", "delete_calendar_event", "list_reminders",
    "create_reminder",       "list_contacts",         "search_contacts",
    "get_contact",           "todo_list_lists",       "todo_list_tasks",
    "todo_create_task",      "todo_complete_task",    "search_messages",
    "outlook_diagnose",      "nordvpn_status",        "nordvpn_servers",
    "nordvpn_diagnose",      "safari_read_tab",       "safari_search_tabs",
    "safari_click",          "safari_wait_for"};

const std::set<std::string> kReadOnlyTools = {
    "list_calendar_names", "list_calendar_events", "list_reminders",     "list_contacts",
    "search_contacts",     "get_contact",          "todo_list_lists",    "todo_list_tasks",
    "search_messages",     "outlook_diagnose",     "nordvpn_status",     "nordvpn_servers",
    "nordvpn_diagnose",    "safari_read_tab",      "safari_search_tabs", "safari_wait_for"};

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
  void SetUp() override { test::useUnusedStatusPort(); }
  void TearDown() override { ServerCore::shutdown(); }
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

  EXPECT_EQ(listedNames(*client), kBuiltInTools);

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
  const auto status = log.find("Status server starting on 127.0.0.1:");
  const auto socket = log.find("Starting IPC server at ");
  const auto ready = log.find("ServerCore ready — all services started inline");
  ASSERT_NE(starting, std::string::npos) << log;
  ASSERT_NE(status, std::string::npos) << log;
  ASSERT_NE(socket, std::string::npos) << log;
  ASSERT_NE(ready, std::string::npos) << log;
  EXPECT_LT(starting, status);
  EXPECT_LT(status, socket);
  EXPECT_LT(socket, ready);

  ServerCore::stop();
  EXPECT_FALSE(std::filesystem::exists(IPCServer::socketPath()));
  EXPECT_NE(test::readFile(ConfigManager::shared().logPath()).find("ServerCore stopped"),
            std::string::npos);
}

std::optional<nlohmann::json> statusFrom(int port) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    auto answer = HttpClient::get("http://127.0.0.1:" + std::to_string(port) + "/status",
                                  std::chrono::seconds(5));
    if (answer && answer.value().status == 200) return nlohmann::json::parse(answer.value().body);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

// In the process that runs the status server a call is counted once: the session does not also
// report it to its own server.
TEST_F(ServerCoreTest, StatusShowsASocketCallOnceAndAnswersUntilShutdown) {
  const int port = Endpoints::statusPort();
  ServerCore::start();
  ASSERT_TRUE(statusFrom(port));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->call(
      test::request(1, "tools/call",
                    {{"name", "list_calendar_names"}, {"arguments", nlohmann::json::object()}})));

  const auto status = statusFrom(port);
  ASSERT_TRUE(status);
  ASSERT_EQ((*status)["recent_activity"].size(), 1u) << status->dump(2);
  EXPECT_EQ((*status)["recent_activity"][0]["tool"], "list_calendar_names");
  EXPECT_EQ((*status)["recent_activity"][0]["source"], "local");

  ServerCore::stop();
  EXPECT_TRUE(statusFrom(port));
  ServerCore::shutdown();
  EXPECT_FALSE(HttpClient::get("http://127.0.0.1:" + std::to_string(port) + "/status",
                               std::chrono::seconds(5)));
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

std::string callText(test::SocketClient& client, int id, const std::string& tool,
                     const nlohmann::json& arguments) {
  auto reply =
      client.call(test::request(id, "tools/call", {{"name", tool}, {"arguments", arguments}}),
                  std::chrono::seconds(30));
  if (!reply) return "(no reply)";
  return (*reply)["result"]["content"][0]["text"].get<std::string>();
}

TEST_F(ServerCoreTest, ServesTheLocalApplicationToolsOverTheSocket) {
  ASSERT_TRUE(test::runSqlite(
      Paths::underHome("Library/Messages/chat.db"),
      "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, date INTEGER, handle_id INT);"
      "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);"
      "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY, display_name TEXT, chat_identifier TEXT);"
      "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);"
      "INSERT INTO handle VALUES (1, 'bob@example.com');"
      "INSERT INTO chat VALUES (1, NULL, 'bob-chat');"
      "INSERT INTO message VALUES (1, 'lunch today?', 700000000000000000, 1),"
      " (2, 'Lunch at noon', 700000060000000000, 0);"
      "INSERT INTO chat_message_join VALUES (1, 1), (1, 2);"));
  test::RecordingHttpServer api;
  api.respond("/v1/servers/recommendations",
              {200,
               R"([{"name": "US #1", "hostname": "us1.example", "load": 9}])",
               "application/json",
               {},
               {}});
  ::setenv("TVRN_VPN_API_URL", api.baseURL().c_str(), 1);
  const bool node = test::FakeSafari::available();
  if (node) {
    test::FakeSafari safari(nlohmann::json{{"windows",
                                            {{{"tabs",
                                               {{{"url", "https://news.example/today"},
                                                 {"name", "Today's news"},
                                                 {"text", "All the news."}}}}}}}});
    ::setenv("TVRN_OSASCRIPT", test::FakeSafari::program().c_str(), 1);
  }

  ServerCore::start();
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->call(test::request(1, "initialize", {{"clientInfo", {{"name", "t"}}}})));

  const auto messages =
      nlohmann::json::parse(callText(*client, 2, "search_messages", {{"query", "LUNCH"}}));
  ASSERT_EQ(messages["count"], 2) << messages;
  EXPECT_EQ(messages["results"][0]["content"], "Lunch at noon");
  EXPECT_EQ(messages["results"][0]["sender"], "me");
  EXPECT_EQ(messages["results"][1]["sender"], "bob@example.com");

  EXPECT_EQ(callText(*client, 3, "outlook_diagnose", nlohmann::json::object())
                .rfind("## Outlook Not Installed\n", 0),
            0u);
  test::placeBundle("Microsoft Outlook");
  test::writeDefaults("com.microsoft.Outlook",
                      {{"Login", {{"ActivationEmail", "me@work.example"}}}});
  ASSERT_TRUE(test::runSqlite(
      Paths::underHome("Library/Group Containers/UBF8T346G9.Office/Outlook/Outlook 15 "
                       "Profiles/Main Profile/Data/Outlook.sqlite"),
      "CREATE TABLE AccountsExchange (Account_EmailAddress TEXT);"
      "INSERT INTO AccountsExchange VALUES ('boss@work.example');"));
  const std::string outlook = callText(*client, 4, "outlook_diagnose", nlohmann::json::object());
  EXPECT_EQ(outlook.rfind("## Outlook Accounts Detected\n- boss@work.example\n- me@work.example\n\n"
                          "## Mail.app Accounts\nCould not read Mail.app accounts: ",
                          0),
            0u)
      << outlook;

  const auto servers = nlohmann::json::parse(callText(*client, 5, "nordvpn_servers", {}));
  EXPECT_EQ(servers["servers"][0]["hostname"], "us1.example");
  ASSERT_EQ(api.requestsTo("/v1/servers/recommendations").size(), 1u);
  EXPECT_EQ(api.requestsTo("/v1/servers/recommendations")[0].target,
            "/v1/servers/recommendations?limit=5&filters[servers_groups][identifier]="
            "servers_standard");

  if (!node) GTEST_SKIP() << "node is not installed: safari_read_tab was not tried";
  const auto tab = nlohmann::json::parse(callText(*client, 6, "safari_read_tab", {}));
  EXPECT_EQ(tab["title"], "Today's news");
  EXPECT_EQ(tab["url"], "https://news.example/today");
  EXPECT_EQ(tab["text"], "All the news.");
}

}  // namespace
}  // namespace tvrn
