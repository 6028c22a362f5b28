// What the tray sends to the status server and the back end, as loopback recording servers and a
// private session bus see it, and what it leaves on the clipboard.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QClipboard>
#include <QDBusConnection>
#include <QGuiApplication>
#include <sstream>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "server/BundledServer.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

test::CannedResponse answer(int status, std::string body) {
  test::CannedResponse canned;
  canned.status = status;
  canned.body = std::move(body);
  return canned;
}

class StatusMonitorRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_STATUS_PORT", std::to_string(statusServer_.port()).c_str(), 1);
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    ::setenv("TVRN_WEB_URL", "https://web.example", 1);
    std::filesystem::remove(Paths::appSupport() / "status.json");
  }
  void TearDown() override {
    ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);  // as the test main leaves it
    ::unsetenv("TVRN_WEB_URL");
  }

  // A monitor holding `status` (none when null), read from a fresh status.json.
  std::unique_ptr<StatusMonitor> monitorWith(const json& status) {
    auto monitor = std::make_unique<StatusMonitor>(ConfigManager::shared(), clock_);
    if (!status.is_null()) {
      test::writeFile(Paths::appSupport() / "status.json", status.dump());
      monitor->startPolling();
      EXPECT_TRUE(monitor->status().has_value());
    }
    return monitor;
  }

  static json busyWith(const std::function<void(json&)>& change) {
    json status = test::statusFixture("status-busy.json");
    change(status);
    return status;
  }

  // The one request to `path` once it has come.
  static test::RecordedRequest onlyRequest(test::RecordingHttpServer& server,
                                           const std::string& path) {
    EXPECT_TRUE(test::processEventsUntil([&] { return !server.requestsTo(path).empty(); }));
    const auto requests = server.requestsTo(path);
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? test::RecordedRequest{} : requests.front();
  }

  static std::string clipboard() { return QGuiApplication::clipboard()->text().toStdString(); }

  test::ManualScheduler clock_;
  test::RecordingHttpServer statusServer_;
  test::RecordingHttpServer backend_;
};

// A private session bus with a monitor on it printing every signal of the config interface.
class ConfigSignalWatch {
 public:
  ConfigSignalWatch() {
    SpawnOptions options({"dbus-run-session", "--config-file=" + test::privateBusConfig().string(),
                          "--", "sh", "-c",
                          "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec dbus-monitor "
                          "\"type='signal',interface='com.tavrin.config'\""});
    options.searchPath = true;
    auto started = Subprocess::start(options);
    EXPECT_TRUE(started.ok()) << started.error();
    if (!started) return;
    session_ = std::move(started).value();
    address_ = session_->readLine(deadline()).text;
    // The monitor announces itself once it listens.
    while (true) {
      const auto line = session_->readLine(deadline());
      if (line.status != LineStatus::line || line.text.find("NameLost") != std::string::npos) break;
    }
  }
  ~ConfigSignalWatch() { QDBusConnection::disconnectFromBus(kName); }

  QDBusConnection connection() const {
    return QDBusConnection::connectToBus(QString::fromStdString(address_), kName);
  }

  // The next "changed" signal's path, interface and arguments, white space folded.
  std::string nextSignal() {
    std::string text;
    bool inside = false;
    for (auto line = session_->readLine(deadline()); line.status == LineStatus::line;
         line = session_->readLine(deadline())) {
      if (line.text.starts_with("signal ")) {
        if (inside) break;
        inside = line.text.find("member=changed") != std::string::npos;
        if (inside) text = line.text.substr(line.text.find("path="));
        continue;
      }
      if (inside) {
        std::istringstream words(line.text);
        for (std::string word; words >> word;) text += " " + word;
        if (line.text == "   ]") break;
      }
    }
    return text;
  }

 private:
  static SubprocessClock::time_point deadline() { return SubprocessClock::now() + 10s; }
  static inline const QString kName = QStringLiteral("config-signal-watch");
  std::unique_ptr<Subprocess> session_;
  std::string address_;
};

