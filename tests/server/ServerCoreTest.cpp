#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>

#include "bridges/PlatformStores.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "fakes/support/RecordingHttpServer.h"
#include "pim/ICalItem.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Endpoints.h"
#include "platform/FileStore.h"
#include "platform/HttpClient.h"
#include "platform/OwnFolder.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "server/ServerCore.h"
#include "support/AppFixtures.h"
#include "support/CapturedStderr.h"
#include "support/ChildTestRun.h"
#include "support/Eventually.h"
#include "support/FakeSafari.h"
#include "support/OtherUserLink.h"
#include "support/OwnProcesses.h"
#include "support/PdfMaker.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/messaging/MessagingTestSupport.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

// The tools start-up registers, by whether read-only mode lets them run (sending, replying,
// creating and deleting count as changes like any other).
const std::set<std::string> kReadingTools = {"get_config",
                                             "run_diagnostics",
                                             "get_audit_log",
                                             "tvrn_state",
                                             "onedrive_root",
                                             "onedrive_list_files",
                                             "onedrive_read_file",
                                             "onedrive_search_files",
                                             "onedrive_file_info",
                                             "pdf_read",
                                             "word_read",
                                             "excel_read",
                                             "ppt_read",
                                             "teams_list_chats",
                                             "teams_read_chat_messages",
                                             "teams_list_teams",
                                             "teams_list_channels",
                                             "teams_read_channel_messages",
                                             "slack_list_workspaces",
                                             "slack_list_channels",
                                             "slack_read_channel_messages",
                                             "slack_search_messages",
                                             "whatsapp_list_chats",
                                             "whatsapp_read_messages",
                                             "whatsapp_search_messages",
                                             "list_calendar_names",
                                             "list_calendar_events",
                                             "list_reminders",
                                             "list_contacts",
                                             "search_contacts",
                                             "get_contact",
                                             "todo_list_lists",
                                             "todo_list_tasks",
                                             "stocks_get_quote",
                                             "stocks_get_chart",
                                             "stocks_search_symbol",
                                             "search_messages",
                                             "outlook_diagnose",
                                             "nordvpn_status",
                                             "nordvpn_servers",
                                             "nordvpn_diagnose",
                                             "safari_read_tab",
                                             "safari_search_tabs",
                                             "safari_wait_for",
                                             "finder_list",
                                             "finder_search",
                                             "list_safari_bookmarks",
                                             "list_accounts",
                                             "list_reminder_lists",
                                             "update_self_diagnosis",
                                             "run_qa",
                                             "daily_brief",
                                             "tvrn_welcome",
                                             "connect_servicenow",
                                             "disconnect_servicenow",
                                             "servicenow_list_my_incidents",
                                             "servicenow_search_incidents",
                                             "servicenow_get_incident",
                                             "servicenow_search_kb",
                                             "connect_m365_account",
                                             "disconnect_m365_account",
                                             "search_m365_directory",
                                             "get_m365_person",
                                             "list_m365_people_insights",
                                             "m365_list_emails",
                                             "m365_read_email",
                                             "m365_search_emails",
                                             "m365_list_events",
                                             "m365_list_contacts",
                                             "m365_search_contacts",
                                             "m365_get_contact"};

const std::set<std::string> kChangingTools = {"onedrive_set_scope",
                                              "word_create",
                                              "word_append",
                                              "excel_create",
                                              "excel_write_cell",
                                              "ppt_create",
                                              "teams_send_message",
                                              "whatsapp_send_message",
                                              "whatsapp_send_file",
                                              "todo_create_task",
                                              "todo_complete_task",
                                              "create_calendar_event",
                                              "update_calendar_event",
                                              "delete_calendar_event",
                                              "create_reminder",
                                              "safari_click",
                                              "create_email_folder",
                                              "onedrive_write_file",
                                              "onedrive_delete_file",
                                              "onedrive_move_file",
                                              "complete_reminder",
                                              "update_tavrin",
                                              "report_problem",
                                              "submit_qa_report",
                                              "servicenow_create_incident",
                                              "servicenow_update_incident",
                                              "servicenow_add_comment",
                                              "m365_send_email",
                                              "m365_reply_email",
                                              "m365_create_event",
                                              "m365_delete_event",
                                              "teams_send_channel_message"};

std::set<std::string> allTools() {
  std::set<std::string> names = kReadingTools;
  names.insert(kChangingTools.begin(), kChangingTools.end());
  return names;
}

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
  PimStore store;  // over the folders the server's store reads
  ASSERT_TRUE(store.saveCalendar(work).ok());

  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);

  auto initialized =
      client->call(test::request(1, "initialize", {{"clientInfo", {{"name", "t"}}}}));
  ASSERT_TRUE(initialized);
  EXPECT_EQ((*initialized)["result"]["serverInfo"]["name"], "tavrin-server");
  EXPECT_EQ((*initialized)["result"]["serverInfo"]["version"], ServerCore::version());

  EXPECT_EQ(listedNames(*client), allTools());  // no fs_ tool among them

  auto names = client->call(test::request(
      3, "tools/call", {{"name", "list_calendar_names"}, {"arguments", nlohmann::json::object()}}));
  ASSERT_TRUE(names);
  const std::string text = (*names)["result"]["content"][0]["text"];
  EXPECT_NE(text.find("Work"), std::string::npos) << text;
  EXPECT_FALSE(std::filesystem::exists(helperLog));
}

