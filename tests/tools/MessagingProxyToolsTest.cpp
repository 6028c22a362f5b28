#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/WallClock.h"
#include "status/ServiceStatusScanner.h"
#include "support/AppFixtures.h"
#include "support/ToolCall.h"
#include "tools/MessagingTestSupport.h"
#include "tools/ServiceSnapshot.h"
#include "tools/SlackProxyTools.h"
#include "tools/TeamsProxyTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr const char* kUpdate =
    "Slack tools require an update. Run: curl -fsSL https://tavrin.example/install | bash";
constexpr const char* kNotInstalled =
    "Slack Desktop is not installed. Install Slack from slack.com/downloads, sign in to your "
    "workspace, and these tools will work automatically.";

test::CannedResponse canned(int status, std::string body) {
  test::CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

// The Slack and Teams families with one-second clients, the scanner scanning the private home
// on every call, and fake-proxy installed as both co-processes, logging to one file.
class MessagingProxyToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_WEB_URL", "https://tavrin.example", 1);
    ::setenv("FAKE_PROXY_LOG", log.c_str(), 1);
    ServiceSnapshot::setSource([] { return ServiceStatusScanner::scan(); });
    SlackProxyTools::registerTools(registry, slack);
    TeamsProxyTools::registerTools(registry, teams);
  }
  void TearDown() override { ServiceSnapshot::setSource(nullptr); }

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

  const std::filesystem::path log = test::home() / "proxy.log";
  CoProcessProxy slack{kSlackProxyTexts, 1};
  CoProcessProxy teams{kTeamsProxyTexts, 1};
  ToolRegistry registry;
};

// What each tool sends for its arguments, and that the co-process's answer comes back as JSON.
TEST_F(MessagingProxyToolsTest, EachToolSendsItsMethodAndArguments) {
  installApps();
  installProxies();
  struct Row {
    const char* tool;
    json arguments;
    const char* request;
  };
  const std::vector<Row> rows = {
      {"slack_list_workspaces", json::object(), R"({"method":"list_workspaces","args":{}})"},
      {"slack_list_channels",
       {{"workspace_id", ""}, {"limit", "7"}},
       R"({"method":"list_channels","args":{"limit":200}})"},
      {"slack_list_channels",
       {{"workspace_id", "W1"}, {"limit", -3}},
       R"({"method":"list_channels","args":{"limit":-3,"workspace_id":"W1"}})"},
      {"slack_read_channel_messages",
       {{"channel_id", " C1 "}},
       R"({"method":"read_channel_messages","args":{"channel_id":" C1 ","limit":50}})"},
      {"slack_search_messages",
       {{"query", "hi"}, {"channel_id", "C2"}, {"limit", 0}},
       R"({"method":"search_messages","args":{"channel_id":"C2","limit":0,"query":"hi"}})"},
      {"slack_search_messages",
       {{"query", "hi"}, {"channel_id", ""}},
       R"({"method":"search_messages","args":{"limit":50,"query":"hi"}})"},
      {"teams_list_chats", {{"limit", 10}}, R"({"method":"list_chats","args":{"limit":10}})"},
      {"teams_read_chat_messages",
       {{"chat_id", "19:a"}},
       R"({"method":"read_chat","args":{"chat_id":"19:a","limit":50}})"},
      {"teams_list_teams", json::object(), R"({"method":"list_teams","args":{}})"},
      {"teams_list_channels",
       {{"team_id", "T"}, {"limit", 3}},
       R"({"method":"list_channels","args":{"team_id":"T"}})"},
      {"teams_read_channel_messages",
       {{"team_id", "T"}, {"channel_id", "C"}, {"limit", 5}},
       R"({"method":"read_channel","args":{"channel_id":"C","limit":5,"team_id":"T"}})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.tool);
    std::filesystem::remove(log);
    const auto answer = test::callTool(registry, row.tool, row.arguments);
    EXPECT_EQ(test::jsonOf(answer), json::parse(row.request)) << test::textOf(answer);
    EXPECT_EQ(requestsSeen(), std::vector<std::string>{row.request});
  }
}

// Calls that never reach the co-process: the not-installed answer comes before the argument
// checks, and bad arguments are refused before anything is sent.
TEST_F(MessagingProxyToolsTest, RefusedCallsSendNothing) {
  installProxies();
  EXPECT_EQ(call("slack_read_channel_messages"), kNotInstalled);
  EXPECT_EQ(call("slack_list_workspaces"), kNotInstalled);
  EXPECT_EQ(
      call("teams_list_chats"),
      json({{"error", "No Microsoft Teams account connected. Sign into Teams and restart Tavrin."},
            {"chats", json::array()}})
          .dump(2));
  EXPECT_EQ(test::jsonOf(test::callTool(registry, "teams_list_teams"))["teams"], json::array());

  installApps();
  const std::vector<std::pair<const char*, json>> refused = {
      {"slack_search_messages", {{"query", "   "}}},
      {"slack_read_channel_messages", {{"channel_id", 5}}},
      {"teams_read_channel_messages", json::object()},
      {"teams_send_message", {{"chat_id", "19:a"}}},
  };
  const std::vector<std::string> expected = {
      "failed: Invalid 'query': expected non-empty string",
      "failed: Missing required parameter: channel_id",
      "failed: Missing required parameter: team_id",
      "failed: Missing required parameter: text",
  };
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(call(refused[i].first, refused[i].second), expected[i]);
  }
  EXPECT_TRUE(requestsSeen().empty());
}

