#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/Base64.h"
#include "base/WallClock.h"
#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/m365/M365Account.h"
#include "tools/m365/M365Contacts.h"
#include "tools/m365/M365Graph.h"
#include "tools/m365/M365Mail.h"
#include "tools/m365/M365Tools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace nlohmann::literals;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr double kNow = 1'800'000'000;  // 2027-01-15T08:00:00Z
constexpr const char* kTokenPath = "/common/oauth2/v2.0/token";
constexpr const char* kExpired =
    "Microsoft 365 session expired. Use connect_m365_account to reconnect.";

std::string jwt(const json& claims) {
  return "eyJhbGciOiJub25lIn0." + Base64::encodeURL(claims.dump()) + ".sig";
}

CannedResponse canned(int status, std::string body) {
  CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}
CannedResponse answer(const json& body, int status = 200) { return canned(status, body.dump()); }

// The family against stand-ins for the identity platform and Graph on 127.0.0.1, with the wall
// clock fixed.
class M365ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_LOGIN_URL", login.baseURL().c_str(), 1);
    ::setenv("TVRN_GRAPH_URL", graph.baseURL().c_str(), 1);
    WallClock::fixAt(kNow);
    M365Tools::registerTools(*registry);
  }
  void TearDown() override { WallClock::useSystemClock(); }

  const ConfigManager& settings() const { return *registry->context().settings; }

  // The tool's text, or "Error: " and the error as a client sees it.
  std::string call(const std::string& tool, const json& arguments = {}) {
    ToolResult result = registry->dispatch(tool, JSONValue::fromRaw(arguments));
    if (!result) return "Error: " + result.error().description();
    return result.value().rawValue()["content"][0]["text"];
  }

  // A connected account whose access token "A0" has `life` seconds left.
  void signIn(double life, const std::string& refreshToken = "R1+/") {
    ASSERT_TRUE(settings().save({{"m365_access_token", "A0"},
                                 {"m365_refresh_token", refreshToken},
                                 {"m365_token_expiry", kNow + life},
                                 {"m365_account_email", "ana@contoso.com"}}));
  }

  json stored() const { return json::parse(test::readFile(settings().configPath())); }

  RecordingHttpServer login;
  RecordingHttpServer graph;
  std::shared_ptr<ToolRegistry> registry = std::make_shared<ToolRegistry>();
};

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
  EXPECT_EQ(M365Tools::accountState(settings()).email, "ana@x");

  EXPECT_EQ(call("disconnect_m365_account"), "Disconnected from ana@x.");
  EXPECT_FALSE(M365Tools::accountState(settings()).connected);
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
    ASSERT_TRUE(
        settings().save({{"m365_pending_device_code", "DC"}, {"m365_pending_expiry", kNow + 59}}));
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
    auto token = M365Tools::m365AccessToken(settings());
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
  EXPECT_EQ(M365Tools::m365AccessToken(settings()).error().description(), kExpired);
}