// Start-up hands the sessions the permission checker: "initialize" names a refused service.
TEST_F(ServerCoreTest, InitializeNamesTheServicesTheUserRefused) {
  const auto gate = ServerCore::makePrivacyGate();
  ASSERT_TRUE(gate->setStatus(PrivacyEntity::contacts, AuthorizationStatus::denied));
  EXPECT_TRUE(ServerCore::start(gate, test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  const auto reply =
      client->call(test::request(1, "initialize", {{"clientInfo", {{"name", "t"}}}}));
  ASSERT_TRUE(reply);
  const std::string instructions = (*reply)["result"]["instructions"];
  EXPECT_NE(instructions.find("blocked on this Mac: contacts."), std::string::npos) << instructions;
}

// A new user's first steps: nothing set up, and the first confirmed creations land in the
// calendar and reminder list a fresh store makes, as iCalendar files other programs can read.
TEST_F(ServerCoreTest, AFreshHomeCreatesListsChangesAndDeletesOverTheSocket) {
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
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
  EXPECT_NE(test::readFile(ConfigManager::shared().auditLogPath()).find("create_calendar_event"),
            std::string::npos)
      << "a change's audit line is in the file when its answer arrives";
  EXPECT_NE(tool("create_reminder", {{"title", "Buy milk"}, {"confirm", true}}).find("Buy milk"),
            std::string::npos);
  const auto day = nlohmann::json{{"start_date", "2026-12-10"}, {"end_date", "2026-12-11"}};
  EXPECT_NE(tool("list_calendar_events", day).find("Dentist"), std::string::npos);
  EXPECT_NE(tool("list_reminders", nlohmann::json::object()).find("Buy milk"), std::string::npos);

  PimStore store;  // over the folders the server's store reads
  const auto events = store.events(
      PimTime(std::chrono::sys_days(std::chrono::year(2026) / std::chrono::December / 10)),
      PimTime(std::chrono::sys_days(std::chrono::year(2026) / std::chrono::December / 11)));
  ASSERT_EQ(events.size(), 1u);
  tool("update_calendar_event",
       {{"event_id", events[0].id}, {"title", "Dentist (moved)"}, {"confirm", true}});
  EXPECT_NE(tool("list_calendar_events", day).find("Dentist (moved)"), std::string::npos);

  size_t files = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(store.folder() / "calendars")) {
    if (entry.path().extension() != ".ics") continue;
    ++files;
    std::string why;
    EXPECT_TRUE(ICalItem::parse(test::readFile(entry.path()), &why)) << entry.path() << why;
  }
  EXPECT_EQ(files, 2u);
  tool("delete_calendar_event", {{"event_id", events[0].id}, {"confirm", true}});
  EXPECT_EQ(tool("list_calendar_events", day).find("Dentist"), std::string::npos);
}

// Read-only mode, and settings that cannot be read from the first start on, list only the reading
// tools. While they cannot be read, every answer says why beside what it found, personal data in
// it is tokenised and the store makes none of its default folders.
TEST_F(ServerCoreTest, ReadOnlyModeListsOnlyTheReadingTools) {
  const auto config = Paths::appSupport() / "config.json";
  const auto pim = Paths::appSupport() / "pim";
  test::writeFile(pim / "contacts" / "book" / "ann.vcf",
                  "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ann\r\nFN:Ann Example\r\n"
                  "EMAIL:ann@example.com\r\nEND:VCARD\r\n");
  // Each row: what config.json holds ("->": a link to a missing file) and why it cannot be read.
  const std::pair<std::string, std::string> rows[] = {
      {R"({"privacy_mode": true,,})", "does not parse (line 1, column 23: syntax error"},
      {R"({"read_only": "true"})", "cannot be used (line 1, column 12: "},
      {R"({"read_only": 1})", "cannot be used (line 1, column 12: "},
      {R"({"read_only": true, "read_only": false})", "does not parse (line 1, column 31: the key"},
      {"->nowhere.json", "is a link that leads nowhere (nowhere.json)"},
      {R"({"read_only": true})", ""}};
  std::optional<test::SocketClient> client;
  for (const auto& [bytes, why] : rows) {
    SCOPED_TRACE(bytes);
    // Each put in place whole: a moment without the file is one in which the settings read, and
    // the service scan would then make the store's folders.
    if (bytes.starts_with("->")) {
      std::filesystem::create_symlink(bytes.substr(2), config.string() + ".link");
      std::filesystem::rename(config.string() + ".link", config);
    } else {
      test::replaceFile(config, bytes);
    }
    if (!client) {
      ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
      client = test::SocketClient::connect(IPCServer::socketPath());
      ASSERT_TRUE(client);
    }
    EXPECT_EQ(listedNames(*client), kReadingTools);
    const auto answer = [&](const char* name, const nlohmann::json& arguments) {
      const auto reply =
          client->call(test::request(3, "tools/call", {{"name", name}, {"arguments", arguments}}));
      return reply ? reply->dump() : "no reply";
    };
    const std::string note = "Note: Tavrin's settings file " + config.string() + " " + why;
    const std::string events =
        answer("list_calendar_events", {{"start_date", "2026-12-10"}, {"end_date", "2026-12-11"}});
    const std::string contacts = answer("search_contacts", {{"query", "Ann"}});
    EXPECT_EQ(events.find(note) != std::string::npos, !why.empty()) << events;
    // A first start finds nothing to list: for want of the settings, not of a permission.
    for (const char* listing : {"list_calendar_names", "todo_list_lists"}) {
      const std::string none = answer(listing, nlohmann::json::object());
      EXPECT_EQ(none.find(" while " + note.substr(6)) != std::string::npos, !why.empty()) << none;
      EXPECT_EQ(none.find(note) != std::string::npos, !why.empty()) << none;
      EXPECT_EQ(none.find("ermission"), std::string::npos) << none;
    }
    EXPECT_NE(contacts.find("Ann Example"), std::string::npos) << contacts;
    EXPECT_EQ(contacts.find("ann@example.com") == std::string::npos, !why.empty()) << contacts;
    // Made by the first reading call once the settings read, as a fresh store's folders are.
    EXPECT_EQ(std::filesystem::exists(pim / "calendars"), why.empty());
  }
}

// A config.json kept in a dotfiles folder and linked into place: what the server saves at start
// and at the first listing and call goes there, the link stays, and the user's later edits there
// hold at the next call.
TEST_F(ServerCoreTest, AConfigFileLinkedFromTheUsersOwnFolderStaysALinkAndIsObeyed) {
  const auto own = test::home() / "dotfiles" / "tavrin.json";
  const auto config = Paths::appSupport() / "config.json";
  test::writeFile(own, R"({"theme": "dark"})");
  std::filesystem::create_directories(config.parent_path());
  std::filesystem::create_symlink(own, config);
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  const auto call = [&](const char* name, const nlohmann::json& arguments) {
    const auto reply =
        client->call(test::request(3, "tools/call", {{"name", name}, {"arguments", arguments}}));
    return reply ? (*reply)["result"]["content"][0].value("text", "") : "no reply";
  };
  listedNames(*client);
  call("list_calendar_names", nlohmann::json::object());

  EXPECT_TRUE(std::filesystem::is_symlink(config));
  auto saved = nlohmann::json::parse(test::readFile(own));
  for (const char* key : {"theme", "machine_id", "tools_listed_at", "first_tool_call_at"}) {
    EXPECT_TRUE(saved.contains(key)) << key << " in " << saved.dump();
  }
  saved["read_only"] = true;
  saved["disabled_tools"] = {"list_calendar_names"};
  test::replaceFile(own, saved.dump(2));
  EXPECT_NE(call("create_reminder", {{"title", "Milk"}, {"confirm", true}})
                .find("'create_reminder' is not allowed in read-only mode"),
            std::string::npos);
  EXPECT_NE(call("list_calendar_names", nlohmann::json::object())
                .find("'list_calendar_names' is disabled by your organisation's IT policy"),
            std::string::npos);
}

// Slack Desktop installed and slack-proxy in the user's bin folder: once the first scan has seen
// the app, a call reaches the co-process as one request line and its answer comes back.
TEST_F(ServerCoreTest, AnswersASlackCallThroughItsCoProcessOverTheSocket) {
  test::placeBundle("Slack");
  const auto log = test::placeFakeProxy("slack-proxy");

  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  test::waitForServices(
      [](const nlohmann::json& services) { return services["slack"].value("available", false); });
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  auto reply = client->call(
      test::request(1, "tools/call",
                    {{"name", "slack_list_workspaces"}, {"arguments", nlohmann::json::object()}}));
  ASSERT_TRUE(reply);
  EXPECT_EQ(nlohmann::json::parse((*reply)["result"]["content"][0]["text"].get<std::string>()),
            nlohmann::json({{"method", "list_workspaces"}, {"args", nlohmann::json::object()}}));
  EXPECT_EQ(nlohmann::json::parse(test::readFile(log))["request"],
            R"({"method":"list_workspaces","args":{}})");
}

TEST_F(ServerCoreTest, ServesTheDocumentToolsOverTheSocket) {
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  int id = 0;
  const auto call = [&](const std::string& tool, const nlohmann::json& arguments) {
    auto reply =
        client->call(test::request(++id, "tools/call", {{"name", tool}, {"arguments", arguments}}));
    return reply ? (*reply)["result"]["content"][0]["text"].get<std::string>() : "no reply";
  };
  const auto pdf = test::home() / "three.pdf";
  test::writeFile(pdf, test::makePdf({{"First page"}, {"Second page"}, {"Third page"}}));
  EXPECT_EQ(call("pdf_read", {{"path", pdf}}),
            "PDF: 3 pages\n---\nFirst page\n\nSecond page\n\nThird page");

  const std::string docx = (test::home() / "memo.docx").string();
  nlohmann::json create = {{"path", docx}, {"title", "Memo"}, {"content", "line one\nline two"}};
  EXPECT_EQ(call("word_create", create).rfind("Preview \u2014 Word document", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(docx));
  create["confirm"] = true;
  EXPECT_EQ(call("word_create", create),
            "{\n  \"created\": true,\n  \"path\": \"" + docx + "\"\n}");
  EXPECT_EQ(call("word_append", {{"path", docx}, {"content", "appended"}, {"confirm", true}}),
            "Appended 8 characters to " + docx);
  EXPECT_EQ(call("word_read", {{"path", docx}}), "Memo\nline one\nline two\nappended");
}

TEST_F(ServerCoreTest, ServesTheSpreadsheetAndDeckToolsOverTheSocket) {
  ::setenv("TVRN_PYTHON", "/usr/bin/python3", 1);
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  int id = 0;
  const auto call = [&](const std::string& tool, const nlohmann::json& arguments) {
    auto reply =
        client->call(test::request(++id, "tools/call", {{"name", tool}, {"arguments", arguments}}));
    const std::string text =
        reply ? (*reply)["result"]["content"][0]["text"].get<std::string>() : "no reply";
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json(text) : parsed;
  };
  const std::string xlsx = (test::home() / "sales.xlsx").string();
  nlohmann::json create = {{"path", xlsx},
                           {"headers", {"Item", "Qty"}},
                           {"rows", nlohmann::json::array({{"Tea", 3}, {"Cake", 1}})}};
  EXPECT_EQ(call("excel_create", create).get<std::string>().rfind("Preview \u2014 Excel", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(xlsx));
  create["confirm"] = true;
  EXPECT_EQ(call("excel_create", create)["rows"], 2);
  EXPECT_EQ(call("excel_read", {{"path", xlsx}})["rows"],
            nlohmann::json::array({{"Item", "Qty"}, {"Tea", "3"}, {"Cake", "1"}}));
  EXPECT_EQ(call("excel_write_cell", {{"path", xlsx},
                                      {"row", 2},
                                      {"column", 2},
                                      {"value", "5"},
                                      {"confirm", true}})["written"],
            true);
  EXPECT_EQ(call("excel_read", {{"path", xlsx}, {"max_rows", 2}})["rows"][1],
            nlohmann::json({"Tea", "5"}));

  const std::string pptx = (test::home() / "deck.pptx").string();
  nlohmann::json slides = nlohmann::json::array();
  nlohmann::json numbers = nlohmann::json::array();
  for (int i = 1; i <= 12; ++i) {
    slides.push_back(
        {{"title", "Title " + std::to_string(i)}, {"bullets", {"b" + std::to_string(i)}}});
    numbers.push_back(
        {{"slide", i}, {"text", "Title " + std::to_string(i) + " b" + std::to_string(i)}});
  }
  EXPECT_EQ(call("ppt_create", {{"path", pptx}, {"slides", slides}, {"confirm", true}})["slides"],
            12);
  EXPECT_EQ(call("ppt_read", {{"path", pptx}}),
            nlohmann::json({{"slides", numbers}, {"count", 12}}));
}

TEST_F(ServerCoreTest, LogsItsStartBeforeTheCleanUpAndReadyAfterTheSocket) {
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
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
  std::optional<nlohmann::json> status;
  test::eventually(
      [&] {
        auto answer = HttpClient::get("http://127.0.0.1:" + std::to_string(port) + "/status",
                                      std::chrono::seconds(5));
        if (answer && answer.value().status == 200)
          status = nlohmann::json::parse(answer.value().body);
        return status.has_value();
      },
      "the status server's answer");
  return status;
}

// In the process that runs the status server a call is counted once: the session does not also
// report it to its own server.
TEST_F(ServerCoreTest, StatusShowsASocketCallOnceAndAnswersUntilShutdown) {
  const int port = Endpoints::statusPort();
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
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
  if (!test::runsInOwnPidNamespace()) return;  // the start-up ends older servers by name
  const auto startCopy = [] {
    SpawnOptions options({TVRN_PROGRAM, "--headless"});
    auto copy = Subprocess::start(options);
    EXPECT_TRUE(copy.ok());
    return copy.ok() ? std::move(copy).value() : nullptr;
  };
  auto first = startCopy();
  ASSERT_TRUE(first);
  const auto socket = IPCServer::socketPath();
  // A busy machine can take seconds to start the program.
  auto client = test::SocketClient::connect(socket, std::chrono::seconds(20));
  ASSERT_TRUE(client && client->call(test::request(1, "ping")));

  // The running server's lines, more than a trim keeps, in one append (so no line of the server
  // comes between them): the second copy must leave every one.
  std::string serverLines;
  for (int i = 1; i <= 2500; ++i) serverLines += "[t] INFO  line " + std::to_string(i) + "\n";
  ASSERT_TRUE(FileStore::append(ConfigManager::shared().logPath(), serverLines));

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
  EXPECT_NE(log.find(serverLines), std::string::npos) << "the second copy cut the server's log";

  first->terminate();
}

// The standard error of the program, headless or as the tray, run to its end, which must come
// with status 1.
std::string outputOfAFailedStart(bool tray) {
  SpawnOptions options({TVRN_PROGRAM});
  if (!tray) options.argv.push_back("--headless");
  RunOptions run;
  run.timeout = std::chrono::seconds(60);
  const auto ended = Subprocess::run(options, run);
  EXPECT_TRUE(ended.launched);
  EXPECT_FALSE(ended.exit.signalled);
  EXPECT_EQ(ended.exit.status, 1);
  return ended.standardError;
}

// A start that cannot serve (a HOME so long that the socket's path does not fit, an open folder in
// the settings folder) ends with status 1, headless or as the tray, and says why on its standard
// error, in the log that is there and, for the tray, on the desktop's notification server.
TEST(ServerProgramTest, ASocketThatCannotBeBoundEndsTheStartWithStatusOne) {
  if (!test::runsInOwnPidNamespace()) return;   // the tray ends its running copies by name
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the tray's display, where it wants one
  const auto soon = [] { return SubprocessClock::now() + std::chrono::seconds(20); };
  const auto bus = test::startChild({"/usr/bin/dbus-daemon", "--nofork", "--print-address",
                                     "--config-file=" + test::privateBusConfig().string()});
  ASSERT_TRUE(bus);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->readLine(soon()).text.c_str(), 1);
  const auto shown = test::home() / "notifications.jsonl";
  const auto desktop =
      test::startChild({(test::fakesDir() / "fake-notifications").string(), shown.string()});
  ASSERT_TRUE(desktop && desktop->readLine(soon()).text == "ready");
  const auto copy = test::startChild({"/bin/bash", "-c", "exec -a tavrin-tray sleep 300"});
  ASSERT_TRUE(copy && test::waitForCommandLine(copy->pid(), "tavrin-tray"));
  // Each row: the home's name, a folder in the settings folder left open, and the reason.
  const std::tuple<std::string, const char*, std::string> rows[] = {
      {std::string(100, 'h'), nullptr, "the MCP socket cannot be served (Socket path too long ("},
      {"open", "pim", "the folder ~/.config/tavrin/pim is open to writing by other users"}};
  for (const auto& [name, open, said] : rows) {
    const std::string home = (test::home() / name).string();
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);  // the child's; the case's world is restored afterwards
    // Its settings in that home, so the start judges no folder above it (in a user namespace, as
    // the unprivileged run has, root's folders show as nobody's).
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    // A refusal makes no file: its line goes into a log that is there.
    test::writeFile(ConfigManager::shared().logPath(), "");
    if (open) {
      std::filesystem::create_directories(Paths::appSupport() / open);
      std::filesystem::permissions(Paths::appSupport() / open, std::filesystem::perms::all);
    }
    std::string reason = said;
    if (const auto at = reason.find('~'); at != std::string::npos) reason.replace(at, 1, home);
    const std::string why = "[tray] ERROR ServerCore start failed: " + reason;
    for (const bool tray : {false, true}) {
      SCOPED_TRACE(why + (tray ? " tray" : " headless"));
      const auto before = test::readFile(shown).size();
      const std::string output = outputOfAFailedStart(tray);
      EXPECT_NE(output.find(why), std::string::npos) << output;
      EXPECT_EQ(output.find("ServerCore ready"), std::string::npos);
      EXPECT_NE(test::readFile(ConfigManager::shared().logPath()).find(why), std::string::npos);
      EXPECT_TRUE(copy->isRunning());
      // Only the tray's start says so on the desktop, and it has by the time it ends.
      const std::string shownNow = test::readFile(shown).substr(before);
      EXPECT_EQ(shownNow.find("\"body\":\"" + reason) != std::string::npos, tray) << shownNow;
      EXPECT_EQ(shownNow.find("\"summary\":\"TVRN could not start\"") != std::string::npos, tray);
    }
  }
}

// A TVRN_STATUS_PORT that names no port stops the start, headless or as the tray, before anything
// is ended or cleaned up (the clean-up comes after "ServerCore starting"), and says why.
TEST(ServerProgramTest, AStatusPortThatIsNoPortEndsTheStartWithStatusOne) {
  if (!test::runsInOwnPidNamespace()) return;   // a start gone wrong would end programs by name
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // the tray's display, where it wants one
  for (const std::string port : {"abc", "0", "99999", "80x", " 80", "-1"}) {
    for (const bool tray : {false, true}) {
      SCOPED_TRACE(port + (tray ? " tray" : " headless"));
      ::setenv("TVRN_STATUS_PORT", port.c_str(), 1);
      const std::string output = outputOfAFailedStart(tray);
      EXPECT_NE(output.find("[tray] ERROR ServerCore start failed: TVRN_STATUS_PORT=\"" + port +
                            "\" is not a port (a whole number from 1 to 65535)\n"),
                std::string::npos)
          << output;
      EXPECT_EQ(output.find("ServerCore starting"), std::string::npos);
    }
  }
  const std::string log = test::readFile(ConfigManager::shared().logPath());
  EXPECT_EQ(log.find("Legacy"), std::string::npos) << log;
}

bool answersHttp(int port) {
  const auto answer =
      HttpClient::get("http://127.0.0.1:" + std::to_string(port) + "/", std::chrono::seconds(5));
  return answer && answer.value().status == 200;
}

// Every entry under `root`, the root included, with its mode, owner and group and what a file
// holds or a link leads to: a refused start makes, writes, closes and gives away nothing.
std::map<std::string, std::string> treeOf(const std::filesystem::path& root) {
  std::map<std::string, std::string> tree;
  const auto note = [&tree](const std::filesystem::path& at) {
    struct stat info {};
    if (::lstat(at.c_str(), &info) != 0) return;
    std::string& seen = tree[at.string()] = std::to_string(info.st_mode) + " " +
                                            std::to_string(info.st_uid) + ":" +
                                            std::to_string(info.st_gid);
    if (S_ISREG(info.st_mode)) seen += " " + test::readFile(at);
    if (S_ISLNK(info.st_mode)) seen += " -> " + std::filesystem::read_symlink(at).string();
  };
  note(root);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) note(entry.path());
  return tree;
}

