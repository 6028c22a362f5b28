#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "support/AppFixtures.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/localapps/NordVPNTexts.h"
#include "tools/localapps/NordVPNTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr const char* kRecommendations = "/v1/servers/recommendations";

ToolResult call(const std::string& tool, const json& arguments = json::object()) {
  ToolRegistry registry;
  NordVPNTools::registerTools(registry);
  return test::callTool(registry, tool, arguments);
}

test::CannedResponse answer(int status, std::string body) {
  test::CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

void installNordVPN() { test::placeBundle("NordVPN", {{"CFBundleShortVersionString", "8.1.2"}}); }

TEST(NordVPNToolsTest, StatusReadsTheDefaultsInEitherPlistForm) {
  EXPECT_EQ(test::textOf(call("nordvpn_status")), "failed: NordVPN is not installed on this Mac.");
  installNordVPN();
  // Each row: the defaults, then what the reply holds besides the fixed members.
  const json cases = json::parse(R"([
    [{"isAppWasConnectedToVPN": true, "connectOnDemand": 1, "vpnSnoozedUntil": 1772386200.0,
      "lastMapLocation": "Berlin"},
     {"connected": true, "auto_connect": true, "snoozed_until": "2026-03-01T17:30:00Z",
      "last_location": "Berlin"}],
    [{}, {"connected": false, "auto_connect": false}],
    [{"isAppWasConnectedToVPN": 2, "connectOnDemand": "1", "vpnSnoozedUntil": 0,
      "lastMapLocation": 5}, {"connected": false, "auto_connect": false}]])");
  for (const auto format : {test::PlistFormat::xml, test::PlistFormat::binary}) {
    for (const auto& c : cases) {
      test::writeDefaults("com.nordvpn.NordVPN", c[0], format);
      json expected = {{"installed", true}, {"app_running", false}, {"version", "8.1.2"}};
      expected.update(c[1]);
      EXPECT_EQ(test::jsonOf(call("nordvpn_status")), expected) << c[0];
    }
  }
}

class NordVPNServersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_VPN_API_URL", server_.baseURL().c_str(), 1);
    server_.respond(kRecommendations, answer(200, "[]"));
    server_.respond("/v1/servers/countries", answer(200, R"([{"id": 1, "name": "Nowhere"},
      {"id": "2", "name": "United States"}, {"id": 228, "name": "United States", "code": "US"},
      {"id": 90, "name": "Österreich"}])"));
  }

  std::string lastQuery() {
    const auto requests = server_.requestsTo(kRecommendations);
    if (requests.empty()) return "(none)";
    return requests.back().target.substr(requests.back().target.find('?') + 1);
  }

  test::RecordingHttpServer server_;
};

TEST_F(NordVPNServersTest, BuildsTheRecommendationQueryFromTheArguments) {
  const std::string group = "&filters[servers_groups][identifier]=servers_";
  const json cases = json::parse(R"([
    [{}, "limit=5|standard"], [{"limit": 1}, "limit=1|standard"],
    [{"limit": 500}, "limit=10|standard"], [{"limit": -3}, "limit=1|standard"],
    [{"limit": 2.5}, "limit=5|standard"], [{"limit": "3"}, "limit=5|standard"],
    [{"type": ""}, "limit=5|standard"], [{"type": "onion"}, "limit=5|onion_over_vpn"],
    [{"type": "P2P"}, "limit=5"],
    [{"country": " US\t"}, "limit=5|standard&filters[country_id]=228"],
    [{"country": "united STATES"}, "limit=5|standard&filters[country_id]=228"],
    [{"country": "ÖSTERREICH", "type": "x"}, "limit=5&filters[country_id]=90"]])");
  for (const auto& c : cases) {
    std::string query = c[1];
    if (const auto bar = query.find('|'); bar != std::string::npos) query.replace(bar, 1, group);
    EXPECT_TRUE(call("nordvpn_servers", c[0]).ok()) << c[0];
    EXPECT_EQ(lastQuery(), query) << c[0];
  }
  EXPECT_EQ(server_.requestsTo(kRecommendations).back().header("Accept"), "application/json");
}

TEST_F(NordVPNServersTest, AnUnknownCountryOrAFailedCountryListIsAnInvalidArgument) {
  const std::string refusal =
      "failed: Invalid 'country': expected valid country name or 2-letter code (e.g. 'US', "
      "'Germany')";
  EXPECT_EQ(test::textOf(call("nordvpn_servers", {{"country", "Atlantis"}})), refusal);
  for (const auto& countries : {answer(404, "[]"), answer(200, "{}"), answer(200, "x")}) {
    server_.respond("/v1/servers/countries", countries);
    EXPECT_EQ(test::textOf(call("nordvpn_servers", {{"country", "us"}})), refusal);
  }
  EXPECT_TRUE(server_.requestsTo(kRecommendations).empty());
}

