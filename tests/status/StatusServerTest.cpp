#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "cloud/PushMessageStore.h"
#include "core/ActivityTracker.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "core/MCPClientTracker.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestStore.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "platform/Timestamp.h"
#include "status/StatusDecoder.h"
#include "status/StatusServer.h"
#include "support/LockHolder.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kVersion = "3.0.100";

std::string baseURL(int port) { return "http://127.0.0.1:" + std::to_string(port); }

HttpResult send(int port, const std::string& method, const std::string& path,
                const std::string& body = "", HttpHeaders headers = {}) {
  return HttpClient::perform({method, baseURL(port) + path, std::move(headers), body, 10s});
}

json postJSON(int port, const std::string& path, const std::string& body) {
  const auto answer = send(port, "POST", path, body, {{"Content-Type", "application/json"}});
  if (!answer || answer.value().status != 200) return "no answer";
  return json::parse(answer.value().body, nullptr, false);
}

bool answersWithin(int port, std::chrono::milliseconds patience) {
  const auto until = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < until) {
    if (auto answer = send(port, "GET", "/status"); answer && answer.value().status == 200) {
      return true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

json userSettings() {
  return json::parse(test::readFile(ConfigManager::shared().configPath()), nullptr, false);
}

class StatusServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::useUnusedStatusPort();
    server_.start();
    ASSERT_TRUE(answersWithin(port_, 5s));
  }
  void TearDown() override { server_.stop(); }

  json status() {
    const auto answer = send(port_, "GET", "/status");
    return answer ? json::parse(answer.value().body, nullptr, false) : json();
  }

  int port_ = 0;
  StatusServer server_{kVersion};
};

// A page of any web site, or a name rebound to 127.0.0.1, must neither read nor change anything;
// the tray, the counters and the settings page must pass.
TEST_F(StatusServerTest, RefusesRequestsThatDoNotComeFromThisMachinesOwnClients) {
  const std::string own = std::to_string(port_);
  const std::string other = std::to_string(port_ == 65535 ? port_ - 1 : port_ + 1);
  const json body = {{"auto_update", true}};
  struct Case {
    const char* name;
    std::string method;
    HttpHeaders headers;
    int status;
  };
  const Case cases[] = {
      {"plain read", "GET", {}, 200},
      {"read by localhost", "GET", {{"Host", "localhost:" + own}}, 200},
      {"read by [::1]", "GET", {{"Host", "[::1]:" + own}}, 200},
      {"host in capitals", "GET", {{"Host", "LOCALHOST:" + own}}, 200},
      {"rebound name", "GET", {{"Host", "evil.test:" + own}}, 403},
      {"another port", "GET", {{"Host", "127.0.0.1:" + other}}, 403},
      {"no port", "GET", {{"Host", "127.0.0.1"}}, 403},
      {"tray's settings change", "POST", {{"Content-Type", "application/json"}}, 200},
      {"with a charset", "POST", {{"Content-Type", "application/json; charset=utf-8"}}, 200},
      {"own page",
       "POST",
       {{"Content-Type", "application/json"}, {"Origin", "http://localhost:" + own}},
       200},
      {"rebound post",
       "POST",
       {{"Content-Type", "application/json"}, {"Host", "evil.test:" + own}},
       403},
      {"foreign page",
       "POST",
       {{"Content-Type", "application/json"}, {"Origin", "http://evil.test"}},
       403},
      {"page on another port",
       "POST",
       {{"Content-Type", "application/json"}, {"Origin", "http://127.0.0.1:" + other}},
       403},
      {"sandboxed page", "POST", {{"Content-Type", "application/json"}, {"Origin", "null"}}, 403},
      {"simple form post", "POST", {{"Content-Type", "text/plain"}}, 415},
      {"url-encoded form", "POST", {{"Content-Type", "application/x-www-form-urlencoded"}}, 415},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigManager::updateUserFile(ConfigManager::shared().configPath(),
                                  [](json& user) { user.erase("auto_update"); });
    const auto answer = send(port_, c.method, c.method == "GET" ? "/status" : "/config",
                             c.method == "GET" ? "" : body.dump(), c.headers);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer.value().status, c.status);
    EXPECT_FALSE(answer.value().header("Access-Control-Allow-Origin"));
    const bool changed = userSettings().contains("auto_update");
    EXPECT_EQ(changed, c.method == "POST" && c.status == 200);
  }
}