// One refused start: the home's length, the path in it that is spoiled (a file put there, or a
// folder of this mode, given to another user when `givenAway`, which only root can do), what the
// start says ("~" standing for the home) and, in some, a link another user made to the spoiled
// place, the group it is given (nobody's primary group, nogroup, in which the group file names
// no one), an access list entry letting nobody write in it, a folder of the user's left open
// (0777) around it, or user databases of their own (a second user source naming nobody a
// member, another account whose primary group is the user's).
constexpr gid_t kAsMade = static_cast<gid_t>(-1);
struct RefusedStart {
  std::size_t homeLength;
  const char* spoiled;
  mode_t mode;
  bool givenAway;
  const char* said;
  const char* linkedFrom = nullptr;
  gid_t group = kAsMade;
  bool nobodyListed = false;
  const char* leftOpen = nullptr;
  OwnFolder::UserDatabase database = {};
};

// Whether the folder's access list is now `text`, as setfacl sets it ("u:65534:rwx" lets nobody
// write, as far as the mask "m::" lets it).
bool setAccessList(const std::filesystem::path& folder, const char* text) {
  acl_t list = ::acl_from_text(text);
  const bool set = list != nullptr && ::acl_set_file(folder.c_str(), ACL_TYPE_ACCESS, list) == 0;
  if (list != nullptr) ::acl_free(list);
  return set;
}