TEST_F(NordVPNServersTest, MapsTheServersAndRefusesBadAnswers) {
  server_.respond(kRecommendations, answer(200, R"([
    {"name": "US #1", "hostname": "us1.example", "load": 17, "status": "online",
     "locations": [{"country": {"name": "United States", "city": {"name": "New York"}}}],
     "technologies": [{"name": "WireGuard"}, {"id": 3}, {"name": "OpenVPN"}]},
    {"name": "DE #2", "load": 2.5, "technologies": [],
     "locations": [{"country": {"name": "Germany"}, "city": {"name": "Berlin"}}]},
    {"hostname": 7, "locations": [], "technologies": ["plain"]}])"));
  EXPECT_EQ(test::jsonOf(call("nordvpn_servers")), json::parse(R"({"count": 3, "servers": [
    {"name": "US #1", "hostname": "us1.example", "load": 17, "status": "online",
     "country": "United States", "city": "New York", "technologies": ["WireGuard", "OpenVPN"]},
    {"name": "DE #2", "hostname": "", "load": 0, "status": "", "country": "Germany",
     "city": "Berlin", "technologies": []},
    {"name": "", "hostname": "", "load": 0, "status": ""}],
    "note": "These are recommended servers. Connect/disconnect must be done manually in the NordVPN app."})"));

  const std::pair<test::CannedResponse, std::string> failures[] = {
      {answer(404, "[]"), "NordVPN API returned HTTP 404"},
      {answer(201, "[]"), "NordVPN API returned HTTP 201"},
      {answer(200, R"({"servers": []})"), "Invalid response from NordVPN API"},
      {answer(200, "[1, 2]"), "Invalid response from NordVPN API"}};
  for (const auto& [response, text] : failures) {
    server_.respond(kRecommendations, response);
    EXPECT_EQ(test::textOf(call("nordvpn_servers")), "failed: " + text);
  }
  server_.respond(kRecommendations, answer(200, "[]"));
  EXPECT_EQ(test::jsonOf(call("nordvpn_servers"))["count"], 0);
  ::setenv("TVRN_VPN_API_URL", "http://127.0.0.1:1", 1);
  EXPECT_EQ(test::textOf(call("nordvpn_servers")).rfind("failed: Network error: ", 0), 0u);
}

TEST(NordVPNDiagnoseTest, ReportsTheAppAndItsDefaults) {
  EXPECT_EQ(test::textOf(call("nordvpn_diagnose")),
            "## NordVPN Diagnostic Report\n\n**Installed:** No\n\nNordVPN is not installed. "
            "Download from the App Store or nordvpn.com.");
  installNordVPN();
  test::writeDefaults(
      "com.nordvpn.NordVPN",
      {{"isAppWasConnectedToVPN", 1}, {"connectOnDemand", true}, {"lastMapLocation", "Tokyo"}});
  EXPECT_EQ(test::textOf(call("nordvpn_diagnose")),
            "## NordVPN Diagnostic Report\n\n**Installed:** Yes\n**Version:** 8.1.2\n"
            "**App running:** No\n**VPN connected:** Yes\n**Auto-connect:** On\n"
            "**Last location:** Tokyo\n\n" +
                std::string(NordVPNTexts::kOpenAction) + "\n\n" + NordVPNTexts::kDiagnoseNote);
}

TEST(NordVPNDiagnoseTest, ReadsFindingsFromTheNewestLogsTail) {
  installNordVPN();
  const auto folder =
      Paths::underHome("Library/Group Containers/W5W395V82Y.group.com.nordvpn/Library/Caches/Logs");
  // Each row: log files, oldest first, then the finding lines.
  const json cases = json::parse(R"([
    [[["a.log", "subscription has expired\nuser: true\n"]], "\n**Subscription:** expired"],
    [[["a.log", "user: true\nuser: false"]], "\n**Account:** not logged in"],
    [[["a.log", "user: true\nKill Switch status: on\nKill Switch status: off\nx"]],
     "\n**Account:** logged in\n**Kill switch:** off"],
    [[["a.log", "supported protocols reset to: [a]\nsupported protocols reset to: [c] x\n"]],
     "\n**Protocols:** [c]"],
    [[["a.log", "supported protocols reset to: nordlynx"]], "\n**Protocols:** nordlynx]"],
    [[["a.LOG", "user: true"], ["b.txt", "user: true"]], ""],
    [[["old.log", "user: true"], ["new.log", "user: false"]], "\n**Account:** not logged in"],
    [[["new.log", "user: false"], ["old.log", "user: true"]], "\n**Account:** logged in"]])");
  const auto check = [&](const json& logs, const std::string& findings) {
    std::filesystem::remove_all(folder);
    auto age = std::chrono::minutes(10 * logs.size());
    for (const auto& log : logs) {
      test::writeFile(folder / log[0].get<std::string>(), log[1]);
      age -= std::chrono::minutes(10);
      std::filesystem::last_write_time(folder / log[0].get<std::string>(),
                                       std::filesystem::file_time_type::clock::now() - age);
    }
    const std::string report = test::textOf(call("nordvpn_diagnose"));
    const auto begin = report.find("**Auto-connect:** Off") + 21;
    EXPECT_EQ(report.substr(begin, report.find("\n\n- **Action:**") - begin), findings) << logs;
  };
  for (const auto& c : cases) check(c[0], c[1]);
  // Only the last 4000 characters count, and a log that is not UTF-8 is not read.
  check(json::array({{"a.log", "user: true\n" + std::string(4000, 'x')}}), "");
  check(json::array({{"a.log", "user: true\xFF"}}), "");
}

}  // namespace
}  // namespace tvrn
