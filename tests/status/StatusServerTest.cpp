#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "app/ServerStatus.h"
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
#include "platform/Subprocess.h"
#include "platform/Timestamp.h"
#include "status/StatusServer.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kVersion = "3.0.100";

HttpResult send(int port, const std::string& method, const std::string& path,
                const std::string& body = "", HttpHeaders headers = {}) {
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  return HttpClient::perform({method, url, std::move(headers), body, 10s});
}

json postJSON(int port, const std::string& path, const std::string& body) {
  const auto answer = send(port, "POST", path, body, {{"Content-Type", "application/json"}});
  if (!answer || answer.value().status != 200) return "no answer";
  return json::parse(answer.value().body, nullptr, false);
}

// The status document once the server answers with `version` (any, when empty), else null.
json statusWithin(int port, std::chrono::milliseconds patience, const std::string& version = "") {
  const auto until = std::chrono::steady_clock::now() + patience;
  do {
    if (auto answer = send(port, "GET", "/status"); answer && answer.value().status == 200) {
      json document = json::parse(answer.value().body, nullptr, false);
      if (version.empty() || document["version"] == version) return document;
    }
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < until);
  return nullptr;
}

json userSettings() {
  return json::parse(test::readFile(ConfigManager::shared().configPath()), nullptr, false);
}

// Every service the scanner writes reaches the tray; teams' integer tenants reads as absent.
void expectEveryServiceReported(const Services& s) {
  EXPECT_TRUE(s.email && s.calendar && s.contacts && s.onedrive && s.teams && s.reminders &&
              s.notes && s.messages && s.finder && s.safari && s.omnifocus && s.nordvpn &&
              s.slack && s.whatsapp && s.m365);
  EXPECT_FALSE(s.teams && s.teams->tenants);
}

void setUserKey(const char* key, const std::optional<json>& value) {
  ConfigManager::updateUserFile(ConfigManager::shared().configPath(), [&](json& user) {
    user.erase(key);
    if (value) user[key] = *value;
  });
}

class StatusServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = test::useUnusedStatusPort();
    server_.start();
    ASSERT_FALSE(statusWithin(port_, 5s).is_null());
  }
  void TearDown() override { server_.stop(); }

  int port_ = 0;
  StatusServer server_{kVersion};
};

// A page of any web site, or a name rebound to 127.0.0.1, must neither read nor change anything;
// the tray, the counters and the settings page must pass.
TEST_F(StatusServerTest, RefusesRequestsThatDoNotComeFromThisMachinesOwnClients) {
  const std::string own = std::to_string(port_), other = std::to_string(port_ ^ 1);
  struct Case {
    std::string method, host, origin, type;  // empty: header not set
    int status;
  };
  const Case cases[] = {
      {"GET", "", "", "", 200},
      {"GET", "LOCALHOST:" + own, "", "", 200},
      {"GET", "evil.test:" + own, "", "", 403},
      {"GET", "127.0.0.1:" + other, "", "", 403},
      {"GET", "127.0.0.1", "", "", 403},
      {"POST", "", "", "application/json; charset=utf-8", 200},
      {"POST", "", "http://localhost:" + own, "application/json", 200},
      {"POST", "evil.test:" + own, "", "application/json", 403},
      {"POST", "", "http://evil.test", "application/json", 403},
      {"POST", "", "http://127.0.0.1:" + other, "application/json", 403},
      {"POST", "", "null", "application/json", 403},
      {"POST", "", "", "text/plain", 415},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.host + " " + c.origin + " " + c.type);
    setUserKey("auto_update", std::nullopt);
    HttpHeaders headers;
    if (!c.host.empty()) headers.emplace_back("Host", c.host);
    if (!c.origin.empty()) headers.emplace_back("Origin", c.origin);
    if (!c.type.empty()) headers.emplace_back("Content-Type", c.type);
    const bool post = c.method == "POST";
    const auto answer = send(port_, c.method, post ? "/config" : "/status",
                             post ? R"({"auto_update": true})" : "", headers);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer.value().status, c.status);
    EXPECT_FALSE(answer.value().header("Access-Control-Allow-Origin"));
    EXPECT_EQ(userSettings().contains("auto_update"), post && c.status == 200);
  }
}

