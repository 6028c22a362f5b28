#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/WallClock.h"
#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/PimFixtures.h"
#include "core/ConfigManager.h"
#include "core/Timeouts.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "status/ServiceStatusScanner.h"
#include "support/AppFixtures.h"
#include "support/ToolCall.h"
#include "tools/m365/M365Graph.h"
#include "tools/messaging/MessagingTestSupport.h"
#include "tools/messaging/SlackProxyTools.h"
#include "tools/messaging/TeamsProxyTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr const char* kUpdate =
    "Slack tools require an update. Run: curl -fsSL https://tavrin.example/install | bash";

// The Slack and Teams families with one-second clients, the scanner scanning the private home on
// every call, and fake-proxy installed as both co-processes, logging to one file.
class MessagingProxyToolsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    ::setenv("TVRN_WEB_URL", "https://tavrin.example", 1);
    ::setenv("FAKE_PROXY_LOG", log.c_str(), 1);
    registry.context().serviceStatus = [this] {
      return ServiceStatusScanner::scan({scanHelper, scanScripts}, stores,
                                        *registry.context().settings);
    };
    SlackProxyTools::registerTools(registry, slack);
    TeamsProxyTools::registerTools(
        registry,
        [this](std::string_view chat, std::string_view text) {
          return M365Tools::m365TeamsChatSendViaGraph(*registry.context().settings, chat, text);
        },
        teams);
  }

  void installApps() {
    test::placeBundle("Slack");
    test::placeBundle("MSTeams");
  }
  void installProxies() {
    test::placeFake("fake-proxy", "slack-proxy");
    test::placeFake("fake-proxy", "teams-proxy");
  }
  std::vector<std::string> requestsSeen() const {
    std::vector<std::string> seen;
    for (const json& line : test::jsonLines(log)) seen.push_back(line["request"]);
    return seen;
  }
  std::string call(const std::string& tool, const json& arguments = json::object()) {
    return test::textOf(test::callTool(registry, tool, arguments));
  }

  HelperProxy scanHelper;
  JXARunnerProxy scanScripts{Timeouts::jxaServiceScan};
  const std::filesystem::path log = test::home() / "proxy.log";
  CoProcessProxy slack{kSlackProxyTexts, 1};
  CoProcessProxy teams{kTeamsProxyTexts, 1};
  ToolRegistry registry;
};

// What each tool sends for its arguments; the echoed request comes back as the JSON answer.
TEST_F(MessagingProxyToolsTest, EachToolSendsItsMethodAndArguments) {
  installApps();
  installProxies();
  const std::vector<std::pair<json, const char*>> rows = {
      {{"slack_list_workspaces", json::object()}, R"({"method":"list_workspaces","args":{}})"},
      {{"slack_list_channels", {{"workspace_id", ""}, {"limit", "7"}}},
       R"({"method":"list_channels","args":{"limit":200}})"},
      {{"slack_list_channels", {{"workspace_id", "W1"}, {"limit", -3}}},
       R"({"method":"list_channels","args":{"limit":-3,"workspace_id":"W1"}})"},
      {{"slack_read_channel_messages", {{"channel_id", " C1 "}}},
       R"({"method":"read_channel_messages","args":{"channel_id":" C1 ","limit":50}})"},
      {{"slack_search_messages", {{"query", "hi"}, {"channel_id", "C2"}, {"limit", 0}}},
       R"({"method":"search_messages","args":{"channel_id":"C2","limit":0,"query":"hi"}})"},
      {{"teams_list_chats", {{"limit", 10}}}, R"({"method":"list_chats","args":{"limit":10}})"},
      {{"teams_read_chat_messages", {{"chat_id", "19:a"}}},
       R"({"method":"read_chat","args":{"chat_id":"19:a","limit":50}})"},
      {{"teams_list_channels", {{"team_id", "T"}, {"limit", 3}}},
       R"({"method":"list_channels","args":{"team_id":"T"}})"},
      {{"teams_read_channel_messages", {{"team_id", "T"}, {"channel_id", "C"}}},
       R"({"method":"read_channel","args":{"channel_id":"C","limit":50,"team_id":"T"}})"},
  };
  for (const auto& [tool, request] : rows) {
    std::filesystem::remove(log);
    EXPECT_EQ(test::jsonOf(test::callTool(registry, tool[0].get<std::string>(), tool[1])),
              json::parse(request));
    EXPECT_EQ(requestsSeen(), std::vector<std::string>{request});
  }
}

