// Failed tool calls as clients receive them from the started server: flagged "isError" beside
// their unchanged text, whichever part of the server refused or failed, and seen so by the
// TypeScript SDK's client through the stdio server program; and the largest reply a sheet read
// gives taken in by that client whole.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/AuditLog.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "core/MCPServerTexts.h"
#include "manifest/ManifestLoader.h"
#include "platform/Subprocess.h"
#include "platform/ZipArchive.h"
#include "server/ServerCore.h"
#include "support/Eventually.h"
#include "support/AppFixtures.h"
#include "support/OwnProcesses.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/messaging/MessagingTestSupport.h"

extern char** environ;

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A destructive tool that needs a permission nobody granted, and one whose local service is not
// there.
constexpr std::string_view kManifest = R"(<manifest version="3"><capabilities>
<capability type="native"/><capability type="http_local"/></capabilities><tools>
<tool name="wipe_cache" destructive="true"><requires_tcc service="screen_capture"
  denied_message="Screen capture is off"/><behavior type="text"><text>wiped</text></behavior></tool>
<tool name="local_gone"><behavior type="http_local"><base_url>http://127.0.0.1:9</base_url>
  <path>/x</path></behavior></tool>
</tools></manifest>)";

class FailedResultsTest : public ::testing::Test {
 protected:
  void SetUp() override { test::useUnusedStatusPort(); }
  void TearDown() override { ServerCore::shutdown(); }

  json call(const std::string& name, const json& arguments = json::object()) {
    const auto reply = client_->call(
        test::request(++id_, "tools/call", {{"name", name}, {"arguments", arguments}}), 30s);
    return reply ? reply->value("result", json()) : json();
  }
  bool listed(const std::string& name) {
    const auto reply = client_->call(test::request(++id_, "tools/list"));
    if (!reply) return false;
    for (const json& tool : (*reply)["result"]["tools"]) {
      if (tool["name"] == name) return true;
    }
    return false;
  }

  std::optional<test::SocketClient> client_;
  int id_ = 0;
};

TEST_F(FailedResultsTest, EveryProducerOfAFailureFlagsItBesideTheUnchangedText) {
  test::writeFile(ManifestLoader::binDir() / "manifest.xml", std::string(kManifest));
  test::writeFile(ManifestLoader::binDir() / "manifest.version", "3");
  test::placeBundle("Slack");
  test::placeFakeProxy("slack-proxy");
  ::setenv("FAKE_PROXY_MODE", "reply", 1);
  ::setenv("FAKE_PROXY_REPLY", R"({"error": "workspace locked"})", 1);
  EXPECT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  client_ = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client_);
  test::waitForServices(
      [](const json& services) { return services["slack"].value("available", false); });
  test::eventually([&] { return listed("wipe_cache"); }, "wipe_cache in tools/list");

  const std::string hint(MCPServerTexts::reportHint);
  struct Case {
    std::string producer;
    json settings;
    std::string tool;
    json arguments;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"argument reader", {}, "finder_search", {}, "Missing required parameter: query"},
      {"tool error",
       {},
       "servicenow_search_kb",
       {{"query", "vpn"}},
       "Not connected to ServiceNow. Use connect_servicenow first." + hint},
      {"organisation policy",
       {{"disabled_tools", {"tvrn_state"}}},
       "tvrn_state",
       {},
       "Permission denied: 'tvrn_state' is disabled by your organisation's IT policy" + hint},
      {"read-only mode",
       {{"read_only", true}},
       "update_tavrin",
       {},
       "Permission denied: 'update_tavrin' is not allowed in read-only mode" + hint},
      {"disabled service",
       {{"disabled_services", {"stocks"}}},
       "stocks_get_quote",
       {{"symbol", "X"}},
       "Permission denied: 'stocks' service is disabled. Enable it in TVRN Settings → "
       "Services." +
           hint},
      {"confirmed call",
       {},
       "wipe_cache",
       {{"confirm", true}},
       "Permission denied: Screen capture is off" + hint},
      {"manifest runner", {}, "local_gone", {}, ""},
      {"co-process", {}, "slack_list_workspaces", {}, "Slack: workspace locked" + hint},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(ConfigManager::shared().save({{"disabled_tools", json::array()},
                                              {"disabled_services", json::array()},
                                              {"read_only", false}}));
    if (!c.settings.is_null()) {
      EXPECT_TRUE(ConfigManager::shared().save(c.settings));
    }
    const json result = call(c.tool, c.arguments);
    EXPECT_EQ(result.value("isError", false), true) << c.producer << ": " << result;
    ASSERT_EQ(result["content"].size(), 1u) << c.producer;
    const std::string text = result["content"][0].value("text", "");
    EXPECT_TRUE(text.starts_with("Error: ")) << c.producer << ": " << text;
    if (!c.text.empty()) {
      EXPECT_EQ(text, "Error: " + c.text) << c.producer;
    }
  }
  // An answer, a preview held back for confirmation included, carries no flag at all.
  for (const auto& [tool, arguments] : std::vector<std::pair<std::string, json>>{
           {"tvrn_state", json::object()}, {"wipe_cache", json::object()}}) {
    const json result = call(tool, arguments);
    EXPECT_FALSE(result.contains("isError")) << tool << ": " << result;
  }
}