TEST_F(StatusServerTest, ToolCallAndErrorReportsFeedTheCountersOfThisProcess) {
  const json ok = {{"ok", true}};
  const json noTool = {{"ok", false}, {"error", "missing 'tool' string"}};
  const json noType = {{"ok", false}, {"error", "missing 'tool' or 'error_type'"}};
  const std::tuple<const char*, const char*, json> cases[] = {
      {"/tool-call", R"({"tool": "list_emails", "ai_client": "Cursor"})", ok},
      {"/tool-call", R"({"tool": "read_email", "ai_client": "CLI"})", ok},
      {"/tool-call", R"({"tool": ""})", noTool},
      {"/tool-call", R"(["list_emails"])", noTool},
      {"/tool-call", "not json", noTool},
      {"/tool-error", R"({"tool": "list_emails", "error_type": "jxa_timeout"})", ok},
      {"/tool-error", R"({"tool": "list_emails", "error_type": ""})", noType},
  };
  for (const auto& [path, body, reply] : cases)
    EXPECT_EQ(postJSON(port_, path, body), reply) << body;

  using Counts = std::map<std::string, std::int64_t>;
  EXPECT_EQ(ToolCallCounter::consume().breakdown, (Counts{{"list_emails", 1}, {"read_email", 1}}));
  EXPECT_EQ(ToolErrorCounter::consume().breakdown, (Counts{{"list_emails:jxa_timeout", 1}}));
  const auto recent = ActivityTracker::recentEntries();
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0].tool, "read_email");
  EXPECT_EQ(recent[0].source, CallSource::local);
  EXPECT_EQ(MCPClientTracker::last(), "Cursor");  // "CLI" names no client
}

TEST_F(StatusServerTest, SettingsRouteStoresOnlyWhatItAllows) {
  Manifest manifest;
  manifest.remoteConfig.entries["config_allowed_keys"] = " theme ,color,";
  ManifestStore::shared().setManifest(manifest);
  ConfigManager::shared().save({{"read_only", false}});
  const json ok = {{"ok", true}}, invalid = {{"ok", false}, {"error", "invalid JSON"}};
  EXPECT_EQ(postJSON(port_, "/config", R"({"auto_update": true, "read_only": true, "theme": 1})"),
            ok);
  EXPECT_EQ(postJSON(port_, "/config", R"({"auto_update": "no", "action": "update"})"),
            json({{"ok", true}, {"triggered", true}}));
  EXPECT_EQ(postJSON(port_, "/config", "{nope"), invalid);
  EXPECT_EQ(postJSON(port_, "/config", "[true]"), invalid);
  const json settings = userSettings();
  EXPECT_EQ(settings["auto_update"], true);
  EXPECT_EQ(settings["read_only"], false);
  EXPECT_EQ(settings["theme"], 1);
  EXPECT_FALSE(settings.contains("action"));

  // A settings file that no longer parses is left alone, and the caller is told.
  test::writeFile(ConfigManager::shared().configPath(), "{broken");
  EXPECT_EQ(postJSON(port_, "/config", R"({"auto_update": false})"),
            json({{"ok", false}, {"error", "could not save the settings"}}));
  EXPECT_EQ(test::readFile(ConfigManager::shared().configPath()), "{broken");
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
}