TEST_F(StatusMonitorRequestsTest, SettingsChangesGoToTheStatusServerAndTheSessionBus) {
  ConfigSignalWatch watch;
  const std::string path = "path=/com/tavrin/config; interface=com.tavrin.config; member=changed";
  struct Case {
    const char* label;
    std::function<void(StatusMonitor&)> act;
    json body;
    std::string arguments;
  };
  const Case cases[] = {
      {"auto-update off",
       [](StatusMonitor& m) { m.setAutoUpdate(false); },
       {{"auto_update", false}},
       " array [ dict entry( string \"auto_update\" variant boolean false ) ]"},
      {"check for updates",
       [](StatusMonitor& m) { m.checkForUpdates(); },
       {{"auto_update", true}},
       " array [ dict entry( string \"auto_update\" variant boolean true ) ]"},
      {"update now",
       [](StatusMonitor& m) { m.requestUpdate(); },
       {{"action", "update"}},
       " array [ dict entry( string \"action\" variant string \"update\" ) ]"},
      // Only what is switched once the tray's own status server listens goes out.
      {"auto-update while the status server waits for its port, then once it listens",
       [](StatusMonitor& m) {
         m.setStatusServerHosts([] { return std::vector<std::string>(); });
         m.setAutoUpdate(true);
         m.setStatusServerHosts([] { return std::vector<std::string>{"127.0.0.1"}; });
         m.setAutoUpdate(false);
       },
       {{"auto_update", false}},
       " array [ dict entry( string \"auto_update\" variant boolean false ) ]"},
  };
  for (const auto& c : cases) {
    test::RecordingHttpServer server;
    ::setenv("TVRN_STATUS_PORT", std::to_string(server.port()).c_str(), 1);
    auto monitor = monitorWith(test::statusFixture("status-busy.json"));
    monitor->setConfigBus(watch.connection());
    c.act(*monitor);
    const auto request = onlyRequest(server, "/config");
    EXPECT_EQ(request.method, "POST") << c.label;
    EXPECT_EQ(request.header("Content-Type"), "application/json") << c.label;
    EXPECT_EQ(request.json(), c.body) << c.label;
    EXPECT_EQ(watch.nextSignal(), path + c.arguments) << c.label;
  }
}

TEST_F(StatusMonitorRequestsTest, SwitchingAutoUpdateOffShowsAtOnce) {
  auto monitor = monitorWith(busyWith([](json& s) { s["auto_update"] = true; }));
  ASSERT_TRUE(monitor->autoUpdateEnabled());
  monitor->setAutoUpdate(false);
  EXPECT_FALSE(monitor->autoUpdateEnabled());
}

TEST_F(StatusMonitorRequestsTest, TrayEventsCarryWhatTheStatusKnows) {
  struct Case {
    const char* label;
    json status;  // null: no status
    std::int64_t behind;
    json body;
  };
  const Case cases[] = {
      {"no status, none behind", nullptr, 0, {{"event", "tray_nudge_shown"}}},
      {"no status, behind", nullptr, 3, {{"event", "tray_nudge_shown"}, {"versions_behind", 3}}},
      {"full status",
       test::statusFixture("status-busy.json"),
       11,
       {{"event", "tray_nudge_shown"},
        {"machine_id", "BE2FF1B7-1F2B-4F2D-84D0-8C9C3CFE620A"},
        {"from_version", "3.0.100"},
        {"to_version", "3.0.104"},
        {"versions_behind", 11}}},
      {"status without machine id or update",
       busyWith([](json& s) {
         s.erase("machine_id");
         s.erase("update");
       }),
       0,
       {{"event", "tray_nudge_shown"}, {"from_version", "3.0.100"}}},
  };
  for (const auto& c : cases) {
    test::RecordingHttpServer server;
    ::setenv("TVRN_STATUS_PORT", std::to_string(server.port()).c_str(), 1);
    std::filesystem::remove(Paths::appSupport() / "status.json");
    auto monitor = monitorWith(c.status);
    monitor->postTrayEvent("tray_nudge_shown", c.behind);
    EXPECT_EQ(onlyRequest(server, "/tray-event").json(), c.body) << c.label;
  }
}

