#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "support/AppFixtures.h"
#include "support/TestEnv.h"
#include "tools/NordVPNTexts.h"
#include "tools/NordVPNTools.h"
#include "tools/ToolCall.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr const char* kRecommendations = "/v1/servers/recommendations";
constexpr const char* kCountries = "/v1/servers/countries";

CannedResponse answer(int status, std::string body) {
  CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

ToolResult call(const std::string& tool, const json& arguments = json::object()) {
  ToolRegistry registry;
  NordVPNTools::registerTools(registry);
  return test::callTool(registry, tool, arguments);
}

void installNordVPN() { test::placeBundle("NordVPN", {{"CFBundleShortVersionString", "8.1.2"}}); }

TEST(NordVPNToolsTest, StatusReadsTheDefaultsInEitherPlistForm) {
  EXPECT_EQ(test::textOf(call("nordvpn_status")), "FAILED: NordVPN is not installed on this Mac.");
  installNordVPN();
  const json base = {{"installed", true}, {"app_running", false}, {"version", "8.1.2"}};
  struct Case {
    json defaults;
    json expected;
  } cases[] = {
      {{{"isAppWasConnectedToVPN", true},
        {"connectOnDemand", 1},
        {"vpnSnoozedUntil", 1772386200.0},
        {"lastMapLocation", "Berlin"}},
       {{"connected", true},
        {"auto_connect", true},
        {"snoozed_until", "2026-03-01T17:30:00Z"},
        {"last_location", "Berlin"}}},
      {json::object(), {{"connected", false}, {"auto_connect", false}}},
      {{{"isAppWasConnectedToVPN", 2},
        {"connectOnDemand", "1"},
        {"vpnSnoozedUntil", 0},
        {"lastMapLocation", 5}},
       {{"connected", false}, {"auto_connect", false}}},
  };
  for (const auto format : {test::PlistFormat::xml, test::PlistFormat::binary}) {
    for (const auto& c : cases) {
      test::writeDefaults("com.nordvpn.NordVPN", c.defaults, format);
      json expected = base;
      expected.update(c.expected);
      EXPECT_EQ(test::jsonOf(call("nordvpn_status")), expected) << c.defaults;
    }
  }
}

class NordVPNServersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_VPN_API_URL", server_.baseURL().c_str(), 1);
    server_.respond(kRecommendations, answer(200, "[]"));
    server_.respond(
        kCountries,
        answer(200, json::array({{{"id", 1}, {"name", "Nowhere"}},
                                 {{"id", "2"}, {"name", "United States"}},
                                 {{"id", 228}, {"name", "United States"}, {"code", "US"}},
                                 {{"id", 81}, {"name", "Germany"}, {"code", "DE"}},
                                 {{"id", 90}, {"name", "Österreich"}}})
                        .dump()));
  }

  // The query the recommendations request carried.
  std::string lastQuery() {
    const auto requests = server_.requestsTo(kRecommendations);
    if (requests.empty()) return "(none)";
    const std::string& target = requests.back().target;
    return target.substr(target.find('?') + 1);
  }

  RecordingHttpServer server_;
};

TEST_F(NordVPNServersTest, BuildsTheRecommendationQueryFromTheArguments) {
  const std::string standard = "&filters[servers_groups][identifier]=servers_standard";
  struct Case {
    json arguments;
    std::string query;
  } cases[] = {
      {json::object(), "limit=5" + standard},
      {{{"limit", 0}}, "limit=5" + standard},
      {{{"limit", 1}}, "limit=1" + standard},
      {{{"limit", 10}}, "limit=10" + standard},
      {{{"limit", 500}}, "limit=10" + standard},
      {{{"limit", -3}}, "limit=1" + standard},
      {{{"limit", 2.5}}, "limit=5" + standard},
      {{{"limit", "3"}}, "limit=5" + standard},
      {{{"type", ""}}, "limit=5" + standard},
      {{{"type", "onion"}}, "limit=5&filters[servers_groups][identifier]=servers_onion_over_vpn"},
      {{{"type", "P2P"}}, "limit=5"},
      {{{"country", " US\t"}}, "limit=5" + standard + "&filters[country_id]=228"},
      {{{"country", "united STATES"}}, "limit=5" + standard + "&filters[country_id]=228"},
      {{{"country", "ÖSTERREICH"}, {"type", "x"}}, "limit=5&filters[country_id]=90"},
  };
  for (const auto& c : cases) {
    const ToolResult result = call("nordvpn_servers", c.arguments);
    EXPECT_TRUE(result.ok()) << c.arguments << test::textOf(result);
    EXPECT_EQ(lastQuery(), c.query) << c.arguments;
  }
  const auto request = server_.requestsTo(kRecommendations).back();
  EXPECT_EQ(request.header("Accept"), "application/json");
}

