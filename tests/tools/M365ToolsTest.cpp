#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Base64.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/M365Account.h"
#include "tools/M365Fixture.h"
#include "tools/M365Graph.h"
#include "tools/M365Tools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr const char* kTokenPath = "/common/oauth2/v2.0/token";
constexpr const char* kExpired =
    "Microsoft 365 session expired. Use connect_m365_account to reconnect.";

std::string jwt(const json& claims) {
  return "eyJhbGciOiJub25lIn0." + Base64::encodeURL(claims.dump()) + ".sig";
}

const std::string kScopeForm =
    "scope=People.Read%20User.Read%20User.ReadBasic.All%20Mail.Read%20Mail.Send%20"
    "Calendars.ReadWrite%20Contacts.Read%20Chat.ReadWrite%20ChannelMessage.Send%20offline_access";

TEST_F(M365ToolsTest, SignsInOverThreeConnectCallsOnASocketAndOutAgain) {
  test::SessionOverSocket session(registry);
  int id = 0;
  const auto connect = [&] {
    auto reply = session.client().call(
        test::request(++id, "tools/call", {{"name", "connect_m365_account"}}));
    return reply ? (*reply)["result"]["content"][0]["text"].get<std::string>() : "(no reply)";
  };
  login.respond("/common/oauth2/v2.0/devicecode", answer({{"user_code", "ABCD-1234"}}));
  EXPECT_TRUE(connect().starts_with("Error: Invalid response from Microsoft auth server"));
  EXPECT_FALSE(stored().contains("m365_pending_device_code"));
  login.respond(
      "/common/oauth2/v2.0/devicecode",
      answer({{"user_code", "ABCD-1234"}, {"device_code", "DC+/=&x"}, {"expires_in", 900}}));
  EXPECT_EQ(connect(),
            "To connect your Microsoft 365 account:\n\n1. Go to: https://microsoft.com/devicelogin"
            "\n2. Enter code: ABCD-1234\n3. Sign in with your Microsoft account\n4. Come back and "
            "call connect_m365_account again to confirm\n\nCode expires in 15 minutes.");

  login.respond(kTokenPath, answer({{"error", "authorization_pending"}}, 400));
  WallClock::fixAt(kNow + 61);
  EXPECT_EQ(connect(),
            "Still waiting for authentication. Code expires in ~13 min.\n\n1. Go to: "
            "https://microsoft.com/devicelogin\n2. Enter code: ABCD-1234\n3. Call "
            "connect_m365_account again once done.");

  const std::string token = jwt({{"preferred_username", "ana@x"}, {"email", "e@x"}});
  login.respond(kTokenPath,
                answer({{"access_token", token}, {"refresh_token", "R1"}, {"expires_in", 3599}}));
  EXPECT_EQ(connect().rfind("Connected to Microsoft 365 as ana@x. You can now use: ", 0), 0u);
  json keys;
  const json all = stored();
  for (const auto& [key, value] : all.items()) {
    if (key.starts_with("m365_")) keys[key] = value;
  }
  EXPECT_EQ(keys, json({{"m365_access_token", token},
                        {"m365_refresh_token", "R1"},
                        {"m365_token_expiry", kNow + 61 + 3599},
                        {"m365_account_email", "ana@x"},
                        {"m365_pending_device_code", ""},
                        {"m365_pending_user_code", ""},
                        {"m365_pending_expiry", 0}}));

  ASSERT_EQ(login.requestCount(), 4u);
  EXPECT_EQ(login.requests()[1].body,
            "client_id=9e1b7c35-2a4f-4d68-b0e3-7f5c1a9d8e26&" + kScopeForm);
  for (const auto& poll : login.requestsTo(kTokenPath)) {
    EXPECT_EQ(poll.body,
              "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&device_code="
              "DC%2B%2F%3D%26x&client_id=9e1b7c35-2a4f-4d68-b0e3-7f5c1a9d8e26");
  }
  EXPECT_EQ(M365Tools::accountState().email, "ana@x");

  EXPECT_EQ(call("disconnect_m365_account"), "Disconnected from ana@x.");
  EXPECT_FALSE(M365Tools::accountState().connected);
  for (const char* tool :
       {"search_m365_directory", "get_m365_person", "list_m365_people_insights"}) {
    EXPECT_EQ(call(tool, {{"query", "a"}, {"id", "a"}}),
              "Error: Not connected to Microsoft 365. Use connect_m365_account first.");
  }
}