TEST_F(M365ToolsTest, AStepWhoseSaveFailsChangesNothing) {
  signIn(30);
  login.respond("/common/oauth2/v2.0/devicecode",
                answer({{"user_code", "U"}, {"device_code", "D"}}));
  login.respond(kTokenPath, answer({{"access_token", "A1"}}));
  const auto file = settings().configPath();
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
  EXPECT_FALSE(M365Tools::m365TeamsChatSendViaGraph(settings(), "19:abc", "hi"));
  EXPECT_EQ(graph.requestCount(), 0u);
  signIn(3600);
  graph.respond("/v1.0/chats/19:a/b?c d/messages", answer({{"id", "m1"}}, 201));
  EXPECT_EQ(M365Tools::m365TeamsChatSendViaGraph(settings(), "19:a/b?c d", "hé")->value(),
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
  ASSERT_TRUE(settings().save({{"disabled_services", {"m365"}}}));
  for (const char* tool :
       {"search_m365_directory", "get_m365_person", "list_m365_people_insights"}) {
    EXPECT_TRUE(
        call(tool, {{"query", "a"}, {"id", "a"}}).starts_with("Error: Permission denied: "));
  }
  EXPECT_EQ(graph.requestCount(), 0u);
  EXPECT_EQ(call("disconnect_m365_account"), "Disconnected from ana@contoso.com.");
}

const std::string kMail = "$select=id,subject,from,receivedDateTime,bodyPreview,isRead";
const std::string kContacts =
    "$select=id,displayName,givenName,surname,emailAddresses,mobilePhone,businessPhones,jobTitle,"
    "companyName";
const std::string kNewest = "&$orderby=receivedDateTime%20desc";

TEST_F(M365ToolsTest, EachCallSendsOneRequestWithItsArgumentsEscaped) {
  struct Case {
    std::string tool;
    json arguments;
    std::string request;  // method and target
    json body = nullptr;  // null: not checked
  };
  const std::vector<Case> cases = {
      {"m365_list_emails", R"({"folder": "", "limit": 80, "unread_only": true})"_json,
       "GET /v1.0/me/mailFolders/inbox/messages?" + kMail + "&$top=50" + kNewest +
           "&$filter=isRead%20eq%20false"},
      {"m365_list_emails",
       R"({"folder": "inbox/../../users", "limit": "30", "unread_only": "true"})"_json,
       "GET /v1.0/me/mailFolders/inbox%2F..%2F..%2Fusers/messages?" + kMail + "&$top=20" + kNewest},
      {"m365_read_email", R"({"id": "a/b?c#d%e f"})"_json,
       "GET /v1.0/me/messages/a%2Fb%3Fc%23d%25e%20f?$select=id,subject,from,toRecipients,"
       "ccRecipients,receivedDateTime,body,isRead"},
      {"m365_reply_email",
       R"({"id": "..", "message": "ok", "reply_all": true, "confirm": true})"_json,
       "POST /v1.0/me/messages/%2E%2E/replyAll", R"({"comment": "ok"})"_json},
      {"m365_reply_email",
       R"({"id": "m 1", "message": "ok", "reply_all": "true", "confirm": true})"_json,
       "POST /v1.0/me/messages/m%201/reply"},
      {"m365_send_email",
       R"({"to": "a@x,  b@x,,\t, ", "subject": "S", "body": "B", "confirm": true})"_json,
       "POST /v1.0/me/sendMail",
       R"({"message": {"subject": "S", "body": {"contentType": "Text", "content": "B"},
           "toRecipients": [{"emailAddress": {"address": "a@x"}},
           {"emailAddress": {"address": "b@x"}}]}, "saveToSentItems": true})"_json},
      {"m365_search_emails", R"({"query": "a&b=c+\"d\\"})"_json,
       "GET /v1.0/me/messages?$search=%22a%26b%3Dc%2B%5C%22d%5C%5C%22&" + kMail + "&$top=20"},
      {"m365_delete_event", R"({"id": "e/1 x", "confirm": true})"_json,
       "DELETE /v1.0/me/events/e%2F1%20x"},
      {"m365_create_event",
       R"({"subject": "S", "start": "T1", "end": "T2", "location": "",
           "attendees": "a@x, b@x"})"_json,
       "POST /v1.0/me/events",
       R"({"subject": "S", "start": {"dateTime": "T1", "timeZone": "UTC"},
           "end": {"dateTime": "T2", "timeZone": "UTC"}, "attendees": [
           {"emailAddress": {"address": "a@x"}, "type": "required"},
           {"emailAddress": {"address": "b@x"}, "type": "required"}]})"_json},
      {"m365_list_contacts", R"({"limit": 500})"_json,
       "GET /v1.0/me/contacts?" + kContacts + "&$top=100&$orderby=displayName"},
      {"m365_search_contacts", R"({"query": "O'Neil & \"Co\""})"_json,
       "GET /v1.0/me/contacts?$search=%22O%27Neil%20%26%20%5C%22Co%5C%22%22&" + kContacts +
           "&$top=25"},
      {"m365_get_contact", R"({"id": "c#1?"})"_json, "GET /v1.0/me/contacts/c%231%3F"},
      {"teams_send_channel_message",
       R"({"team_id": "t/1", "channel_id": "19:c?d", "text": "hé", "confirm": "TRUE"})"_json,
       "POST /v1.0/teams/t%2F1/channels/19%3Ac%3Fd/messages",
       R"({"body": {"content": "hé", "contentType": "text"}})"_json},
  };
  signIn(3600);
  for (const auto& [tool, arguments, sent, body] : cases) {
    const auto before = graph.requestCount();
    call(tool, arguments);
    ASSERT_EQ(graph.requestCount(), before + 1) << tool << arguments;
    const auto request = graph.requests().back();
    EXPECT_EQ(request.method + " " + request.target, sent) << arguments;
    EXPECT_EQ(request.header("Authorization"), "Bearer A0");
    EXPECT_EQ(request.header("ConsistencyLevel"),
              sent.find("contacts?$search") != std::string::npos ? "eventual" : "");
    if (!body.is_null()) {
      EXPECT_EQ(request.json(), body) << tool;
    }
  }
}