TEST_F(StatusMonitorRequestsTest, CloudDataSwitchReportsTheServersVerdict) {
  struct Case {
    const char* label;
    std::optional<test::CannedResponse> answer;  // none: the connection is refused
    bool ok;
    std::optional<std::string> message;  // or, without an answer, a part of it
    bool waits = false;                  // the tray's own status server waits for its port
  };
  const Case cases[] = {
      {"ok true", answer(200, R"({"ok":true})"), true, std::nullopt},
      {"ok as a text", answer(200, R"({"ok":"true"})"), false, std::nullopt},
      {"refused with a reason", answer(400, R"({"ok":false,"error":"No token"})"), false,
       "No token"},
      {"refused without a reason", answer(200, R"({"ok":false})"), false, std::nullopt},
      {"not JSON", answer(200, "<html>"), false, std::nullopt},
      {"connection refused", std::nullopt, false, "Connection refused"},
      {"the status server waits", answer(200, R"({"ok":true})"), false, "; nothing was sent.",
       true},
  };
  for (const auto& c : cases) {
    test::RecordingHttpServer server;
    if (c.answer) {
      server.respond("/cloud-data-enable", *c.answer);
      ::setenv("TVRN_STATUS_PORT", std::to_string(server.port()).c_str(), 1);
    } else {
      test::useUnusedStatusPort();
    }
    auto monitor = monitorWith(nullptr);
    if (c.waits) monitor->setStatusServerHosts([] { return std::vector<std::string>(); });
    std::optional<std::pair<bool, std::optional<std::string>>> outcome;
    monitor->setCloudDataEnabled(true, [&](bool ok, const std::optional<std::string>& message) {
      outcome.emplace(ok, message);
    });
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome.has_value(); })) << c.label;
    EXPECT_EQ(outcome->first, c.ok) << c.label;
    const auto sent = server.requestsTo("/cloud-data-enable");
    EXPECT_EQ(sent.size(), c.answer && !c.waits ? 1u : 0u) << c.label;
    if (c.answer && !c.waits) {
      EXPECT_EQ(outcome->second, c.message) << c.label;
      if (!sent.empty()) {
        EXPECT_EQ(sent.front().json(), json({{"enabled", true}}));
      }
    } else {
      ASSERT_TRUE(outcome->second) << c.label;
      EXPECT_NE(outcome->second->find(*c.message), std::string::npos) << *outcome->second;
    }
  }
}

TEST_F(StatusMonitorRequestsTest, BugReportsYieldTheCaseIdOnlyFromA201) {
  struct Case {
    const char* label;
    std::optional<test::CannedResponse> answer;  // none: the back end is not there
    std::optional<std::string> caseId;
  };
  const Case cases[] = {
      {"201 with a case id", answer(201, R"({"case_id":"TV-0042"})"), "TV-0042"},
      {"200 with a case id", answer(200, R"({"case_id":"TV-0042"})"), std::nullopt},
      {"201 without a case id", answer(201, R"({"stored":true})"), std::nullopt},
      {"201 with a numeric case id", answer(201, R"({"case_id":42})"), std::nullopt},
      {"no back end", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    test::RecordingHttpServer backend;
    if (c.answer) backend.respond("/feedback", *c.answer);
    const std::string base =
        c.answer ? backend.baseURL() : "http://127.0.0.1:" + std::to_string(test::unusedPort());
    ::setenv("TVRN_BACKEND_URL", base.c_str(), 1);
    auto monitor = monitorWith(busyWith([](json& s) { s["machine_id"] = "  ID-1\n"; }));
    std::optional<Result<std::string, std::string>> outcome;
    monitor->submitBugReport("It broke", [&](const Result<std::string, std::string>& result) {
      outcome.emplace(result);
    });
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome.has_value(); })) << c.label;
    EXPECT_EQ(outcome->ok(), c.caseId.has_value()) << c.label;
    if (c.caseId && outcome->ok()) {
      EXPECT_EQ(outcome->value(), *c.caseId) << c.label;
    }
    if (!outcome->ok()) {
      EXPECT_FALSE(outcome->error().empty()) << c.label;
    }
    if (c.answer) {
      EXPECT_EQ(backend.requestsTo("/feedback").front().json(), json({{"message", "It broke"},
                                                                      {"source", "tray"},
                                                                      {"version", "3.0.100"},
                                                                      {"machine_id", "ID-1"}}))
          << c.label;
    }
  }
}

TEST_F(StatusMonitorRequestsTest, BugReportWithoutAStatusTakesTheMachineIdFromTheKeychain) {
  ASSERT_TRUE(Keychain::writeGenericPassword("com.tavrin.machine-id", "machine-id", " M-7 \n"));
  backend_.respond("/feedback", answer(201, R"({"case_id":"C"})"));
  auto monitor = monitorWith(nullptr);
  bool done = false;
  monitor->submitBugReport("x", [&](const auto&) { done = true; });
  ASSERT_TRUE(test::processEventsUntil([&] { return done; }));
  const json body = backend_.requestsTo("/feedback").front().json();
  EXPECT_EQ(body["machine_id"], "M-7");
  EXPECT_EQ(body["version"], "");
}