TEST_F(M365ToolsTest, APollWithoutATokenEndsThePendingSignIn) {
  const std::string invalid = "Error: Device code expired or invalid (Invalid token response).";
  const std::vector<std::pair<json, std::string>> cases = {
      {{{"error", "slow_down"}}, "Still waiting for authentication. Code expires in ~0 min."},
      {{{"error", "expired_token"}}, "Error: Device code expired or invalid (expired_token)."},
      {{{"token_type", "Bearer"}, {"expires_in", 3600}}, invalid},
      {{{"access_token", ""}}, invalid},
      {json::array(), invalid},
  };
  for (const auto& [pollAnswer, text] : cases) {
    ASSERT_TRUE(ConfigManager::shared().save(
        {{"m365_pending_device_code", "DC"}, {"m365_pending_expiry", kNow + 59}}));
    login.respond(kTokenPath, answer(pollAnswer, 400));
    EXPECT_EQ(call("connect_m365_account").rfind(text, 0), 0u) << pollAnswer;
    const bool waiting = text.starts_with("Still");
    EXPECT_EQ(stored()["m365_pending_device_code"], waiting ? "DC" : "") << pollAnswer;
    EXPECT_FALSE(stored().contains("m365_access_token")) << pollAnswer;
  }
}

TEST_F(M365ToolsTest, TokenGateRenewsAtThreeHundredSecondsAndKeepsKeysWhenRenewalFails) {
  struct Case {
    double life;
    std::optional<json> refreshAnswer;  // nothing: no request may be sent
    std::string outcome;                // the token, or the error's text
    json keysAfter;                     // access token, refresh token, expiry
  };
  const json unchanged = {"A0", "R1+/", kNow + 300};
  const std::vector<Case> cases = {
      {300.5, std::nullopt, "A0", {"A0", "R1+/", kNow + 300.5}},
      {300,
       json{{"access_token", "A1"}, {"refresh_token", "R2"}, {"expires_in", 100}},
       "A1",
       {"A1", "R2", kNow + 100}},
      {300,
       json{{"access_token", "A1"}, {"expires_in", "soon"}},
       "A1",
       {"A1", "R1+/", kNow + 3600}},
      {300, json{{"error", json::object()}, {"access_token", "A1"}}, kExpired, unchanged},
      {300, json{{"token_type", "Bearer"}}, kExpired, unchanged},
      {300, json{{"access_token", 7}}, kExpired, unchanged},
  };
  for (const auto& [life, refreshAnswer, outcome, keysAfter] : cases) {
    signIn(life);
    const auto sentBefore = login.requestCount();
    if (refreshAnswer) login.respond(kTokenPath, answer(*refreshAnswer));
    auto token = M365Tools::m365AccessToken();
    EXPECT_EQ(token ? token.value() : token.error().description(), outcome) << life;
    EXPECT_EQ(login.requestCount() - sentBefore, refreshAnswer ? 1u : 0u);
    json keys = stored();
    EXPECT_EQ(
        json({keys["m365_access_token"], keys["m365_refresh_token"], keys["m365_token_expiry"]}),
        keysAfter)
        << outcome;
  }
  EXPECT_EQ(login.requests().back().body,
            "grant_type=refresh_token&refresh_token=R1%2B%2F&client_id=9e1b7c35-2a4f-4d68-b0e3-"
            "7f5c1a9d8e26&" +
                kScopeForm);
  signIn(100, "");
  EXPECT_EQ(M365Tools::m365AccessToken().error().description(), kExpired);
}

TEST_F(M365ToolsTest, AStepWhoseSaveFailsChangesNothing) {
  signIn(30);
  login.respond("/common/oauth2/v2.0/devicecode",
                answer({{"user_code", "U"}, {"device_code", "D"}}));
  login.respond(kTokenPath, answer({{"access_token", "A1"}}));
  const auto file = ConfigManager::shared().configPath();
  const std::string damaged = test::readFile(file) + "{";
  test::writeFile(file, damaged);
  for (const char* tool : {"connect_m365_account", "get_m365_person", "disconnect_m365_account"}) {
    EXPECT_EQ(call(tool, {{"id", "a"}}), "Error: Could not save Microsoft 365 tokens") << tool;
  }
  EXPECT_EQ(test::readFile(file), damaged);
}

TEST(M365JwtTest, TakesTheFirstAccountClaimThatIsText) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {jwt({{"preferred_username", 5}, {"upn", "u@x"}}), "u@x"},
      {jwt({{"email", true}}), std::nullopt},
      {".." + Base64::encodeURL(R"({"upn":"u@x"})") + "..", std::nullopt},
      {"a." + Base64::encodeURL(R"({"upn":"u@x"})"), "u@x"},
      {"a.e30*.s", std::nullopt},
  };
  for (const auto& [token, email] : cases) EXPECT_EQ(M365Tools::jwtEmail(token), email) << token;
}