TEST_F(M365ToolsTest, UnconfirmedActionsAnswerAPreviewWithoutARequestEvenSignedOut) {
  const std::string preview = "Preview (call again with confirm=true to send):\n\n";
  const std::vector<std::tuple<std::string, json, std::string>> cases = {
      {"m365_send_email", R"({"to": "a@x, b@x", "subject": "S", "body": "B", "cc": "c@x"})"_json,
       preview + "To: a@x, b@x\nCC: c@x\nSubject: S\n\nB"},
      {"m365_send_email", R"({"to": "a@x", "subject": "S", "body": "B", "confirm": "true"})"_json,
       preview + "To: a@x\nSubject: S\n\nB"},
      {"m365_reply_email", R"({"id": "m1", "message": "Thanks", "confirm": 1})"_json,
       preview + "Thanks"},
      {"m365_delete_event", R"({"id": "e1", "confirm": "true"})"_json,
       "Deletion not confirmed. Set confirm=true to delete event 'e1'."},
      {"teams_send_channel_message",
       R"({"team_id": "t", "channel_id": "c", "text": "hi", "confirm": 0})"_json,
       "Preview: post \"hi\" to channel c in team t. Set confirm=true to send."},
      {"m365_send_email", R"({"to": "a@x", "subject": "S", "body": "B", "confirm": true})"_json,
       "Error: Not connected to Microsoft 365. Use connect_m365_account first."},
  };
  for (const auto& [tool, arguments, text] : cases)
    EXPECT_EQ(call(tool, arguments), text) << arguments;
  EXPECT_EQ(graph.requestCount(), 0u);
}

TEST_F(M365ToolsTest, SentMessagesReportWhatWasAskedFor) {
  signIn(3600);
  graph.respond("/v1.0/me/sendMail", canned(202, ""));
  EXPECT_EQ(call("m365_send_email",
                 R"({"to": "a@x,  b@x", "subject": "S", "body": "B", "confirm": true})"_json),
            "Email sent to a@x,  b@x.");
  const std::string channel = "/v1.0/teams/t/channels/c/messages";
  const json post = {{"team_id", "t"}, {"channel_id", "c"}, {"text", "hi"}, {"confirm", 1}};
  graph.respond(channel, canned(201, "not json"));
  EXPECT_EQ(call("teams_send_channel_message", post), "Message sent to channel");
  graph.respond(channel, answer({{"id", "m7"}}, 201));
  EXPECT_EQ(call("teams_send_channel_message", post), "Message sent to channel (id: m7)");
}