// The copies byte for byte; a token or path holding a quote or a backslash stays valid JSON.
TEST_F(StatusMonitorRequestsTest, ClipboardCopiesAreExactAndValidJSON) {
  const std::string local = "http://localhost:" + std::to_string(statusServer_.port()) + "/mcp";
  const json up = busyWith([](json& s) { s["tunnel_connected"] = true; });
  const json down = busyWith([](json& s) { s["tunnel_connected"] = false; });
  struct Case {
    const char* label;
    json status;
    std::string token;  // config.json's cloud_token; empty for none
    std::function<void(StatusMonitor&)> copy;
    std::string text;
  };
  const Case cases[] = {
      {"relay form", up, "tok-1", [](StatusMonitor& m) { m.copyConfig(); },
       "{\n  \"mcpServers\": {\n    \"tavrin\": {\n      \"url\": \"https://web.example/mcp\",\n"
       "      \"headers\": {\n        \"x-token\": \"tok-1\"\n      }\n    }\n  }\n}"},
      {"relay form, token with quote and backslash", up, "a\"b\\c",
       [](StatusMonitor& m) { m.copyConfig(); },
       "{\n  \"mcpServers\": {\n    \"tavrin\": {\n      \"url\": \"https://web.example/mcp\",\n"
       "      \"headers\": {\n        \"x-token\": \"a\\\"b\\\\c\"\n      }\n    }\n  }\n}"},
      {"token but tunnel down", down, "tok-1", [](StatusMonitor& m) { m.copyConfig(); },
       "{\n  \"mcpServers\": {\n    \"tavrin\": {\n      \"url\": \"" + local +
           "\"\n    }\n  }\n}"},
      {"tunnel up without a token", up, "", [](StatusMonitor& m) { m.copyConfig(); },
       "{\n  \"mcpServers\": {\n    \"tavrin\": {\n      \"url\": \"" + local +
           "\"\n    }\n  }\n}"},
      {"token", nullptr, "a\"b", [](StatusMonitor& m) { m.copyCloudToken(); }, "a\"b"},
      {"no token", nullptr, "", [](StatusMonitor& m) { m.copyCloudToken(); }, "before"},
      {"no status", nullptr, "", [](StatusMonitor& m) { m.copyDiagnostics(); }, "before"},
      {"cloud address", nullptr, "", [](StatusMonitor& m) { m.copyCloudURL(); },
       "https://web.example/mcp"},
      {"desktop config", nullptr, "", [](StatusMonitor& m) { m.copyDesktopConfig(); },
       "{\n  \"mcpServers\": {\n    \"tavrin\": {\n      \"command\": \"" +
           BundledServer::path().string() + "\",\n      \"args\": []\n    }\n  }\n}"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(Paths::appSupport() / "status.json");
    ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", c.token}}));
    auto monitor = monitorWith(c.status);
    QGuiApplication::clipboard()->setText("before");
    c.copy(*monitor);
    EXPECT_EQ(clipboard(), c.text) << c.label;
    if (c.text.starts_with("{")) {
      EXPECT_TRUE(json::accept(c.text)) << c.label;
    }
  }
  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", ""}}));
}

TEST_F(StatusMonitorRequestsTest, DiagnosticsSummariseTheServices) {
  auto monitor = monitorWith(busyWith([](json& s) {
    s["services"]["onedrive"] = json::array();
    s.erase("tunnel_connected");
  }));
  monitor->copyDiagnostics();
  EXPECT_EQ(json::parse(clipboard()), json({{"version", "3.0.100"},
                                            {"tunnel_connected", false},
                                            {"services",
                                             {{"email", true},
                                              {"calendar", true},
                                              {"contacts", true},
                                              {"onedrive", false},
                                              {"teams", true}}}}));
  EXPECT_NE(clipboard().find("\n  \"services\""), std::string::npos);  // pretty-printed
}

TEST_F(StatusMonitorRequestsTest, OutlookIsFoundInTheUsersApplications) {
  auto monitor = monitorWith(nullptr);
  monitor->startPolling();
  EXPECT_TRUE(monitor->outlookAccounts().empty());
  std::filesystem::create_directories(test::home() / "Applications/Microsoft Outlook.app");
  monitor->startPolling();
  EXPECT_EQ(monitor->outlookAccounts(), std::vector<std::string>{"Microsoft Outlook"});
  EXPECT_TRUE(monitor->outlookMissing().empty());
  std::filesystem::remove_all(test::home() / "Applications");
}

}  // namespace
}  // namespace tvrn