TEST_F(M365ToolsTest, GraphHelpersTurnStatusesIntoTheFamilysTexts) {
  struct Case {
    std::string method;
    CannedResponse response;
    std::string outcome;  // the body on success, else the error's text
  };
  const json message = {{"error", {{"code", "BadRequest"}, {"message", "Bad recipient."}}}};
  const json privileges = {{"error", {{"code", "Authorization_InsufficientPrivilegesX"}}}};
  const std::vector<Case> cases = {
      {"GET", canned(200, "[]"), "[]"},
      {"POST", canned(202, ""), ""},
      {"POST", answer(message, 400), "Bad recipient."},
      {"GET", answer(message, 400), "Graph API error HTTP 400"},
      {"DELETE", canned(401, ""), kExpired},
      {"GET", answer(privileges, 403),
       "Access denied. Your account may not have permission to access this data."},
      {"POST", canned(403, ""),
       "Access denied. Your account may not have permission for this action."},
      {"POST", answer(privileges, 403),
       "Your Microsoft 365 connection needs expanded permissions. Call connect_m365_account to "
       "re-authenticate."},
      {"DELETE", canned(404, ""), "Event not found."},
      {"DELETE", canned(403, ""), "Graph API error HTTP 403"},
  };
  const std::string url = M365Tools::graphRoot() + "/x";
  for (const auto& [method, response, outcome] : cases) {
    graph.respond("/v1.0/x", response);
    Result<std::string, ToolError> result = std::string();
    if (method == "GET") result = M365Tools::m365GET(url, "T", false);
    if (method == "POST") result = M365Tools::m365POST(url, "T", "{}");
    if (auto deleted = M365Tools::m365DELETE(url, "T"); method == "DELETE" && !deleted) {
      result = fail(deleted.error());
    }
    EXPECT_EQ(result ? result.value() : result.error().description(), outcome) << method;
    EXPECT_EQ(graph.requests().back().header("Authorization"), "Bearer T");
  }
  ::setenv("TVRN_GRAPH_URL", "http://127.0.0.1:9", 1);
  const auto unreachable = M365Tools::m365GET(M365Tools::graphRoot() + "/x", "T", true);
  EXPECT_TRUE(unreachable.error().description().starts_with("Network error: "));
}

TEST_F(M365ToolsTest, ChatMessagesGoToOneEscapedChatOnlyWithAnAccount) {
  EXPECT_FALSE(M365Tools::m365TeamsChatSendViaGraph("19:abc", "hi"));
  EXPECT_EQ(graph.requestCount(), 0u);
  signIn(3600);
  graph.respond("/v1.0/chats/19:a/b?c d/messages", answer({{"id", "m1"}}, 201));
  EXPECT_EQ(M365Tools::m365TeamsChatSendViaGraph("19:a/b?c d", "hé")->value(),
            "Message sent (id: m1)");
  const auto request = graph.requests().back();
  EXPECT_EQ(request.target, "/v1.0/chats/19%3Aa%2Fb%3Fc%20d/messages");
  EXPECT_EQ(request.json(), json({{"body", {{"content", "hé"}, {"contentType", "text"}}}}));
}

