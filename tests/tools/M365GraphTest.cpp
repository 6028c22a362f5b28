#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/M365Fixture.h"
#include "tools/M365Graph.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::answer;
using test::canned;

class M365GraphTest : public test::M365Test {};

TEST_F(M365GraphTest, TurnsStatusesIntoTheFamilysTexts) {
  struct Case {
    std::string method;
    test::CannedResponse response;
    std::string outcome;  // the body on success, else the error's text
  };
  const json message = {{"error", {{"code", "BadRequest"}, {"message", "Recipient is invalid."}}}};
  const json privileges = {{"error", {{"code", "Authorization_InsufficientPrivilegesX"}}}};
  const std::string expired =
      "Microsoft 365 session expired. Use connect_m365_account to reconnect.";
  const std::vector<Case> cases = {
      {"GET", answer({{"value", json::array()}}), R"({"value":[]})"},
      {"POST", canned(202, ""), ""},
      {"POST", answer(message, 400), "Recipient is invalid."},
      {"GET", answer(message, 400), "Graph API error HTTP 400"},
      {"POST", canned(500, "oops"), "Graph API error HTTP 500"},
      {"GET", canned(401, ""), expired},
      {"DELETE", canned(401, ""), expired},
      {"GET", answer(privileges, 403),
       "Access denied. Your account may not have permission to access this data."},
      {"POST", canned(403, ""),
       "Access denied. Your account may not have permission for this action."},
      {"POST", answer(privileges, 403),
       "Your Microsoft 365 connection needs expanded permissions. Call connect_m365_account to "
       "re-authenticate."},
      {"GET", canned(404, ""), "Graph API error HTTP 404"},
      {"DELETE", canned(404, ""), "Event not found."},
      {"DELETE", canned(403, ""), "Graph API error HTTP 403"},
      {"DELETE", canned(204, ""), ""},
  };
  const std::string url = M365Tools::graphRoot() + "/x";
  for (const auto& [method, response, outcome] : cases) {
    graph.respond("/v1.0/x", response);
    Result<std::string, ToolError> result = std::string();
    if (method == "GET") result = M365Tools::m365GET(url, "T", false);
    if (method == "POST") result = M365Tools::m365POST(url, "T", "{}");
    if (method == "DELETE") {
      auto deleted = M365Tools::m365DELETE(url, "T");
      if (!deleted) result = fail(deleted.error());
    }
    EXPECT_EQ(result ? result.value() : result.error().description(), outcome)
        << method << " " << response.status;
    EXPECT_EQ(graph.requests().back().method, method);
    EXPECT_EQ(graph.requests().back().header("Authorization"), "Bearer T");
  }

  ::setenv("TVRN_GRAPH_URL", "http://127.0.0.1:9", 1);
  const auto unreachable = M365Tools::m365GET(M365Tools::graphRoot() + "/x", "T", true);
  EXPECT_EQ(unreachable.error().description().rfind("Network error: ", 0), 0u);
}

TEST_F(M365GraphTest, ChatMessagesGoToOneEscapedChatOnlyWithAnAccount) {
  EXPECT_FALSE(M365Tools::m365TeamsChatSendViaGraph("19:abc", "hi"));
  EXPECT_EQ(graph.requestCount(), 0u);

  signIn(3600);
  const auto sent = M365Tools::m365TeamsChatSendViaGraph("19:a/b?c d", "hé \"there\"");
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->value(), "Message sent");
  const auto request = graph.requests().back();
  EXPECT_EQ(request.target, "/v1.0/chats/19%3Aa%2Fb%3Fc%20d/messages");
  EXPECT_EQ(request.json(),
            json({{"body", {{"content", "hé \"there\""}, {"contentType", "text"}}}}));

  graph.respond("/v1.0/chats/19:a/b?c d/messages", answer({{"id", "m1"}}, 201));
  EXPECT_EQ(M365Tools::m365TeamsChatSendViaGraph("19:a/b?c d", "x")->value(),
            "Message sent (id: m1)");
}

}  // namespace
}  // namespace tvrn
