#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestLoader.h"
#include "platform/Paths.h"
#include "server/ServerCore.h"
#include "support/Eventually.h"
#include "support/AppFixtures.h"
#include "support/OwnProcesses.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// One tool of each kind that reads this machine, and one that composes two of them.
std::string fixture(const std::string& base) {
  return R"(<manifest version="7"><capabilities><capability type="native"/>
<capability type="http_local"/><capability type="sqlite"/><capability type="plist"/>
<capability type="compose"/><capability type="conditional"/></capabilities><tools>
<tool name="say_hi"><behavior type="conditional"><if condition="never"/><else><text>hi</text>
  </else></behavior></tool>
<tool name="local_item"><param name="id" type="string" required="true"/>
  <behavior type="http_local"><base_url>)" +
         base + R"(</base_url><path>/items/{{id}}</path></behavior></tool>
<tool name="notes_db"><param name="id" type="int"/><behavior type="sqlite">
  <db_path>~/Library/notes.db</db_path><query>SELECT title FROM notes WHERE id = :id</query>
  </behavior></tool>
<tool name="dock_size"><behavior type="plist"><path>~/Library/Preferences/dock.plist</path>
  <key_path>tilesize</key_path></behavior></tool>
<tool name="both"><behavior type="compose"><step tool="notes_db" params='{"id":{{id}}}'/>
  <step tool="dock_size"/></behavior></tool>
</tools></manifest>)";
}

class ServerCoreManifestTest : public ::testing::Test {
 protected:
  void TearDown() override { ServerCore::stop(); }

  std::string call(const std::string& name, const json& arguments = json::object()) {
    const auto reply = client_->call(
        test::request(++id_, "tools/call", {{"name", name}, {"arguments", arguments}}));
    if (!reply || !reply->contains("result")) return reply ? reply->dump() : "no reply";
    return reply->at("result").at("content").at(0).value("text", "");
  }

  // The manifest loads in the background: the listing shows its tools once it has.
  json listedWhenLoaded(const std::string& name) {
    json found = nullptr;
    bool answered = true;
    test::eventually(
        [&] {
          const auto reply = client_->call(test::request(++id_, "tools/list"));
          answered = reply.has_value();
          for (const json& tool : answered ? reply->at("result").at("tools") : json::array()) {
            if (tool["name"] == name) found = tool;
          }
          return !answered || !found.is_null();
        },
        name + " in tools/list");
    return found;
  }

  std::set<std::string> listedNames() {
    std::set<std::string> names;
    const auto reply = client_->call(test::request(++id_, "tools/list"));
    if (!reply) return names;
    for (const json& tool : reply->at("result").at("tools")) names.insert(tool.at("name"));
    return names;
  }

  std::optional<test::SocketClient> client_;
  int id_ = 0;
};

TEST_F(ServerCoreManifestTest, ServesTheStoredManifestsTools) {
  test::RecordingHttpServer local;
  local.respond("/items/42", {200, R"({"item":42})", "application/json", {}, {}});
  ASSERT_TRUE(test::runSqlite(Paths::home() / "Library" / "notes.db",
                              "CREATE TABLE notes(id INTEGER, title TEXT);"
                              "INSERT INTO notes VALUES(1, 'Groceries');"));
  test::writePlist(Paths::home() / "Library" / "Preferences" / "dock.plist", {{"tilesize", 48}},
                   test::PlistFormat::binary);
  const auto bin = ManifestLoader::binDir();
  test::writeFile(bin / "manifest.xml", fixture(local.baseURL()));
  test::writeFile(bin / "manifest.version", "7");

  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  client_ = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client_);
  const json listed = listedWhenLoaded("notes_db");
  ASSERT_NE(listed, nullptr);
  EXPECT_EQ(listed["inputSchema"]["properties"]["id"]["type"], "integer");
  EXPECT_NE(test::readFile(ConfigManager::shared().logPath())
                .find("Loaded manifest v7 from disk (5 tools)"),
            std::string::npos);

  EXPECT_EQ(call("say_hi"), "hi");
  EXPECT_EQ(json::parse(call("local_item", {{"id", "42"}})), json::parse(R"({"item":42})"));
  EXPECT_EQ(json::parse(call("notes_db", {{"id", 1}})), json::parse(R"([{"title":"Groceries"}])"));
  EXPECT_EQ(call("dock_size"), "48");
  EXPECT_EQ(json::parse(call("both", {{"id", 1}})),
            json::parse(R"({"notes_db":[{"title":"Groceries"}],"dock_size":"48"})"));
}