TEST_F(StatusServerTest, ToolCallAndErrorReportsFeedTheCountersOfThisProcess) {
  struct Case {
    const char* path;
    const char* body;
    json reply;
  };
  const json ok = {{"ok", true}};
  const json noTool = {{"ok", false}, {"error", "missing 'tool' string"}};
  const json noType = {{"ok", false}, {"error", "missing 'tool' or 'error_type'"}};
  const Case cases[] = {
      {"/tool-call", R"({"tool": "list_emails", "ai_client": "Cursor"})", ok},
      {"/tool-call", R"({"tool": "read_email", "ai_client": "CLI"})", ok},
      {"/tool-call", R"({"tool": ""})", noTool},
      {"/tool-call", R"({"tool": 5})", noTool},
      {"/tool-call", R"(["list_emails"])", noTool},
      {"/tool-call", "not json", noTool},
      {"/tool-error", R"({"tool": "list_emails", "error_type": "jxa_timeout"})", ok},
      {"/tool-error", R"({"tool": "list_emails"})", noType},
      {"/tool-error", R"({"tool": "list_emails", "error_type": ""})", noType},
      {"/tool-error", "{", noType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    EXPECT_EQ(postJSON(port_, c.path, c.body), c.reply);
  }

  const auto calls = ToolCallCounter::consume();
  EXPECT_EQ(calls.total, 2);
  EXPECT_EQ(calls.breakdown,
            (std::map<std::string, std::int64_t>{{"list_emails", 1}, {"read_email", 1}}));
  const auto errors = ToolErrorCounter::consume();
  EXPECT_EQ(errors.breakdown,
            (std::map<std::string, std::int64_t>{{"list_emails:jxa_timeout", 1}}));
  const auto recent = ActivityTracker::recentEntries();
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0].tool, "read_email");
  EXPECT_EQ(recent[0].source, CallSource::local);
  // "CLI" names no client, so the last one named stays.
  EXPECT_EQ(MCPClientTracker::last(), "Cursor");
}

TEST_F(StatusServerTest, SettingsRouteStoresOnlyWhatItAllows) {
  Manifest manifest;
  manifest.remoteConfig.entries["config_allowed_keys"] = " theme ,color,";
  ManifestStore::shared().setManifest(manifest);
  ConfigManager::shared().save({{"read_only", false}});

  struct Case {
    const char* body;
    json reply;
    json stored;  // the members of config.json the case looks at, afterwards
  };
  const json ok = {{"ok", true}};
  const Case cases[] = {
      {R"({"auto_update": true, "read_only": true, "theme": "dark"})",
       ok,
       {{"auto_update", true}, {"read_only", false}, {"theme", "dark"}}},
      {R"({"auto_update": "no", "color": [1, 2]})", ok, {{"auto_update", true}, {"color", {1, 2}}}},
      {R"({"action": "update"})", ok, {{"auto_update", true}}},
      {"{nope", {{"ok", false}, {"error", "invalid JSON"}}, {{"auto_update", true}}},
      {"[true]", {{"ok", false}, {"error", "invalid JSON"}}, {{"auto_update", true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(postJSON(port_, "/config", c.body), c.reply);
    const json settings = userSettings();
    for (const auto& [key, value] : c.stored.items()) EXPECT_EQ(settings[key], value) << key;
  }
  EXPECT_FALSE(userSettings().contains("action"));
}

TEST_F(StatusServerTest, TrayEventsAreForwardedToTheBackEnd) {
  test::RecordingHttpServer backend;
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);

  EXPECT_EQ(postJSON(port_, "/tray-event", R"({"from_version": "3.0.100"})"),
            json({{"ok", false}, {"error", "missing event"}}));
  EXPECT_EQ(postJSON(port_, "/tray-event",
                     R"({"event": "tray_nudge_shown", "machine_id": "M-1", "versions_behind": 4})"),
            json({{"ok", true}}));
  EXPECT_EQ(postJSON(port_, "/tray-event", R"({"event": "tray_update_started"})"),
            json({{"ok", true}}));

  ASSERT_TRUE(backend.waitForRequests(2, 5s));
  const auto events = backend.requestsTo("/events");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].json(), json({{"type", "tray_nudge_shown"},
                                    {"machine_id", "M-1"},
                                    {"source", "tray"},
                                    {"data", {{"versions_behind", 4}}}}));
  EXPECT_EQ(events[1].json()["machine_id"], ConfigManager::shared().getMachineId());
  EXPECT_EQ(events[1].json()["data"], json::object());
}