TEST_F(M365ToolsTest, MessagesBecomeListAndSearchBlocks) {
  std::string accented;  // 100 characters of two code points each, cut at 80 whole characters
  for (int i = 0; i < 100; ++i) accented += "e\u0301";
  struct Record {
    json message;
    std::string listBlock;
    std::string searchBlock;
  };
  const std::vector<Record> records = {
      {R"({"id": "1", "subject": "Plan", "isRead": false,
           "receivedDateTime": "2025-03-04T09:15:00Z",
           "from": {"emailAddress": {"name": "Ana", "address": "a@x"}}})"_json,
       "● [2025-03-04] Plan\n  From: Ana\n  " + accented.substr(0, 240) + "\n  ID: 1",
       "[2025-03-04] Plan\n  From: Ana\n  ID: 1"},
      {R"({"id": "2", "subject": 5, "from": {"emailAddress": {"address": "b@x"}}})"_json,
       "  [] (no subject)\n  From: b@x\n  \n  ID: 2", "[] (no subject)\n  From: b@x\n  ID: 2"},
      {R"({"isRead": true, "subject": "", "from": "c@x"})"_json,
       "  [] \n  From: \n  \n  ID: ", "[] \n  From: \n  ID: "},
  };
  json messages = json::array();
  std::string listed = "Found 3 email(s):\n\n", found = "Found 3 email(s) for 'q':\n\n";
  for (std::size_t i = 0; i < records.size(); ++i) {
    messages.push_back(records[i].message);
    if (i == 0) messages[0]["bodyPreview"] = accented;
    listed += (i ? "\n\n" : "") + records[i].listBlock;
    found += (i ? "\n\n" : "") + records[i].searchBlock;
  }
  signIn(3600);
  graph.respond("/v1.0/me/mailFolders/inbox/messages", answer({{"value", messages}}));
  graph.respond("/v1.0/me/messages", answer({{"value", messages}}));
  EXPECT_EQ(call("m365_list_emails"), listed);
  EXPECT_EQ(call("m365_search_emails", {{"query", "q"}}), found);

  graph.respond("/v1.0/me/messages", answer({{"value", json::array()}}));
  EXPECT_EQ(call("m365_search_emails", {{"query", "q"}}), "No emails found for 'q'.");
  graph.respond("/v1.0/me/mailFolders/inbox/messages", answer({{"value", {{{"id", 1}}, 2}}}));
  EXPECT_EQ(call("m365_list_emails"), "Error: Unexpected response from Microsoft Graph");
}

TEST_F(M365ToolsTest, ReadEmailShowsTheBodyWithoutTags) {
  signIn(3600);
  const std::string path = "/v1.0/me/messages/m1";
  const std::vector<std::pair<json, std::string>> answers = {
      {R"({"subject": "Hi", "from": {"emailAddress": {"name": "Ana", "address": "a@x"}},
           "toRecipients": [{"emailAddress": {"address": "b@x"}}, {"emailAddress": {}},
                            {"emailAddress": {"address": "c@x"}}],
           "receivedDateTime": "2025-03-04T09:15:00Z",
           "body": {"content": "<p>Fish &amp; chips</p>\r\n"}})"_json,
       "Subject: Hi\nFrom: Ana <a@x>\nTo: b@x, c@x\nDate: 2025-03-04 09:15:00\n\nFish &amp; chips"},
      {json::object(), "Subject: (no subject)\nFrom:  <>\nTo: \nDate: \n\n"},
      {R"({"error": {"message": "Mailbox moved"}})"_json, "Error: Mailbox moved"},
      {R"({"error": {}})"_json, "Error: Error reading email"},
      {json::array(), "Error: Unexpected response"},
  };
  for (const auto& [body, text] : answers) {
    graph.respond(path, answer(body));
    EXPECT_EQ(call("m365_read_email", {{"id", "m1"}}), text) << body;
  }

  const std::vector<std::pair<std::string, std::string>> bodies = {
      {" \n<div class=\"a\">\n x </div>\u00a0", "x"},
      {"a <> b <c\nd> e", "a <> b  e"},
      {"x<<y>z", "xz"},
      {"1 < 2, 3 > 2", "1  2"},
      {"tail <b", "tail <b"},
  };
  for (const auto& [html, text] : bodies) EXPECT_EQ(M365Tools::plainBodyText(html), text) << html;
}