TEST_F(StatusServerTest, CloudDataSwitchKeepsTheOldValueUnlessTheBackEndTakesTheNewOne) {
  test::RecordingHttpServer backend;
  const auto failed = [](std::string why) { return json{{"ok", false}, {"error", why}}; };
  struct Case {
    const char* body;
    std::optional<json> before;  // cloud_data_enabled in the user's file; nothing: absent
    int backendStatus;
    json reply;
    std::optional<json> after;
  };
  const Case cases[] = {
      {R"({"enabled": true})", false, 200, {{"ok", true}}, true},
      {R"({"enabled": true})", false, 503, failed("Backend update failed: HTTP 503"), false},
      {R"({"enabled": false})", std::nullopt, 401, failed("Backend update failed: HTTP 401"),
       std::nullopt},
      {R"({"enabled": "true"})", true, 200, failed("missing 'enabled' bool"), true},
  };
  ConfigManager::shared().save({{"cloud_token", "T-1"}});
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    setUserKey("cloud_data_enabled", c.before);
    test::CannedResponse answer;
    answer.status = c.backendStatus;
    backend.respond("/cloud-data", answer);
    EXPECT_EQ(postJSON(port_, "/cloud-data-enable", c.body), c.reply);
    EXPECT_EQ(userSettings().value("cloud_data_enabled", json()), c.after.value_or(nullptr));
  }
  const auto sent = backend.requestsTo("/cloud-data");
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer T-1");
  EXPECT_EQ(sent[0].json(),
            json({{"enabled", true}, {"machine_id", ConfigManager::shared().getMachineId()}}));

  setUserKey("cloud_data_enabled", std::nullopt);
  ConfigManager::shared().save({{"cloud_token", ""}});
  EXPECT_EQ(postJSON(port_, "/cloud-data-enable", R"({"enabled": true})"),
            failed("no cloud token configured — connect Cloud Relay first"));
  EXPECT_FALSE(userSettings().contains("cloud_data_enabled"));
}

TEST_F(StatusServerTest, RefusesBodiesOverOneMebibyte) {
  const std::string tool = R"({"tool": "big"})";
  const std::string padding(StatusServer::kMaxBodyBytes - tool.size(), ' ');
  const auto tooLarge = send(port_, "POST", "/tool-call", tool + padding + " ",
                             {{"Content-Type", "application/json"}});
  ASSERT_TRUE(tooLarge);
  EXPECT_EQ(tooLarge.value().status, 413);
  EXPECT_EQ(postJSON(port_, "/tool-call", tool + padding), json({{"ok", true}}));
  EXPECT_EQ(ToolCallCounter::consume().total, 1);
}

TEST_F(StatusServerTest, StatusDecodesAsTheTrayReadsIt) {
  test::writeFile(Paths::localShare() / "bin/.latest-version", "3.0.104\n");
  test::writeFile(Paths::localShare() / "bin/.server-version", "3.0.101");
  test::writeFile(Paths::appSupport() / "tunnel-state.json",
                  json({{"connected", true}, {"updated_at", Timestamp::iso8601UTC()}}).dump());
  ConfigManager::shared().save({{"auto_update", true},
                                {"api_key", "k"},
                                {"network_mode", "any"},
                                {"disabled_services", {"slack"}},
                                {"first_tool_call_at", "2026-01-02T03:04:05Z"}});
  PushMessageStore::shared().setMessage("[NUDGE] set up a client");
  ActivityTracker::record(CallSource::cloud, "first_tool");
  ActivityTracker::record(CallSource::local, "second_tool");

  const json document = statusWithin(port_, 5s);
  const auto decoded = decodeServerStatus(document);
  ASSERT_TRUE(decoded) << decoded.error() << "\n" << document.dump(2);
  expectEveryServiceReported(decoded.value().services);

  EXPECT_EQ(document["url"], "unix://" + IPCServer::socketPath().string());
  EXPECT_EQ(document["security"], json({{"api_key_enabled", true}, {"network_mode", "any"}}));
  EXPECT_EQ(document["update"], json({{"version", "3.0.104"}, {"versions_behind", 4}}));
  EXPECT_EQ(document["pending_restart_version"], "3.0.101");
  EXPECT_EQ(document["tunnel_connected"], true);
  EXPECT_FALSE(document.contains("cloud_token"));
  EXPECT_EQ(document["started_at"].get<std::string>().size(), 20u);  // to the second

  const auto& newest = document["last_activity"];
  EXPECT_EQ(newest["tool"], "second_tool");
  EXPECT_EQ(newest["source"], "local");
  EXPECT_EQ(newest["at"].get<std::string>().size(), 24u);  // 2026-03-01T09:15:02.417Z
  ASSERT_EQ(document["recent_activity"].size(), 2u);
  EXPECT_EQ(document["recent_activity"][0], newest);

  // An announced or installed version that is not newer than the running one is no news.
  test::writeFile(Paths::localShare() / "bin/.latest-version", "3.0.98");
  test::writeFile(Paths::localShare() / "bin/.server-version", "3.0.100");
  const json current = statusWithin(port_, 5s);
  EXPECT_FALSE(current.contains("update"));
  EXPECT_FALSE(current.contains("pending_restart_version"));
}