TEST_F(StatusServerTest, CloudDataSwitchKeepsTheOldValueUnlessTheBackEndTakesTheNewOne) {
  test::RecordingHttpServer backend;
  struct Case {
    const char* name;
    const char* body;
    std::optional<json> before;  // cloud_data_enabled in the user's file; nothing: absent
    int backendStatus;
    json reply;
    std::optional<json> after;
  };
  const json ok = {{"ok", true}};
  const Case cases[] = {
      {"taken", R"({"enabled": true})", false, 200, ok, true},
      {"refused",
       R"({"enabled": true})",
       false,
       503,
       {{"ok", false}, {"error", "Backend update failed: HTTP 503"}},
       false},
      {"refused, was unset",
       R"({"enabled": false})",
       std::nullopt,
       401,
       {{"ok", false}, {"error", "Backend update failed: HTTP 401"}},
       std::nullopt},
      {"not a Bool",
       R"({"enabled": "true"})",
       true,
       200,
       {{"ok", false}, {"error", "missing 'enabled' bool"}},
       true},
  };
  ConfigManager::shared().save({{"cloud_token", "T-1"}});
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigManager::updateUserFile(ConfigManager::shared().configPath(), [&](json& user) {
      user.erase("cloud_data_enabled");
      if (c.before) user["cloud_data_enabled"] = *c.before;
    });
    test::CannedResponse answer;
    answer.status = c.backendStatus;
    answer.body = "{}";
    backend.respond("/cloud-data", answer);
    EXPECT_EQ(postJSON(port_, "/cloud-data-enable", c.body), c.reply);
    const json settings = userSettings();
    EXPECT_EQ(settings.contains("cloud_data_enabled"), c.after.has_value());
    if (c.after) {
      EXPECT_EQ(settings["cloud_data_enabled"], *c.after);
    }
  }
  const auto sent = backend.requestsTo("/cloud-data");
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer T-1");
  EXPECT_EQ(sent[0].json(),
            json({{"enabled", true}, {"machine_id", ConfigManager::shared().getMachineId()}}));

  // No back end at all: the same as a refusal, with the transport's reason.
  ConfigManager::updateUserFile(ConfigManager::shared().configPath(),
                                [](json& user) { user.erase("cloud_data_enabled"); });
  ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);
  const json unreachable = postJSON(port_, "/cloud-data-enable", R"({"enabled": true})");
  EXPECT_EQ(unreachable["ok"], false);
  EXPECT_EQ(unreachable["error"].get<std::string>().rfind("Backend update failed: ", 0), 0u);
  EXPECT_FALSE(userSettings().contains("cloud_data_enabled"));

  ConfigManager::shared().save({{"cloud_token", ""}});
  EXPECT_EQ(
      postJSON(port_, "/cloud-data-enable", R"({"enabled": true})"),
      json({{"ok", false}, {"error", "no cloud token configured — connect Cloud Relay first"}}));
  EXPECT_FALSE(userSettings().contains("cloud_data_enabled"));
}

TEST_F(StatusServerTest, RefusesBodiesOverOneMebibyte) {
  const std::string padding(StatusServer::kMaxBodyBytes, ' ');
  const auto tooLarge = send(port_, "POST", "/tool-call", R"({"tool": "big"})" + padding,
                             {{"Content-Type", "application/json"}});
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge.value().status, 413);
  const std::string fits = R"({"tool": "big"})";
  EXPECT_EQ(postJSON(port_, "/tool-call", fits + padding.substr(fits.size())),
            json({{"ok", true}}));
  EXPECT_EQ(ToolCallCounter::consume().total, 1);
}