// Every tool a started server lists, built in or sent by the manifest, is turned off with the
// service it has always belonged to, and only with that one.
TEST_F(ServerCoreManifestTest, EachServiceTurnsOffExactlyItsTools) {
  const auto bin = ManifestLoader::binDir();
  std::string tools;
  for (const char* name : {"list_emails", "list_notes", "list_message_chats",
                           "omnifocus_list_tasks", "word_read", "say_hi"}) {
    tools += "<tool name=\"" + std::string(name) +
             R"("><behavior type="conditional"><if condition="never"/><else><text>hi</text>)"
             "</else></behavior></tool>";
  }
  test::writeFile(bin / "manifest.xml",
                  R"(<manifest version="7"><capabilities><capability type="conditional"/>)"
                  "</capabilities><tools>" +
                      tools + "</tools></manifest>");
  test::writeFile(bin / "manifest.version", "7");
  const std::map<std::string, std::set<std::string>> toolsByService = {
      {"calendar",
       {"create_calendar_event", "delete_calendar_event", "list_calendar_events",
        "list_calendar_names", "update_calendar_event"}},
      {"contacts", {"get_contact", "list_contacts", "search_contacts"}},
      {"finder", {"finder_list", "finder_search"}},
      {"m365",
       {"get_m365_person", "list_m365_people_insights", "m365_create_event", "m365_delete_event",
        "m365_get_contact", "m365_list_contacts", "m365_list_emails", "m365_list_events",
        "m365_read_email", "m365_reply_email", "m365_search_contacts", "m365_search_emails",
        "m365_send_email", "search_m365_directory"}},
      {"mail", {"create_email_folder", "list_emails"}},
      {"messages", {"list_message_chats", "search_messages"}},
      {"nordvpn", {"nordvpn_diagnose", "nordvpn_servers", "nordvpn_status"}},
      {"notes", {"list_notes"}},
      {"office",
       {"excel_create", "excel_read", "excel_write_cell", "pdf_read", "ppt_create", "ppt_read",
        "word_append", "word_create", "word_read"}},
      {"omnifocus", {"omnifocus_list_tasks"}},
      {"onedrive",
       {"onedrive_delete_file", "onedrive_file_info", "onedrive_list_files", "onedrive_move_file",
        "onedrive_read_file", "onedrive_root", "onedrive_search_files", "onedrive_set_scope",
        "onedrive_write_file"}},
      {"reminders",
       {"complete_reminder", "create_reminder", "list_reminder_lists", "list_reminders",
        "todo_complete_task", "todo_create_task", "todo_list_lists", "todo_list_tasks"}},
      {"safari",
       {"list_safari_bookmarks", "safari_click", "safari_read_tab", "safari_search_tabs",
        "safari_wait_for"}},
      {"servicenow",
       {"servicenow_add_comment", "servicenow_create_incident", "servicenow_get_incident",
        "servicenow_list_my_incidents", "servicenow_search_incidents", "servicenow_search_kb",
        "servicenow_update_incident"}},
      {"slack",
       {"slack_list_channels", "slack_list_workspaces", "slack_read_channel_messages",
        "slack_search_messages"}},
      {"stocks", {"stocks_get_chart", "stocks_get_quote", "stocks_search_symbol"}},
      {"teams",
       {"teams_list_channels", "teams_list_chats", "teams_list_teams",
        "teams_read_channel_messages", "teams_read_chat_messages", "teams_send_channel_message",
        "teams_send_message"}},
      {"whatsapp",
       {"whatsapp_list_chats", "whatsapp_read_messages", "whatsapp_search_messages",
        "whatsapp_send_file", "whatsapp_send_message"}},
  };

  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  client_ = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client_);
  ASSERT_NE(listedWhenLoaded("omnifocus_list_tasks"), nullptr);
  const std::set<std::string> all = listedNames();
  EXPECT_TRUE(all.contains("say_hi"));
  for (const auto& [service, expected] : toolsByService) {
    ASSERT_TRUE(ConfigManager::shared().save({{"disabled_services", {service}}}));
    std::set<std::string> hidden;
    std::ranges::set_difference(all, listedNames(), std::inserter(hidden, hidden.end()));
    hidden.erase("tvrn_welcome");  // listed until the first tool call, whoever makes it
    EXPECT_EQ(hidden, expected) << service;
  }
  // Calls are refused alike (after the listings: the first call ends the welcome tool's).
  for (const auto& [service, expected] : toolsByService) {
    ASSERT_TRUE(ConfigManager::shared().save({{"disabled_services", {service}}}));
    EXPECT_NE(call(*expected.begin()).find("'" + service + "' service is disabled"),
              std::string::npos)
        << service;
  }
}

}  // namespace
}  // namespace tvrn