// Paths are put into the page as data, never as markup: a folder name that closes the script
// element stays inside its string.
TEST(StatusPageTest, ForbidsFramingAndKeepsFileLocationsOutOfTheMarkup) {
  ::setenv("XDG_CONFIG_HOME", (test::home() / "x</script><b>y").c_str(), 1);
  const int port = test::useUnusedStatusPort();
  StatusServer server(kVersion);
  server.start();
  ASSERT_FALSE(statusWithin(port, 5s).is_null());
  const auto page = send(port, "GET", "/app");
  ASSERT_TRUE(page);
  EXPECT_EQ(page.value().status, 200);
  EXPECT_EQ(page.value().header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page.value().header("X-Frame-Options"), "DENY");
  const std::string& html = page.value().body;
  for (const char* part : {"id=\"tab-connect\"", "id=\"tab-help\"", "x\\u003c/script\\u003e"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(html.find("x</script>"), std::string::npos);
  // No stdio server program installed: the page falls back to the socat command.
  EXPECT_NE(html.find("\"stdio_server\":\"\""), std::string::npos);
  EXPECT_EQ(html.find("innerHTML"), std::string::npos);
}

// A second server never shares the port (each connection would go to either), and takes it over
// once the first lets go, as after the clean-up has signalled an old server.
TEST(StatusServerStartTest, WaitsForThePortInsteadOfSharingIt) {
  const int port = test::useUnusedStatusPort();
  auto first = std::make_unique<StatusServer>("1.0.0");
  first->start();
  ASSERT_FALSE(statusWithin(port, 5s).is_null());
  StatusServer second(kVersion);
  second.start();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(statusWithin(port, 5s)["version"], "1.0.0");
  first.reset();
  EXPECT_FALSE(statusWithin(port, 5s, kVersion).is_null());
}

TEST(StatusFileTest, WrittenOnlyOnceThisProcessHoldsTheTunnelLock) {
  test::useUnusedStatusPort();
  const std::string lock = Paths::appSupport() / "cloudtunnel.lock";
  const auto statusFile = Paths::appSupport() / "status.json";
  std::filesystem::create_directories(Paths::appSupport());
  // Without forking, so the program that holds the lock is the one that is ended.
  SpawnOptions hold({"flock", "--no-fork", lock, "sleep", "60"}),
      probe({"flock", "-n", lock, "true"});
  hold.searchPath = probe.searchPath = true;
  auto holder = Subprocess::start(hold);
  ASSERT_TRUE(holder.ok());
  const auto held = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < held && Subprocess::run(probe).exit.status == 0) {
    std::this_thread::sleep_for(10ms);
  }
  {
    StatusServer waiting(kVersion);  // stopping ends its wait for the lock
    waiting.start();
  }
  StatusServer server(kVersion);
  server.start();
  std::this_thread::sleep_for(300ms);  // free to write, the writer would do so at once
  EXPECT_FALSE(std::filesystem::exists(statusFile));

  holder.value()->terminate();
  const auto until = std::chrono::steady_clock::now() + 6s;
  while (std::chrono::steady_clock::now() < until && !std::filesystem::exists(statusFile)) {
    std::this_thread::sleep_for(20ms);
  }
  server.stop();
  struct stat info {};
  ASSERT_EQ(::stat(statusFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const auto written = parseServerStatus(test::readFile(statusFile));
  ASSERT_TRUE(written) << written.error();
  expectEveryServiceReported(written.value().services);
}

}  // namespace
}  // namespace tvrn
