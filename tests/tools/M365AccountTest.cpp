#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/SocketClient.h"
#include "tools/M365Fixture.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::answer;
using test::kDeviceCodePath;
using test::kNow;
using test::kTokenPath;

class M365AccountTest : public test::M365Test {
 protected:
  std::string callOverSocket(test::SocketClient& client, const std::string& tool) {
    auto reply = client.call(
        test::request(++id_, "tools/call", {{"name", tool}, {"arguments", json::object()}}));
    return reply ? (*reply)["result"]["content"][0]["text"].get<std::string>() : "(no reply)";
  }

 private:
  int id_ = 0;
};

TEST_F(M365AccountTest, SignsInOverThreeConnectCallsAndOutAgain) {
  test::SessionOverSocket session(registry);
  login.respond(kDeviceCodePath, answer({{"user_code", "ABCD-1234"},
                                         {"device_code", "DC+/=&x"},
                                         {"verification_uri", "https://microsoft.com/devicelogin"},
                                         {"expires_in", 900}}));
  EXPECT_EQ(callOverSocket(session.client(), "connect_m365_account"),
            "To connect your Microsoft 365 account:\n\n1. Go to: https://microsoft.com/devicelogin"
            "\n2. Enter code: ABCD-1234\n3. Sign in with your Microsoft account\n4. Come back and "
            "call connect_m365_account again to confirm\n\nCode expires in 15 minutes.");

  login.respond(kTokenPath, answer({{"error", "authorization_pending"}}, 400));
  WallClock::fixAt(kNow + 61);
  EXPECT_EQ(callOverSocket(session.client(), "connect_m365_account"),
            "Still waiting for authentication. Code expires in ~13 min.\n\n1. Go to: "
            "https://microsoft.com/devicelogin\n2. Enter code: ABCD-1234\n3. Call "
            "connect_m365_account again once done.");

  const std::string token =
      test::jwt({{"preferred_username", "ana@contoso.com"}, {"email", "x@y"}});
  login.respond(kTokenPath,
                answer({{"access_token", token}, {"refresh_token", "R1"}, {"expires_in", 3599}}));
  EXPECT_EQ(callOverSocket(session.client(), "connect_m365_account")
                .rfind("Connected to Microsoft 365 as ana@contoso.com. You can now use: ", 0),
            0u);
  EXPECT_EQ(stored()["m365_access_token"], token);
  EXPECT_EQ(stored()["m365_refresh_token"], "R1");
  EXPECT_EQ(stored()["m365_token_expiry"], kNow + 61 + 3599);
  EXPECT_EQ(stored()["m365_account_email"], "ana@contoso.com");
  EXPECT_EQ(stored()["m365_pending_device_code"], "");
  EXPECT_EQ(stored()["m365_pending_user_code"], "");
  EXPECT_EQ(stored()["m365_pending_expiry"], 0);

  ASSERT_EQ(login.requestCount(), 3u);
  EXPECT_EQ(login.requests()[0].body,
            "client_id=9e1b7c35-2a4f-4d68-b0e3-7f5c1a9d8e26&scope=People.Read%20User.Read%20"
            "User.ReadBasic.All%20Mail.Read%20Mail.Send%20Calendars.ReadWrite%20Contacts.Read%20"
            "Chat.ReadWrite%20ChannelMessage.Send%20offline_access");
  for (const auto& poll : login.requestsTo(kTokenPath)) {
    EXPECT_EQ(poll.body,
              "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&device_code="
              "DC%2B%2F%3D%26x&client_id=9e1b7c35-2a4f-4d68-b0e3-7f5c1a9d8e26");
    EXPECT_EQ(poll.header("Content-Type"), "application/x-www-form-urlencoded");
  }
  EXPECT_EQ(M365Tools::accountState().email, "ana@contoso.com");

  EXPECT_EQ(callOverSocket(session.client(), "disconnect_m365_account"),
            "Disconnected from ana@contoso.com.");
  EXPECT_FALSE(M365Tools::accountState().connected);
  for (const char* tool : {"search_m365_directory", "get_m365_person"}) {
    EXPECT_EQ(call(tool, {{"query", "a"}, {"id", "a"}}),
              "Error: Not connected to Microsoft 365. Use connect_m365_account first.");
  }
  EXPECT_EQ(call("list_m365_people_insights"),
            "Error: Not connected to Microsoft 365. Use connect_m365_account first.");
}