TEST_F(StatusServerTest, StatusDecodesAsTheTrayReadsIt) {
  test::writeFile(Paths::localShare() / "bin/.latest-version", "3.0.104\n");
  test::writeFile(Paths::localShare() / "bin/.server-version", "3.0.101");
  test::writeFile(Paths::appSupport() / "tunnel-state.json",
                  json({{"connected", true}, {"updated_at", Timestamp::iso8601UTC()}}).dump());
  ConfigManager::shared().save({{"auto_update", true},
                                {"cloud_data_enabled", true},
                                {"api_key", "k"},
                                {"network_mode", "any"},
                                {"disabled_services", {"slack"}},
                                {"first_tool_call_at", "2026-01-02T03:04:05Z"}});
  PushMessageStore::shared().setMessage("[NUDGE] set up a client");
  ActivityTracker::record(CallSource::cloud, "first_tool");
  ActivityTracker::record(CallSource::local, "second_tool");

  const json document = status();
  const auto decoded = test::decodeStatus(document);
  ASSERT_FALSE(decoded.failure) << *decoded.failure << "\n" << document.dump(2);
  EXPECT_TRUE(decoded.droppedServices.empty());

  EXPECT_EQ(document["server"], "connected");
  EXPECT_EQ(document["version"], kVersion);
  EXPECT_EQ(document["url"], "unix://" + IPCServer::socketPath().string());
  EXPECT_EQ(document["port"], port_);
  EXPECT_EQ(document["security"], json({{"api_key_enabled", true}, {"network_mode", "any"}}));
  EXPECT_EQ(document["update"], json({{"version", "3.0.104"}, {"versions_behind", 4}}));
  EXPECT_EQ(document["pending_restart_version"], "3.0.101");
  EXPECT_EQ(document["auto_update"], true);
  EXPECT_EQ(document["cloud_data_enabled"], true);
  EXPECT_EQ(document["tunnel_connected"], true);
  EXPECT_EQ(document["push_message"], "[NUDGE] set up a client");
  EXPECT_EQ(document["first_tool_call_at"], "2026-01-02T03:04:05Z");
  EXPECT_EQ(document["disabled_services"], json({"slack"}));
  EXPECT_EQ(document["machine_id"], ConfigManager::shared().getMachineId());
  EXPECT_FALSE(document.contains("cloud_token"));
  EXPECT_FALSE(document.contains("service_errors"));
  EXPECT_TRUE(document["started_at"].get<std::string>().ends_with("Z"));
  EXPECT_EQ(document["started_at"].get<std::string>().size(), 20u);
  for (const char* key : {"calendar", "reminders", "contacts"}) {
    EXPECT_TRUE(document["permissions"].contains(key)) << key;
  }

  const auto& newest = document["last_activity"];
  EXPECT_EQ(newest["tool"], "second_tool");
  EXPECT_EQ(newest["source"], "local");
  EXPECT_EQ(newest["ago_s"], 0);
  const std::string at = newest["at"];
  ASSERT_EQ(at.size(), 24u) << at;  // 2026-03-01T09:15:02.417Z
  EXPECT_EQ(at[19], '.');
  EXPECT_TRUE(Timestamp::parseISO8601(at));
  ASSERT_EQ(document["recent_activity"].size(), 2u);
  EXPECT_EQ(document["recent_activity"][0], newest);
  EXPECT_EQ(document["recent_activity"][1]["source"], "cloud");
}

TEST_F(StatusServerTest, StatusNamesAnUpdateOnlyWhenTheAnnouncedVersionIsNewer) {
  struct Case {
    const char* latest;
    const char* installed;
    json update;  // null: no "update"
    json pending;
  };
  const Case cases[] = {
      {"3.0.103", "3.0.100", {{"version", "3.0.103"}, {"versions_behind", 3}}, nullptr},
      {"3.0.98", "3.0.99", nullptr, nullptr},
      {"3.1", "3.0.101", {{"version", "3.1"}, {"versions_behind", 0}}, "3.0.101"},
      {"  \n", "", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.latest);
    test::writeFile(Paths::localShare() / "bin/.latest-version", c.latest);
    test::writeFile(Paths::localShare() / "bin/.server-version", c.installed);
    const json document = status();
    EXPECT_EQ(document.contains("update") ? document["update"] : json(), c.update);
    EXPECT_EQ(
        document.contains("pending_restart_version") ? document["pending_restart_version"] : json(),
        c.pending);
  }
}