TEST_F(M365ToolsTest, CalendarNamesPickTheCalendarAndTheWindowFollowsTheClock) {
  signIn(3600);
  graph.respond("/v1.0/me/calendars", answer(R"({"value": [{"id": "c/1", "name": "Team Work"},
                                              {"id": "c2", "name": "Work"}, {"id": "c3"}]})"_json));
  graph.respond("/v1.0/me/calendars/c/1/events", answer(R"({"value": [
      {"id": "e1", "subject": "Standup", "start": {"dateTime": "2027-01-16T09:15:00.0000000"},
       "end": {"dateTime": "2027-01-16T09:30:00.0000000"}, "location": {"displayName": "Room 4"},
       "organizer": {"emailAddress": {"name": "Ana"}}},
      {"id": "e2", "location": {"displayName": ""}}]})"_json));
  EXPECT_EQ(call("m365_list_events", {{"calendar", "WORK"}}),
            "Found 2 event(s) in the next 7 day(s) in 'WORK':\n\nStandup\n  2027-01-16 09:15 → "
            "2027-01-16 09:30\n  Location: Room 4\n  Organizer: Ana\n  ID: e1\n\n(no subject)\n"
            "   → \n  ID: e2");
  const auto requests = graph.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/v1.0/me/calendars?$select=id,name&$top=50");
  EXPECT_EQ(requests[1].target,
            "/v1.0/me/calendars/c%2F1/events?$select=id,subject,start,end,location,organizer,"
            "bodyPreview&$orderby=start/dateTime&$top=20&$filter=start/dateTime+ge+'2027-01-15T08:"
            "00:00Z'+and+start/dateTime+le+'2027-01-22T08:00:00Z'");

  EXPECT_EQ(call("m365_list_events", {{"calendar", "home"}}),
            "Error: No M365 calendar matching 'home' found. Available: Team Work, Work.");
  EXPECT_EQ(call("m365_create_event", R"({"subject": "S", "start": "T1", "end": "T2",
                                          "timezone": "Europe/Oslo", "calendar": "work"})"_json),
            "Event created: 'S' on T1 in 'work'.\nID: ");
  EXPECT_EQ(graph.requests().back().target, "/v1.0/me/calendars/c%2F1/events");
  EXPECT_EQ(graph.requests().back().json()["end"]["timeZone"], "Europe/Oslo");

  graph.respond("/v1.0/me/events", answer({{"value", json::array()}}));
  EXPECT_EQ(call("m365_list_events", {{"days", 45}}), "No events in the next 30 day(s).");
  EXPECT_NE(graph.requests().back().target.find("le+'2027-02-14T08:00:00Z'"), std::string::npos);

  graph.respond("/v1.0/me/events/gone", canned(404, ""));
  EXPECT_EQ(call("m365_delete_event", {{"id", "gone"}, {"confirm", true}}),
            "Error: Event not found.");
  EXPECT_EQ(call("m365_delete_event", {{"id", "e1"}, {"confirm", true}}), "Event deleted.");
}

TEST_F(M365ToolsTest, ContactsBecomeCards) {
  const std::vector<std::pair<json, std::string>> cards = {
      {R"({"displayName": "Ana", "jobTitle": "CTO", "companyName": "Contoso", "mobilePhone": "+1",
           "emailAddresses": [{"address": "a@x"}, {"name": "n"}, {"address": "b@x"}],
           "businessPhones": ["2", 3, "4"], "id": "c1"})"_json,
       "Ana\nCTO @ Contoso\nEmail: a@x, b@x\nMobile: +1\nPhone: 2, 4\nID: c1"},
      {R"({"companyName": "Fabrikam", "emailAddresses": [{"name": "n"}]})"_json, "\nFabrikam"},
      {R"({"displayName": "Bo", "jobTitle": "Dev", "businessPhones": "5", "id": ""})"_json,
       "Bo\nDev"},
  };
  for (const auto& [contact, card] : cards) {
    EXPECT_EQ(M365Tools::formatM365Contact(contact), card) << contact;
  }

  signIn(3600);
  graph.respond("/v1.0/me/contacts/c1", answer(R"({"displayName": "Ana", "id": "c1",
      "personalNotes": "Met at the fair", "homeAddress": {"city": "Oslo", "postalCode": "0150"},
      "businessAddress": {"street": "1 Main St", "countryOrRegion": "NO"}})"_json));
  EXPECT_EQ(call("m365_get_contact", {{"id", "c1"}}),
            "Ana\nID: c1\n\nNotes:\nMet at the fair\nHome: Oslo\nOffice: 1 Main St, NO");
  graph.respond("/v1.0/me/contacts", answer(R"({"value": [{"displayName": "Ana"},
                                                         {"displayName": "Bo"}]})"_json));
  EXPECT_EQ(call("m365_list_contacts"), "2 contact(s):\n\nAna\n\nBo");
  EXPECT_EQ(call("m365_search_contacts", {{"query", "a"}}), "2 contact(s) for \"a\":\n\nAna\n\nBo");
  graph.respond("/v1.0/me/contacts/c1", canned(200, "[]"));
  EXPECT_EQ(call("m365_get_contact", {{"id", "c1"}}), "Error: Unexpected response from Graph");
}

}  // namespace
}  // namespace tvrn