TEST_F(M365AccountTest, PollOutcomesKeepOrClearThePendingCode) {
  struct Case {
    json pollAnswer;
    std::string text;
    bool keepsPending;
  };
  const std::vector<Case> cases = {
      {{{"error", "slow_down"}}, "Still waiting for authentication. Code expires in ~0 min.", true},
      {{{"error", "expired_token"}},
       "Error: Device code expired or invalid (expired_token). Call connect_m365_account again "
       "to get a new code.",
       false},
      {{{"token_type", "Bearer"}, {"expires_in", 3600}},
       "Error: Device code expired or invalid (Invalid token response).",
       false},
      {{{"access_token", ""}},
       "Error: Device code expired or invalid (Invalid token response).",
       false},
      {json::array(), "Error: Device code expired or invalid (Invalid token response).", false},
  };
  for (const auto& [pollAnswer, text, keepsPending] : cases) {
    ASSERT_TRUE(ConfigManager::shared().save({{M365Tools::kPendingDeviceCodeKey, "DC"},
                                              {M365Tools::kPendingUserCodeKey, "UC"},
                                              {M365Tools::kPendingExpiryKey, kNow + 59}}));
    login.respond(kTokenPath, answer(pollAnswer, 400));
    EXPECT_EQ(call("connect_m365_account").rfind(text, 0), 0u) << pollAnswer;
    EXPECT_EQ(stored()["m365_pending_device_code"], keepsPending ? "DC" : "") << pollAnswer;
    EXPECT_EQ(stored()["m365_access_token"], nullptr) << pollAnswer;
  }
}

TEST_F(M365AccountTest, TokenGateRenewsAtThreeHundredSecondsAndKeepsKeysWhenRenewalFails) {
  struct Case {
    double life;
    std::optional<json> refreshAnswer;  // nothing: no request may be sent
    std::string outcome;                // the token, or the error's text
    json storedAfter;                   // access token, refresh token, expiry
  };
  const std::string expired =
      "Microsoft 365 session expired. Use connect_m365_account to reconnect.";
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
      {300, json{{"error", json::object()}, {"access_token", "A1"}}, expired, unchanged},
      {300, json{{"token_type", "Bearer"}}, expired, unchanged},
      {300, json{{"access_token", 7}}, expired, unchanged},
      {300, json("not an object"), expired, unchanged},
  };
  for (const auto& [life, refreshAnswer, outcome, storedAfter] : cases) {
    signIn(life);
    const auto sentBefore = login.requestCount();
    if (refreshAnswer) login.respond(kTokenPath, answer(*refreshAnswer));
    auto token = M365Tools::m365AccessToken();
    EXPECT_EQ(token ? token.value() : token.error().description(), outcome) << life;
    EXPECT_EQ(login.requestCount() - sentBefore, refreshAnswer ? 1u : 0u);
    const json keys = {stored()["m365_access_token"], stored()["m365_refresh_token"],
                       stored()["m365_token_expiry"]};
    EXPECT_EQ(keys, storedAfter) << outcome;
  }
  EXPECT_EQ(login.requests().back().body,
            "grant_type=refresh_token&refresh_token=R1%2B%2F&client_id=9e1b7c35-2a4f-4d68-b0e3-"
            "7f5c1a9d8e26&scope=People.Read%20User.Read%20User.ReadBasic.All%20Mail.Read%20"
            "Mail.Send%20Calendars.ReadWrite%20Contacts.Read%20Chat.ReadWrite%20"
            "ChannelMessage.Send%20offline_access");

  signIn(100, "");
  EXPECT_EQ(M365Tools::m365AccessToken().error().description(), expired);
}

TEST_F(M365AccountTest, AStepWhoseSaveFailsChangesNothing) {
  signIn(30);
  login.respond(kDeviceCodePath, answer({{"user_code", "U"}, {"device_code", "D"}}));
  login.respond(kTokenPath, answer({{"access_token", "A1"}}));
  const auto file = ConfigManager::shared().configPath();
  const std::string damaged = test::readFile(file) + "{";
  test::writeFile(file, damaged);
  for (const char* tool :
       {"connect_m365_account", "search_m365_directory", "disconnect_m365_account"}) {
    EXPECT_EQ(call(tool, {{"query", "a"}}), "Error: Could not save Microsoft 365 tokens") << tool;
  }
  EXPECT_EQ(test::readFile(file), damaged);
}

TEST(M365JwtTest, TakesTheFirstAccountClaimThatIsText) {
  struct Case {
    std::string token;
    std::optional<std::string> email;
  };
  const Case cases[] = {
      {test::jwt({{"email", "e@x"}, {"preferred_username", "p@x"}}), "p@x"},
      {test::jwt({{"preferred_username", 5}, {"upn", "u@x"}}), "u@x"},
      {test::jwt({{"email", true}}), std::nullopt},
      {"onlyonepiece", std::nullopt},
      {".." + Base64::encodeURL(R"({"upn":"u@x"})") + "..", std::nullopt},
      {"a." + Base64::encodeURL(R"({"upn":"u@x"})"), "u@x"},
      {"a." + Base64::encode(R"(["upn"])") + ".s", std::nullopt},
      {"a.e30*.s", std::nullopt},
  };
  for (const auto& [token, email] : cases) EXPECT_EQ(M365Tools::jwtEmail(token), email) << token;
}

}  // namespace
}  // namespace tvrn