TEST_F(StatusServerTest, SettingsPageForbidsFramingAndCarriesBothTabs) {
  const auto page = send(port_, "GET", "/app");
  ASSERT_TRUE(page);
  EXPECT_EQ(page.value().status, 200);
  EXPECT_EQ(page.value().header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page.value().header("X-Frame-Options"), "DENY");
  EXPECT_FALSE(page.value().header("Access-Control-Allow-Origin"));
  const std::string& html = page.value().body;
  for (const char* part : {"id=\"tab-connect\"", "id=\"tab-help\"", "socat STDIO UNIX-CONNECT:",
                           "/cloud-data-enable", "'Content-Type': 'application/json'"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(html.find("innerHTML"), std::string::npos);
  EXPECT_NE(html.find(json(ConfigManager::shared().configPath().string()).dump()),
            std::string::npos);
}

TEST_F(StatusServerTest, AnotherServerCannotShareThePort) {
  StatusServer second("9.9.9");
  second.start();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(status()["version"], kVersion);
  second.stop();
}

// Paths are put into the page as data, never as markup: a folder name that closes the script
// element stays inside its string.
TEST(StatusPageTest, FileLocationsCannotBreakOutOfThePageData) {
  const auto strange = test::home() / "x</script><b>y";
  ::setenv("XDG_CONFIG_HOME", strange.c_str(), 1);
  const int port = test::useUnusedStatusPort();
  StatusServer server(kVersion);
  server.start();
  ASSERT_TRUE(answersWithin(port, 5s));
  const auto page = send(port, "GET", "/app");
  server.stop();
  ASSERT_TRUE(page);
  const std::string& html = page.value().body;
  EXPECT_EQ(html.find("x</script>"), std::string::npos);
  EXPECT_NE(html.find("x\\u003c/script\\u003e\\u003cb\\u003ey"), std::string::npos);
}

TEST(StatusServerStartTest, WaitsForAPortThatIsBrieflyTaken) {
  const int port = test::useUnusedStatusPort();
  // Hold the port for a moment, as a process the clean-up has just signalled would.
  auto holder = std::make_unique<StatusServer>("0.0.1");
  holder->start();
  ASSERT_TRUE(answersWithin(port, 5s));
  StatusServer server(kVersion);
  server.start();
  std::this_thread::sleep_for(300ms);
  holder.reset();
  const auto until = std::chrono::steady_clock::now() + 5s;
  json version;
  while (std::chrono::steady_clock::now() < until && version != kVersion) {
    if (auto answer = send(port, "GET", "/status"); answer) {
      version = json::parse(answer.value().body, nullptr, false)["version"];
    }
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(version, kVersion);
  server.stop();
}

TEST(StatusFileTest, WrittenOnlyOnceThisProcessHoldsTheTunnelLock) {
  test::useUnusedStatusPort();
  const auto lockFile = Paths::appSupport() / "cloudtunnel.lock";
  const auto statusFile = Paths::appSupport() / "status.json";
  auto holder = test::holdLockInChild(lockFile);
  ASSERT_TRUE(holder);

  StatusServer server(kVersion);
  server.start();
  // Free to write, the writer would do so at once.
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(std::filesystem::exists(statusFile));

  holder->terminate();
  const auto deadline = std::chrono::steady_clock::now() + 6s;
  while (std::chrono::steady_clock::now() < deadline && !std::filesystem::exists(statusFile)) {
    std::this_thread::sleep_for(20ms);
  }
  server.stop();
  ASSERT_TRUE(std::filesystem::exists(statusFile));
  struct stat info {};
  ASSERT_EQ(::stat(statusFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(test::decodeStatus(json::parse(test::readFile(statusFile))).failure);
}

}  // namespace
}  // namespace tvrn