// A start that cannot serve its socket gives up before the clean-up: the user's program on the
// status port is still there to answer (a signalled one could not), and every folder and file is
// as it was.
TEST_F(ServerCoreTest, AStartThatCannotServeItsSocketEndsNothing) {
  if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP() << "python3 is not installed";
  const int port = Endpoints::statusPort();
  const auto program = Subprocess::start(
      {{"/usr/bin/python3", "-m", "http.server", std::to_string(port), "--bind", "127.0.0.1"}});
  ASSERT_TRUE(program.ok());
  ASSERT_TRUE(test::eventually([&] { return answersHttp(port); }, "the user's web server"));

  const passwd* nobody = ::getpwuid(65534);
  const gid_t nobodysGroup = nobody != nullptr ? nobody->pw_gid : 0;
  const OwnFolder::UserDatabase namesNobody{
      [](gid_t) { return std::vector<std::string>{"nobody"}; }, nullptr};
  const RefusedStart rows[] = {
      {100, "", 0, false, "the MCP socket cannot be served (Socket path too long ("},
      {1, ".local/share", 0, false,
       "the MCP socket cannot be served (the folder ~/.local/share/tavrin cannot be made (Not a "
       "directory)"},
      {1, ".local/share/tavrin", 0, false,
       "the MCP socket cannot be served (~/.local/share/tavrin is not a folder"},
      {1, ".local/share/tavrin", 0777, true,
       "the MCP socket cannot be served (the folder ~/.local/share/tavrin belongs to another user "
       "("},
      {1, ".config/tavrin", 0777, true, "the folder ~/.config/tavrin belongs to another user ("},
      {1, ".local", 0755, true,
       "the MCP socket cannot be served (the folder ~/.local, on the way to "
       "~/.local/share/tavrin, belongs to another user (nobody), who could put folders of its own "
       "in place of what lies in it: move it aside, then start again)"},
      {1, ".config", 0777, false,
       "the folder ~/.config, on the way to ~/.config/tavrin, is open to writing by other users "
       "(mode 0777), who could put folders of their own in place of what lies in it: close it "
       "(chmod go-w '~/.config'), then start again"},
      {1, "", 01777, false,
       "the folder ~, on the way to ~/.config/tavrin, is open to writing by other users (mode "
       "1777), who could put folders of their own in place of what lies in it: set HOME to a "
       "folder of your own, then start again"},
      {1, ".config", 01777, false,
       "the folder ~/.config, on the way to ~/.config/tavrin, is open to writing by other users "
       "(mode 1777), who could put folders of their own in place of what lies in it: set "
       "XDG_CONFIG_HOME to a folder of your own, then start again"},
      {1, "elsewhere", 0777, true,
       "the folder ~/elsewhere, on the way to ~/.config/tavrin, belongs to another user (nobody), "
       "who could put folders of its own in place of what lies in it: set XDG_CONFIG_HOME to a "
       "folder of your own, then start again",
       ".config"},
      {1, ".config", 0775, false,
       "the folder ~/.config, on the way to ~/.config/tavrin, is open to writing by other users "
       "(mode 0775), who could put",
       nullptr, nobodysGroup},
      {1, "", 0755, false,
       "the folder ~, on the way to ~/.config/tavrin, is open to writing by other users (mode "
       "0775, its access list lets user nobody write), who could put folders of their own in "
       "place of what lies in it: close it (chmod go-w '~'), then start again",
       nullptr, static_cast<gid_t>(-1), true},
      {1, ".config/tavrin/pim", 0755, true,
       "the folder ~/.config/tavrin/pim belongs to another user (nobody), who could put files of "
       "its own there: move it aside, then start again"},
      {1, ".local/share/tavrin/bin", 0755, true,
       "the MCP socket cannot be served (the folder ~/.local/share/tavrin/bin belongs to another "
       "user (nobody), who could put files of its own there: move it aside, then start again)",
       nullptr, kAsMade, false, ".local/share/tavrin"},
      {1, "own.log", 0, false,
       "the link ~/.config/tavrin/server.log belongs to another user (nobody), who could lead "
       "what is read or written there anywhere: move it aside, then start again",
       ".config/tavrin/server.log", kAsMade, false, ".config/tavrin"},
      {1, ".config/tavrin/tunnel-state.json", 0, true,
       "the file ~/.config/tavrin/tunnel-state.json belongs to another user (nobody), who could "
       "change what it holds as it likes: move it aside, then start again",
       nullptr, kAsMade, false, ".config/tavrin"},
      {1, ".config", 0775, false, "the folder ~/.config, on the way to ~/.config/tavrin, is open",
       nullptr, kAsMade, false, nullptr, namesNobody},
      {1, ".config", 0775, false, "the folder ~/.config, on the way to ~/.config/tavrin, is open",
       nullptr, kAsMade, false, nullptr, test::anotherAccountInOwnGroup()},
      {1, ".config", 0775, false, "the folder ~/.config, on the way to ~/.config/tavrin, is open",
       nullptr, 4242}};
  bool skipped = false;
  int row = 0;
  for (const auto& [homeLength, spoiled, mode, givenAway, said, linkedFrom, group, nobodyListed,
                    leftOpen, database] : rows) {
    const auto home = test::home() / (std::to_string(++row) + std::string(homeLength, 'h'));
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    const auto place = home / spoiled;
    std::filesystem::create_directories(mode != 0 ? place : home);
    if (mode == 0 && *spoiled) test::writeFile(place, "x");
    if (linkedFrom) {
      std::filesystem::create_directories((home / linkedFrom).parent_path());
      std::filesystem::create_symlink(place, home / linkedFrom);
    }
    if ((mode != 0 && ::chmod(place.c_str(), mode) != 0) ||
        (givenAway && ::chown(place.c_str(), 65534, 65534) != 0) ||
        (linkedFrom && ::lchown((home / linkedFrom).c_str(), 65534, 65534) != 0) ||
        ::chown(place.c_str(), -1, group) != 0 || group == 0 ||
        (nobodyListed && !setAccessList(place, "u::rwx,u:65534:rwx,g::r-x,m::rwx,o::r-x")) ||
        (leftOpen && ::chmod((home / leftOpen).c_str(), 0777) != 0)) {
      skipped = true;
      continue;
    }
    // A directory service beside the group file may name members the file does not list, and
    // an account may have the group as its primary group without being named a member.
    OwnFolder::useUserDatabase(database);
    std::string why = said;
    for (auto at = why.find('~'); at != std::string::npos; at = why.find('~', at + 1)) {
      why.replace(at, 1, home.string());
    }
    SCOPED_TRACE(why);
    const auto before = treeOf(home);
    test::CapturedStderr stderrText;
    EXPECT_FALSE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
    EXPECT_TRUE(answersHttp(port));
    const std::string text = stderrText.text();
    EXPECT_NE(text.find("ServerCore start failed: " + why), std::string::npos) << text;
    EXPECT_EQ(treeOf(home), before);
  }
  OwnFolder::useUserDatabase({});
  if (skipped) GTEST_SKIP() << "not root: the rows of what another user owns were left out";
}