TEST_F(NordVPNServersTest, AnUnknownCountryOrAFailedCountryListIsAnInvalidArgument) {
  const std::string refusal =
      "FAILED: Invalid 'country': expected valid country name or 2-letter code (e.g. 'US', "
      "'Germany')";
  EXPECT_EQ(test::textOf(call("nordvpn_servers", {{"country", "Atlantis"}})), refusal);
  for (const auto& countries : {answer(404, "[]"), answer(200, "{}"), answer(200, "not json")}) {
    server_.respond(kCountries, countries);
    EXPECT_EQ(test::textOf(call("nordvpn_servers", {{"country", "de"}})), refusal);
  }
  EXPECT_TRUE(server_.requestsTo(kRecommendations).empty());
}

TEST_F(NordVPNServersTest, MapsTheServersAndRefusesBadAnswers) {
  const json servers = json::array(
      {{{"name", "United States #1"},
        {"hostname", "us1.example"},
        {"load", 17},
        {"status", "online"},
        {"locations",
         {{{"country", {{"name", "United States"}, {"city", {{"name", "New York"}}}}}}}},
        {"technologies", {{{"name", "WireGuard"}}, {{"id", 3}}, {{"name", "OpenVPN"}}}}},
       {{"name", "Germany #2"},
        {"load", 2.5},
        {"locations", {{{"country", {{"name", "Germany"}}}, {"city", {{"name", "Berlin"}}}}}},
        {"technologies", json::array()}},
       {{"hostname", 7}, {"locations", json::array()}, {"technologies", {"plain"}}}});
  server_.respond(kRecommendations, answer(200, servers.dump()));
  const json reply = test::jsonOf(call("nordvpn_servers"));
  EXPECT_EQ(reply["count"], 3);
  EXPECT_EQ(reply["note"], NordVPNTexts::kServersNote);
  EXPECT_EQ(reply["servers"],
            json::array({{{"name", "United States #1"},
                          {"hostname", "us1.example"},
                          {"load", 17},
                          {"status", "online"},
                          {"country", "United States"},
                          {"city", "New York"},
                          {"technologies", {"WireGuard", "OpenVPN"}}},
                         {{"name", "Germany #2"},
                          {"hostname", ""},
                          {"load", 0},
                          {"status", ""},
                          {"country", "Germany"},
                          {"city", "Berlin"},
                          {"technologies", json::array()}},
                         {{"name", ""}, {"hostname", ""}, {"load", 0}, {"status", ""}}}));

  struct Case {
    CannedResponse answer;
    std::string text;
  } cases[] = {
      {answer(404, "[]"), "FAILED: NordVPN API returned HTTP 404"},
      {answer(201, "[]"), "FAILED: NordVPN API returned HTTP 201"},
      {answer(200, "{\"servers\": []}"), "FAILED: Invalid response from NordVPN API"},
      {answer(200, "[1, 2]"), "FAILED: Invalid response from NordVPN API"},
      {answer(200, "<html>"), "FAILED: Invalid response from NordVPN API"},
  };
  for (const auto& c : cases) {
    server_.respond(kRecommendations, c.answer);
    EXPECT_EQ(test::textOf(call("nordvpn_servers")), c.text);
  }
  server_.respond(kRecommendations, answer(200, "[]"));
  EXPECT_EQ(test::jsonOf(call("nordvpn_servers")),
            (json{{"servers", json::array()}, {"count", 0}, {"note", NordVPNTexts::kServersNote}}));

  ::setenv("TVRN_VPN_API_URL", "http://127.0.0.1:1", 1);
  EXPECT_EQ(test::textOf(call("nordvpn_servers")).rfind("FAILED: Network error: ", 0), 0u);
}