// Answers given without the co-process: the scan's verdicts (Slack's before the argument check;
// Teams' only for the two listings) and bad arguments.
TEST_F(MessagingProxyToolsTest, GatesAndBadArgumentsSendNothing) {
  installProxies();
  const std::string noAccount =
      "No Microsoft Teams account connected. Sign into Teams and restart Tavrin.";
  const std::vector<std::pair<json, std::string>> rows = {
      {{"slack_read_channel_messages", json::object()},
       "Slack Desktop is not installed. Install Slack from slack.com/downloads, sign in to your "
       "workspace, and these tools will work automatically."},
      {{"teams_list_chats", json::object()},
       json({{"error", noAccount}, {"chats", json::array()}}).dump(2)},
      {{"teams_list_teams", json::object()},
       json({{"error", noAccount}, {"teams", json::array()}}).dump(2)},
      {{"slack_search_messages", {{"query", "   "}}},
       "failed: Invalid 'query': expected non-empty string"},
      {{"teams_read_channel_messages", json::object()},
       "failed: Missing required parameter: team_id"},
      {{"teams_send_message", {{"chat_id", "19:a"}}}, "failed: Missing required parameter: text"},
  };
  for (const auto& [tool, expected] : rows) {
    if (tool[0] == "slack_search_messages") installApps();
    EXPECT_EQ(call(tool[0], tool[1]), expected);
  }
  EXPECT_TRUE(requestsSeen().empty());
}

TEST_F(MessagingProxyToolsTest, SlackAsksForAnUpdateWhenItsProgramIsMissingOrSaysNotFound) {
  installApps();
  for (const char* tool : {"slack_list_workspaces", "slack_list_channels",
                           "slack_read_channel_messages", "slack_search_messages"}) {
    const ToolResult result = test::callTool(registry, tool, {{"query", "x"}, {"channel_id", "C"}});
    EXPECT_EQ(test::textOf(result), kUpdate);
    EXPECT_TRUE(test::flaggedAsError(result)) << tool;
  }
  installProxies();
  const auto reply = test::home() / "reply";
  ::setenv("FAKE_PROXY_MODE", "reply", 1);
  ::setenv("FAKE_PROXY_REPLY_FILE", reply.c_str(), 1);
  test::writeFile(reply, R"({"error":"channel not found"})");
  EXPECT_EQ(call("slack_read_channel_messages", {{"channel_id", "C"}}), kUpdate);
  test::writeFile(reply, R"({"error":"cache locked"})");
  EXPECT_EQ(call("slack_read_channel_messages", {{"channel_id", "C"}}),
            "failed: Slack: cache locked");
  test::writeFile(reply, R"({"result":[]})");
  const ToolResult empty = test::callTool(registry, "teams_list_channels", {{"team_id", "T"}});
  EXPECT_TRUE(
      test::textOf(empty).starts_with("No channels found for this team in the local Teams cache."));
  EXPECT_FALSE(test::flaggedAsError(empty));  // an empty listing is an answer

  // One that is there but cannot be started says why, not that an update is needed.
  const auto proxy = Paths::localShare() / "bin" / "slack-proxy";
  slack.end();
  std::filesystem::remove(proxy);
  std::filesystem::copy_file(test::fakesDir() / "fake-proxy", proxy);
  ASSERT_EQ(::chmod(proxy.c_str(), 0757), 0);
  EXPECT_EQ(call("slack_list_workspaces"),
            "failed: Slack co-process not available. The slack-proxy binary must be present at: " +
                proxy.string() + "\nLast error: Launch failed: " + proxy.string() +
                " is not run: it is open to writing by other users (mode 0757), who could change "
                "it");
}

// A confirmed message goes through Graph whenever an account gives a token, also when Graph
// refuses it; only without an account does the co-process send it.
TEST_F(MessagingProxyToolsTest, AConfirmedTeamsMessageGoesThroughGraphWhenSignedIn) {
  installProxies();
  test::RecordingHttpServer graph;
  ::setenv("TVRN_GRAPH_URL", graph.baseURL().c_str(), 1);
  json send = {{"chat_id", "19:a@thread.v2"}, {"text", "hé"}, {"confirm", false}};
  EXPECT_EQ(call("teams_send_message", send),
            "Preview: send \"hé\" to chat 19:a@thread.v2. Set confirm=true to send.");
  send["confirm"] = "true";
  EXPECT_EQ(test::jsonOf(test::callTool(registry, "teams_send_message", send))["args"],
            json({{"chat_id", "19:a@thread.v2"}, {"confirm", true}, {"text", "hé"}}));

  ASSERT_TRUE(ConfigManager::shared().save(
      {{"m365_access_token", "A0"}, {"m365_token_expiry", WallClock::secondsSince1970() + 3600}}));
  test::CannedResponse sent;
  sent.status = 201;
  sent.body = R"({"id":"m1"})";
  graph.respond("/v1.0/chats/19:a@thread.v2/messages", sent);
  EXPECT_EQ(call("teams_send_message", send), "Message sent (id: m1)");
  sent.status = 403;
  graph.respond("/v1.0/chats/19:a@thread.v2/messages", sent);
  EXPECT_TRUE(call("teams_send_message", send).starts_with("failed: "));

  ASSERT_EQ(graph.requests().size(), 2u);
  for (const auto& post : graph.requests()) {
    EXPECT_EQ(post.method + " " + post.target, "POST /v1.0/chats/19%3Aa%40thread.v2/messages");
  }
  EXPECT_EQ(requestsSeen().size(), 1u);  // only the send made while signed out
}

}  // namespace
}  // namespace tvrn