// The Teams reading tools other than the two listings do not ask for an account, and a
// snapshot without entries lets Slack through.
TEST_F(MessagingProxyToolsTest, OnlyTheTwoTeamsListingsNeedTheScanToSeeAnAccount) {
  installProxies();
  EXPECT_TRUE(
      test::jsonOf(test::callTool(registry, "teams_read_chat_messages", {{"chat_id", "19:a"}}))
          .is_object());
  ServiceSnapshot::setSource([] { return json::object(); });
  EXPECT_EQ(test::jsonOf(test::callTool(registry, "slack_list_workspaces"))["method"],
            "list_workspaces");
  EXPECT_EQ(requestsSeen().size(), 2u);
}

TEST_F(MessagingProxyToolsTest, SlackFailuresThatSayNotFoundOrNotAvailableAskForAnUpdate) {
  installApps();
  const json arguments = {{"query", "x"}, {"channel_id", "C"}};
  for (const char* tool : {"slack_list_workspaces", "slack_list_channels",
                           "slack_read_channel_messages", "slack_search_messages"}) {
    EXPECT_EQ(call(tool, arguments), kUpdate);
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
  EXPECT_EQ(call("teams_read_chat_messages", {{"chat_id", "C"}}), "failed: Teams: cache locked");
}

TEST_F(MessagingProxyToolsTest, AnEmptyChannelListAnswersTheCacheHint) {
  installProxies();
  ::setenv("FAKE_PROXY_MODE", "reply", 1);
  ::setenv("FAKE_PROXY_REPLY", R"({"result":[]})", 1);
  EXPECT_EQ(call("teams_list_channels", {{"team_id", "T"}}),
            "No channels found for this team in the local Teams cache. Open Microsoft Teams, "
            "navigate to the team, and browse its channels — Teams will populate the local "
            "cache. Then call this tool again.");
}

// A confirmed message goes through Graph whenever an account gives a token, also when Graph
// refuses it; only without an account does the co-process send it.
TEST_F(MessagingProxyToolsTest, AConfirmedTeamsMessageGoesThroughGraphWhenSignedIn) {
  installProxies();
  test::RecordingHttpServer graph;
  ::setenv("TVRN_GRAPH_URL", graph.baseURL().c_str(), 1);
  const json send = {{"chat_id", "19:a@thread.v2"}, {"text", "hé"}};

  for (const json& confirm : {json(), json(false)}) {
    json preview = send;
    if (!confirm.is_null()) preview["confirm"] = confirm;
    EXPECT_EQ(call("teams_send_message", preview),
              "Preview: send \"hé\" to chat 19:a@thread.v2. Set confirm=true to send.");
  }
  EXPECT_EQ(graph.requestCount(), 0u);
  EXPECT_TRUE(requestsSeen().empty());

  json confirmed = send;
  confirmed["confirm"] = "true";
  EXPECT_EQ(
      test::jsonOf(test::callTool(registry, "teams_send_message", confirmed)),
      json::parse(
          R"({"method":"send_chat_message","args":{"chat_id":"19:a@thread.v2","confirm":true,"text":"hé"}})"));

  ASSERT_TRUE(
      ConfigManager::shared().save({{"m365_access_token", "A0"},
                                    {"m365_refresh_token", "R0"},
                                    {"m365_token_expiry", WallClock::secondsSince1970() + 3600}}));
  const std::string path = "/v1.0/chats/19%3Aa%40thread.v2/messages";
  graph.respond("/v1.0/chats/19:a@thread.v2/messages", canned(201, R"({"id":"m1"})"));
  confirmed["confirm"] = 1;
  EXPECT_EQ(call("teams_send_message", confirmed), "Message sent (id: m1)");
  graph.respond("/v1.0/chats/19:a@thread.v2/messages", canned(500, "{}"));
  EXPECT_TRUE(call("teams_send_message", confirmed).starts_with("failed: "));

  const auto posts = graph.requests();
  ASSERT_EQ(posts.size(), 2u);
  for (const auto& post : posts) {
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.target, path);
    EXPECT_EQ(post.header("Authorization"), "Bearer A0");
  }
  EXPECT_EQ(requestsSeen().size(), 1u);  // only the send made while signed out
}

}  // namespace
}  // namespace tvrn