TEST_F(M365ToolsTest, SearchKeepsTheWholeQueryInsideTheQuotedPhrase) {
  signIn(3600);
  graph.respond("/v1.0/users", answer({{"value",
                                        {{{"displayName", "Ana"}, {"mail", "a@x"}, {"id", "1"}},
                                         {{"userPrincipalName", "b@x"}, {"id", "2"}}}}}));
  EXPECT_EQ(call("search_m365_directory", {{"query", R"(a&b=c"d\)"}, {"limit", 100}}),
            "Found 2 user(s) matching 'a&b=c\"d\\':\n\nName: Ana\nEmail: a@x\nID: 1\n\n"
            "UPN: b@x\nID: 2");
  const auto request = graph.requests().back();
  EXPECT_EQ(request.target,
            "/v1.0/users?$search=%22displayName:a%26b%3Dc%5C%22d%5C%5C%22&$top=25&$select=id,"
            "displayName,mail,jobTitle,department,officeLocation,businessPhones,mobilePhone");
  EXPECT_EQ(request.header("ConsistencyLevel"), "eventual");

  graph.respond("/v1.0/users", answer({{"value", json::array()}}));
  EXPECT_EQ(call("search_m365_directory", {{"query", "zed"}, {"limit", "5"}}),
            "No users found matching 'zed' in your organization's directory.");
  EXPECT_NE(graph.requests().back().target.find("&$top=10&"), std::string::npos);
  graph.respond("/v1.0/users", answer({{"value", {1}}}));
  EXPECT_EQ(call("search_m365_directory", {{"query", "zed"}}),
            "Error: Unexpected response from Microsoft Graph");
}

TEST_F(M365ToolsTest, PersonIdTravelsAsOnePathSegment) {
  signIn(3600);
  EXPECT_EQ(call("get_m365_person", {{"id", "x/../me?$y"}}),
            "Error: Unexpected response from Microsoft Graph");
  EXPECT_TRUE(graph.requests().back().target.starts_with(
      "/v1.0/users/x%2F..%2Fme%3F%24y?$select=id,displayName,mail,userPrincipalName,"));
  graph.respond("/v1.0/users/gone", answer({{"error", {{"code", "Request_ResourceNotFound"}}}}));
  EXPECT_EQ(call("get_m365_person", {{"id", "gone"}}), "Error: User 'gone' not found in directory");
}

TEST_F(M365ToolsTest, CardsAndPeopleShowOnlyWhatTheRecordHolds) {
  const std::vector<std::pair<json, std::string>> cards = {
      {{{"mail", "a@x"}, {"userPrincipalName", "a@x"}, {"businessPhones", {"1", "2"}}},
       "Email: a@x\nPhone: 1, 2"},
      {{{"displayName", ""}, {"businessPhones", json::array()}, {"mobilePhone", "+1"}},
       "Name: \nMobile: +1"},
      {{{"jobTitle", "Dev"}, {"businessPhones", {"1", 2}}, {"id", ""}}, "Title: Dev\nID: "},
  };
  for (const auto& [user, card] : cards) EXPECT_EQ(M365Tools::formatUser(user), card) << user;

  signIn(3600);
  graph.respond(
      "/v1.0/me/people",
      answer({{"value",
               {{{"displayName", "Ana"}, {"scoredEmailAddresses", {{{"address", "a@x"}}}}},
                {{"scoredEmailAddresses", json::array()},
                 {"emailAddresses", {{{"address", "b@x"}}}},
                 {"department", "Ops"}}}}}));
  EXPECT_EQ(call("list_m365_people_insights", {{"limit", 80}}),
            "Your top 2 Microsoft 365 contacts:\n\n[1] Ana\nEmail: a@x\n\n[2] Email: b@x\n"
            "Department: Ops");
  EXPECT_NE(graph.requests().back().target.find("?$top=50&"), std::string::npos);
}

TEST_F(M365ToolsTest, ListsTheFamilyAndRefusesTheDirectoryWhenTheServiceIsOff) {
  // What acts for the user has a kind that read-only mode refuses; the rest only reads.
  std::map<std::string, std::string> kinds;
  for (const auto& tool : json::parse(registry->exportJSON())) kinds[tool["name"]] = tool["kind"];
  std::map<std::string, std::string> expected = {{"m365_send_email", "send"},
                                                 {"m365_reply_email", "send"},
                                                 {"m365_create_event", "wr"},
                                                 {"m365_delete_event", "dt"},
                                                 {"teams_send_channel_message", "wr"}};
  for (const char* reading :
       {"connect_m365_account", "disconnect_m365_account", "search_m365_directory",
        "get_m365_person", "list_m365_people_insights", "m365_list_emails", "m365_read_email",
        "m365_search_emails", "m365_list_events", "m365_list_contacts", "m365_search_contacts",
        "m365_get_contact"}) {
    expected[reading] = "ro";
  }
  EXPECT_EQ(kinds, expected);
  EXPECT_NE(registry->tool("connect_m365_account")->description.find(" microsoft.com/devicelogin "),
            std::string::npos);

  signIn(3600);
  ASSERT_TRUE(ConfigManager::shared().save({{"disabled_services", {"m365"}}}));
  for (const char* tool :
       {"search_m365_directory", "get_m365_person", "list_m365_people_insights"}) {
    EXPECT_TRUE(
        call(tool, {{"query", "a"}, {"id", "a"}}).starts_with("Error: Permission denied: "));
  }
  EXPECT_EQ(graph.requestCount(), 0u);
  EXPECT_EQ(call("disconnect_m365_account"), "Disconnected from ana@contoso.com.");
}

}  // namespace
}  // namespace tvrn