std::filesystem::path logFolder() {
  return Paths::underHome(
      "Library/Group Containers/W5W395V82Y.group.com.nordvpn/Library/Caches/Logs");
}

void writeLog(const std::string& name, const std::string& text, int minutesAgo = 0) {
  const auto file = logFolder() / name;
  test::writeFile(file, text);
  std::filesystem::last_write_time(
      file, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(minutesAgo));
}

const std::string kNote = NordVPNTexts::kDiagnoseNote;

TEST(NordVPNDiagnoseTest, ReportsTheAppAndItsDefaults) {
  EXPECT_EQ(test::textOf(call("nordvpn_diagnose")),
            "## NordVPN Diagnostic Report\n\n**Installed:** No\n\nNordVPN is not installed. "
            "Download from the App Store or nordvpn.com.");
  installNordVPN();
  EXPECT_EQ(test::textOf(call("nordvpn_diagnose")),
            "## NordVPN Diagnostic Report\n\n**Installed:** Yes\n**Version:** 8.1.2\n"
            "**App running:** No\n**VPN connected:** No\n**Auto-connect:** Off\n\n" +
                std::string(NordVPNTexts::kOpenAction) + "\n" + NordVPNTexts::kConnectAction +
                "\n\n" + kNote);
  test::writeDefaults(
      "com.nordvpn.NordVPN",
      {{"isAppWasConnectedToVPN", 1}, {"connectOnDemand", true}, {"lastMapLocation", "Tokyo"}});
  EXPECT_EQ(test::textOf(call("nordvpn_diagnose")),
            "## NordVPN Diagnostic Report\n\n**Installed:** Yes\n**Version:** 8.1.2\n"
            "**App running:** No\n**VPN connected:** Yes\n**Auto-connect:** On\n"
            "**Last location:** Tokyo\n\n" +
                std::string(NordVPNTexts::kOpenAction) + "\n\n" + kNote);
}

TEST(NordVPNDiagnoseTest, ReadsFindingsFromTheNewestLogsTail) {
  installNordVPN();
  struct Case {
    std::vector<std::pair<std::string, std::string>> logs;  // newest last
    std::vector<std::string> findings;
  } cases[] = {
      {{{"a.log", "subscription has expired\nuser: true\n"}}, {"**Subscription:** expired"}},
      {{{"a.log", "user: true\nuser: false\n"}}, {"**Account:** not logged in"}},
      {{{"a.log", "x user: true\nKill Switch status: on\nKill Switch status: off\nmore"}},
       {"**Account:** logged in", "**Kill switch:** off"}},
      {{{"a.log", "supported protocols reset to: [a, b]\nsupported protocols reset to: [c] x\n"}},
       {"**Protocols:** [c]"}},
      {{{"a.log", "supported protocols reset to: nordlynx"}}, {"**Protocols:** nordlynx]"}},
      {{{"a.LOG", "user: true"}, {"b.txt", "user: true"}}, {}},
      {{{"old.log", "user: true"}, {"new.log", "user: false"}}, {"**Account:** not logged in"}},
      {{{"new.log", "user: false"}, {"old.log", "user: true"}}, {"**Account:** logged in"}},
      // Only the last 4000 characters count.
      {{{"a.log", "user: true\n" + std::string(4000, 'x')}}, {}},
      {{{"a.log", "user: true\xFF"}}, {}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(logFolder());
    int age = static_cast<int>(c.logs.size());
    for (const auto& [name, text] : c.logs) writeLog(name, text, --age * 10);
    const std::string report = test::textOf(call("nordvpn_diagnose"));
    const auto begin = report.find("**Auto-connect:** Off") + 21;
    const auto end = report.find("\n\n- **Action:**");
    std::string expected;
    for (const auto& line : c.findings) expected += "\n" + line;
    EXPECT_EQ(report.substr(begin, end - begin), expected) << c.logs.front().second;
  }
}

}  // namespace
}  // namespace tvrn