// The status port held by a server of this system with another home, started through a link of
// another name: the clean-up leaves it running, and the start says who holds the port.
TEST(ServerProgramTest, AServerOfAnotherHomeOnTheStatusPortIsLeftRunningAndNamed) {
  if (!test::runsInOwnPidNamespace()) return;  // the start-up ends older servers by name
  const int port = test::useUnusedStatusPort();
  const auto useHome = [](const std::filesystem::path& home) {
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  };
  const auto link = test::home() / "my-tray";
  std::filesystem::create_symlink(TVRN_PROGRAM, link);
  useHome(test::home() / "other");
  auto other = Subprocess::start({{link.string(), "--headless"}});
  const auto otherSocket = IPCServer::socketPath();
  useHome(test::home());
  ASSERT_TRUE(other.ok());
  auto client = test::SocketClient::connect(otherSocket, std::chrono::seconds(20));
  ASSERT_TRUE(client && client->call(test::request(1, "ping")));
  ASSERT_TRUE(statusFrom(port));

  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  EXPECT_TRUE(client->call(test::request(2, "ping")));
  EXPECT_TRUE(other.value()->isRunning());
  const std::string log = test::readFile(ConfigManager::shared().logPath());
  EXPECT_NE(log.find("[tray] WARN  Port " + std::to_string(port) +
                     " is held by another Tavrin server, my-tray (PID " +
                     std::to_string(other.value()->pid()) + "), which is left running"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("conflict"), std::string::npos) << log;
  ServerCore::shutdown();
  other.value()->terminate();
}

// The read and search tools answer inside the scope that onedrive_set_scope stores.
TEST_F(ServerCoreTest, OneDriveScopesHoldOverTheSocket) {
  const std::string home = test::home().string() + "/";
  for (const char* file : {"OneDrive/Work/a.txt", "OneDrive/Workshop/b.txt", "OneDrive/Home/c.txt",
                           "OneDrive - Personal/d.txt"}) {
    test::writeFile(home + file, "text");
  }
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  int id = 10;
  const auto text = [&](const std::string& tool, const nlohmann::json& arguments) {
    auto reply =
        client->call(test::request(++id, "tools/call", {{"name", tool}, {"arguments", arguments}}));
    return reply ? (*reply)["result"]["content"][0]["text"].get<std::string>() : "";
  };

  EXPECT_EQ(nlohmann::json::parse(text("onedrive_root", {}))["roots"].size(), 2u);
  nlohmann::json scope = {{"root_name", "OneDrive"}, {"folder", "Work"}};
  EXPECT_EQ(text("onedrive_set_scope", scope).rfind("Preview — restrict", 0), 0u);
  scope["confirm"] = true;
  text("onedrive_set_scope", scope);
  EXPECT_EQ(nlohmann::json::parse(test::readFile(
                ConfigManager::shared().configPath()))["onedrive_scopes"]["OneDrive"],
            "/Work");

  const auto read = [&](const std::string& file) {
    return text("onedrive_read_file", {{"path", home + file}});
  };
  EXPECT_NE(read("OneDrive/Work/a.txt").find("\n---\ntext"), std::string::npos);
  EXPECT_NE(read("OneDrive/Workshop/b.txt").find("Access restricted to 'OneDrive/Work'"),
            std::string::npos);
  EXPECT_NE(read("OneDrive/Work/../Home/c.txt").find("Path '/Home/c.txt' is outside the allowed"),
            std::string::npos);
  EXPECT_NE(read("OneDrive - Personal/d.txt").find("\n---\ntext"), std::string::npos);
  const auto found = nlohmann::json::parse(text("onedrive_search_files", {{"query", ".txt"}}));
  EXPECT_EQ(found["count"], 2);  // a.txt and d.txt
}

std::string callText(test::SocketClient& client, int id, const std::string& tool,
                     const nlohmann::json& arguments) {
  auto reply =
      client.call(test::request(id, "tools/call", {{"name", tool}, {"arguments", arguments}}),
                  std::chrono::seconds(30));
  if (!reply) return "(no reply)";
  return (*reply)["result"]["content"][0]["text"].get<std::string>();
}

// A refused permission shows as a locked row with the invitation to report it; a report reaches
// the back end with every check, and only its 201 counts as received.
TEST_F(ServerCoreTest, DiagnosticsReportOverTheSocketAndSubmitToTheBackEnd) {
  test::writeFile(PrivacyGate::file(), R"({"calendar": "denied"})");
  test::RecordingHttpServer backend;
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);

  const std::string report = callText(*client, 1, "run_diagnostics", nlohmann::json::object());
  EXPECT_NE(report.find("\n🔒 Calendar             No access permission\n"), std::string::npos)
      << report;
  EXPECT_TRUE(report.ends_with(
      "\n\nWant to report this to the TVRN team? Call run_diagnostics with submit: true."))
      << report;
  EXPECT_TRUE(backend.requestsTo("/diagnostics").empty());

  test::CannedResponse answer;
  answer.status = 200;
  backend.respond("/diagnostics", answer);
  const std::string refused = callText(*client, 2, "run_diagnostics", {{"submit", true}});
  EXPECT_TRUE(refused.ends_with("\n⚠ Could not send report (no connection).")) << refused;
  answer.status = 201;
  backend.respond("/diagnostics", answer);
  const std::string sent = callText(*client, 3, "run_diagnostics", {{"submit", true}});
  EXPECT_TRUE(sent.ends_with("\n✓ Report sent to the TVRN team.")) << sent;

  const auto posted = backend.requestsTo("/diagnostics");
  ASSERT_EQ(posted.size(), 2u);
  const nlohmann::json body = posted[1].json();
  EXPECT_EQ(body["version"], ServerCore::version());
  ASSERT_EQ(body["results"].size(), 9u);
  EXPECT_EQ(body["results"][0]["status"], "permission");
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

  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
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

// A start goes on past what is closed to others though it looks open (nobody's entry on the
// home's access list, masked; ~/.config open to the user's own private group). Calendar items
// another user put among the user's, their file or their link to an item of the user's, are left
// out and named in the log; the user's own links (as khal and vdirsyncer leave them) are listed.
TEST_F(ServerCoreTest, AStartGoesOnPastWhatIsClosedAndLeavesOtherUsersItemsOut) {
  Calendar work;
  work.title = "Work";
  work.entityType = EntityType::event;
  const std::filesystem::path calendar = PimStore().saveCalendar(work).value().id;
  const auto home = test::home();
  const auto item = [](const std::string& title, const std::filesystem::path& file) {
    test::writeFile(file,
                    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//t//t//EN\r\nBEGIN:VEVENT\r\nUID:" +
                        title + "\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:" + title +
                        "\r\nDTSTART:20261210T120000Z\r\nDTEND:20261210T130000Z\r\n"
                        "END:VEVENT\r\nEND:VCALENDAR\r\n");
    return true;
  };
  const passwd* user = ::getpwuid(::geteuid());
  const group* primary = ::getgrgid(user->pw_gid);
  // What is done, the item's title, and how the log names it when it is left out.
  const std::vector<std::tuple<std::function<bool()>, const char*, const char*>> rows = {
      {[&] { return setAccessList(home, "u::rwx,u:65534:rwx,g::r-x,m::r-x,o::r-x"); }, nullptr,
       nullptr},
      {[&] {
         return primary != nullptr && primary->gr_name == std::string(user->pw_name) &&
                ::chmod((home / ".config").c_str(), 0775) == 0;
       },
       nullptr, nullptr},
      {[&] {
         std::filesystem::create_symlink(home / "linked.ics", calendar / "linked.ics");
         return item("Linked", home / "linked.ics");
       },
       "Linked", nullptr},
      {[&] {
         return item("Theirs", calendar / "theirs.ics") &&
                ::chown((calendar / "theirs.ics").c_str(), test::kOtherUser, -1) == 0;
       },
       "Theirs",
       "theirs.ics could not be read: a file owned by nobody (uid 65534), not by this user or "
       "root, in a folder of this user's; not read; it is skipped"},
      {[&] {
         return item("Lured", home / "lured.ics") &&
                test::makeOtherUsersLink(home / "lured.ics", calendar / "lured.ics");
       },
       "Lured",
       "lured.ics: a link owned by nobody (uid 65534), not by this user or root; not followed; it "
       "is skipped"}};
  std::vector<bool> planted;
  for (const auto& row : rows) planted.push_back(std::get<0>(row)());
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  const std::string listed = callText(*client, 1, "list_calendar_events",
                                      {{"start_date", "2026-12-10"}, {"end_date", "2026-12-11"}});
  const std::string log = test::readFile(Paths::appSupport() / ConfigManager::kLogName);
  for (std::size_t at = 0; at < rows.size(); ++at) {
    const auto& [plant, title, leftOut] = rows[at];
    if (!planted[at] || title == nullptr) continue;
    EXPECT_EQ(listed.find(title) == std::string::npos, leftOut != nullptr) << listed;
    EXPECT_TRUE(!leftOut || log.find(calendar.string() + "/" + leftOut) != log.npos) << log;
  }
  if (std::count(planted.begin(), planted.end(), false))
    GTEST_SKIP() << "not root, or no access lists or private group here: rows were left out";
}

}  // namespace
}  // namespace tvrn