// Tools that state a failure in their own words: Slack, Teams and WhatsApp on a machine where
// their programs were once installed but the applications are gone or signed out, and an update
// check against a back end that does not answer. The text is left exactly as the tool says it.
TEST_F(FailedResultsTest, FailuresInTheToolsOwnWordsAreFlaggedWithTheirTextUnchanged) {
  test::placeFakeProxy("slack-proxy");
  const auto proxyLog = test::placeFakeProxy("teams-proxy");  // both proxies log here
  test::placeFake("fake-wacli", "wacli");
  const auto wacliLog = test::home() / "wacli-args.log";
  ::setenv("FAKE_WACLI_ARGS", wacliLog.c_str(), 1);
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  client_ = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client_);
  test::waitForServices(
      [](const json& services) { return services["slack"].contains("available"); });

  const std::string slack =
      "Slack Desktop is not installed. Install Slack from slack.com/downloads, sign in to your "
      "workspace, and these tools will work automatically.";
  const std::string noTeams =
      "No Microsoft Teams account connected. Sign into Teams and restart Tavrin.";
  const auto teams = [&](const char* list) {
    return json({{"error", noTeams}, {list, json::array()}}).dump(2);
  };
  const std::string whatsApp =
      json{{"error", "WhatsApp is not authenticated. Open Wacli, scan the QR code, and try again."}}
          .dump(2);
  const std::vector<std::tuple<std::string, json, std::string>> cases = {
      {"slack_list_workspaces", json::object(), slack},
      {"slack_list_channels", json::object(), slack},
      {"slack_read_channel_messages", {{"channel_id", "C1"}}, slack},
      {"slack_search_messages", {{"query", "q"}}, slack},
      {"teams_list_chats", json::object(), teams("chats")},
      {"teams_list_teams", json::object(), teams("teams")},
      {"whatsapp_list_chats", json::object(), whatsApp},
      {"whatsapp_read_messages", {{"chat_id", "1@s"}}, whatsApp},
      {"whatsapp_search_messages", {{"query", "q"}}, whatsApp},
      {"whatsapp_send_message", {{"chat_id", "1@s"}, {"text", "hi"}, {"confirm", true}}, whatsApp},
      {"whatsapp_send_file",
       {{"chat_id", "1@s"}, {"file_path", "/etc/hosts"}, {"confirm", true}},
       whatsApp},
      {"update_tavrin", json::object(),
       "Could not reach update server. Check your internet connection."},
  };
  for (const auto& [tool, arguments, text] : cases) {
    const json result = call(tool, arguments);
    EXPECT_EQ(result.value("isError", false), true) << tool << ": " << result;
    ASSERT_EQ(result["content"].size(), 1u) << tool;
    EXPECT_EQ(result["content"][0].value("text", ""), text) << tool;
  }
  EXPECT_FALSE(std::filesystem::exists(proxyLog));
  EXPECT_FALSE(std::filesystem::exists(wacliLog)) << "a message went out";
  // The audit log keeps them as the failures they are.
  for (const json& entry : AuditLog::recent(static_cast<int>(cases.size()))) {
    EXPECT_EQ(entry["ok"], false) << entry;
  }
}

// The official TypeScript client, installed by ./test.sh, starting the stdio server
// program as an AI client does, makes the calls (each {"name", "arguments"}) in one session and
// prints their results as a JSON array, each put through `digest` (the body of a JavaScript
// function of `result`) when one is given; nothing when the SDK or node is not there.
std::optional<CompletedProcess> callThroughTheSDK(const json& calls,
                                                  const std::string& digest = "") {
  const std::filesystem::path modules = TVRN_TEST_NODE_MODULES;
  SpawnOptions probe({"node", "--version"});
  probe.searchPath = true;
  std::error_code unreachable;  // another user's cache, say
  if (!std::filesystem::exists(modules / "@modelcontextprotocol" / "sdk", unreachable) ||
      !Subprocess::run(probe, {}).launched) {
    return std::nullopt;
  }
  const auto script = test::home() / "sdk-calls.cjs";
  test::writeFile(script, R"(
const { Client } = require("@modelcontextprotocol/sdk/client/index.js");
const { StdioClientTransport } = require("@modelcontextprotocol/sdk/client/stdio.js");
(async () => {
  const transport = new StdioClientTransport({ command: process.argv[2], env: process.env });
  const client = new Client({ name: "sdk-test", version: "1.0.0" });
  await client.connect(transport);
  const results = [];
  const digest = new Function("result", process.argv[4] || "return result;");
  for (const call of JSON.parse(process.argv[3])) results.push(digest(await client.callTool(call)));
  console.log(JSON.stringify(results));
  await client.close();
})().catch((error) => { console.error(error); process.exit(1); });
)");
  SpawnOptions node({"node", script.string(), TVRN_BRIDGE_PROGRAM, calls.dump(), digest});
  node.searchPath = true;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back("NODE_PATH=" + modules.string());
  node.environment = std::move(environment);
  RunOptions options;
  options.timeout = 60s;
  return Subprocess::run(node, options);
}

// Why the SDK test cannot run: npm's reason, when ./test.sh could not install the SDK.
std::string whyNoSDK() {
  const std::string npm = test::readFile(TVRN_TEST_NODE_REASON);
  return npm.empty() ? "node or the MCP TypeScript SDK is not in " TVRN_TEST_NODE_MODULES : npm;
}

TEST_F(FailedResultsTest, TheTypeScriptSDKClientSeesFailuresAsErrors) {
  EXPECT_TRUE(ConfigManager::shared().save({{"read_only", true}}));
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  const auto ran =
      callThroughTheSDK({{{"name", "update_tavrin"}, {"arguments", json::object()}},
                         {{"name", "whatsapp_list_chats"}, {"arguments", json::object()}}});
  if (!ran) GTEST_SKIP() << whyNoSDK();
  ASSERT_EQ(ran->exit.status, 0) << ran->standardError;
  const json results = json::parse(ran->standardOutput, nullptr, false);
  ASSERT_TRUE(results.is_array() && results.size() == 2) << ran->standardOutput;
  for (const json& result : results) {
    EXPECT_EQ(result.value("isError", false), true) << result;
  }
  EXPECT_TRUE(results[0]["content"][0]
                  .value("text", "")
                  .starts_with(
                      "Error: Permission denied: 'update_tavrin' is not allowed in read-only mode"))
      << ran->standardOutput;
  // A failure in the tool's own words: WhatsApp is not signed in.
  EXPECT_EQ(json::parse(results[1]["content"][0].value("text", ""), nullptr, false)["error"],
            "WhatsApp is not authenticated. Open Wacli, scan the QR code, and try again.")
      << ran->standardOutput;
}

// A sheet whose rows would make a reply of hundreds of megabytes, its values full of what JSON
// escapes: the reply stops within what the client takes in one message, and says so.
TEST_F(FailedResultsTest, TheTypeScriptSDKClientTakesTheLargestSheetReply) {
  std::string rows;
  for (int row = 1; row <= 2000; ++row) {
    const std::string r = std::to_string(row);
    rows += "<row r=\"" + r + "\"><c r=\"A" + r +
            "\" t=\"inlineStr\"><is><t>say \"hi\"\\\n\tthere</t></is></c><c r=\"XFD" + r +
            "\"><v>1</v></c></row>";
  }
  const auto book = test::home() / "wide.xlsx";
  ASSERT_TRUE(ZipArchive::create(
      book, {{"xl/workbook.xml",
              "<workbook xmlns:r=\"r\"><sheets><sheet name=\"Wide\" r:id=\"rId1\"/></sheets>"
              "</workbook>"},
             {"xl/_rels/workbook.xml.rels",
              "<Relationships><Relationship Id=\"rId1\" Target=\"worksheets/sheet1.xml\"/>"
              "</Relationships>"},
             {"xl/worksheets/sheet1.xml",
              "<worksheet><sheetData>" + rows + "</sheetData></worksheet>"}}));
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  // The client reads the reply's 10 MiB; what the checks look at is taken from it there, where
  // reading it costs a fraction of what a sanitized build here pays.
  const auto ran = callThroughTheSDK(
      {{{"name", "excel_read"}, {"arguments", {{"path", book.string()}, {"max_rows", 2000}}}}},
      "const read = JSON.parse(result.content[0].text);"
      "return {count: read.count, rows: read.rows.slice(0, 1), note: read.note};");
  if (!ran) GTEST_SKIP() << whyNoSDK();
  ASSERT_EQ(ran->exit.status, 0) << ran->standardError.substr(0, 2000);
  const json results = json::parse(ran->standardOutput, nullptr, false);
  ASSERT_TRUE(results.is_array() && results.size() == 1) << ran->standardOutput.substr(0, 2000);
  const json& read = results[0];
  EXPECT_GT(read["count"], 40);
  EXPECT_EQ(read["rows"][0][0], "say \"hi\"\\\n\tthere");
  EXPECT_EQ(read["note"], "Stopped at the size limit of one reply (10 MiB); rows left out: " +
                              std::to_string(2000 - read["count"].get<int>()));
}

}  // namespace
}  // namespace tvrn
