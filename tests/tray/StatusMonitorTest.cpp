#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "status/StatusServer.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayHttp.h"
#include "support/Eventually.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string joined(const std::set<std::string>& keys) {
  std::string text;
  for (const auto& key : keys) text += (text.empty() ? "" : ",") + key;
  return text;
}

// A monitor on the manual scheduler whose callbacks write what they get into one log.
class StatusMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::useUnusedStatusPort();  // nothing listens there unless a test says otherwise
    makeMonitor();
  }

  void makeMonitor() {
    monitor_ = std::make_unique<StatusMonitor>(ConfigManager::shared(), clock_);
    monitor_->onStateChange = [this](const std::string& state) { log_.push_back(state); };
    monitor_->onActivity = [this](const std::string& source) { log_.push_back("pulse:" + source); };
    monitor_->onNudge = [this] { log_.push_back("nudge"); };
    monitor_->onTCCRegressed = [this] { log_.push_back("regressed"); };
    monitor_->onTCCDenied = [this](const auto& keys) { log_.push_back("denied:" + joined(keys)); };
    monitor_->onTCCRestored = [this] { log_.push_back("restored"); };
    monitor_->onNotDetermined = [this](const auto& keys) { log_.push_back("ask:" + joined(keys)); };
  }

  // status.json as the status server writes it, modified `age` before the monitor's now.
  void writeStatusFile(const json& status, std::chrono::milliseconds age = 0ms) {
    test::writeStatusFile(status, clock_.now() - age);
  }

  static json statusWith(const std::function<void(json&)>& change) {
    json status = test::statusFixture("status-busy.json");
    change(status);
    return status;
  }

  // The log once it holds `count` entries (the HTTP answers come on the event loop).
  std::vector<std::string> logOf(std::size_t count) {
    EXPECT_TRUE(test::processEventsUntil([&] { return log_.size() >= count; })) << log_.size();
    return log_;
  }

  test::ManualScheduler clock_;
  std::unique_ptr<StatusMonitor> monitor_;
  std::vector<std::string> log_;
};

// Each row: status.json (when given) modified `age` ago, and what the status route answers, with
// 503 so that only the body counts; the file, while fresh and readable, spares the request.
TEST_F(StatusMonitorTest, UsesAFreshStatusFileElseTheRouteAndReadsAtMostOneMebibyte) {
  test::RecordingHttpServer route;
  ::setenv("TVRN_STATUS_PORT", std::to_string(route.port()).c_str(), 1);
  const json status = test::statusFixture("status-busy.json");
  json oversized = status;
  oversized["padding"] = std::string(2 * TrayHttp::kMaxReplyBytes, ' ');
  // The last word of a server that stopped: only the route can tell whether another answers.
  json stopped = status;
  stopped["server"] = "stopped";
  const std::vector<std::tuple<std::optional<json>, std::chrono::milliseconds, std::string,
                               const char*, std::size_t>>
      cases = {
          {status, 14900ms, "", "connected", 0},
          {status, -5000ms, "", "connected", 0},  // modified in the future
          {status, 15000ms, "", "error", 1},
          {oversized, 0ms, "", "error", 1},
          {stopped, 0ms, "", "error", 1},
          {stopped, 0ms, status.dump(), "connected", 1},
          {std::nullopt, 0ms, status.dump(), "connected", 1},
          {std::nullopt, 0ms, oversized.dump(), "error", 1},
          {std::nullopt, 0ms, "{}", "error", 1},
      };
  for (std::size_t row = 0; row < cases.size(); ++row) {
    const auto& [file, age, reply, state, requests] = cases[row];
    SCOPED_TRACE(row);
    std::filesystem::remove(Paths::appSupport() / "status.json");
    if (file) writeStatusFile(*file, age);
    test::CannedResponse response;
    response.status = 503;
    response.body = reply;
    route.respond("/status", response);
    const auto before = route.requestCount();
    log_.clear();
    makeMonitor();
    monitor_->startPolling();
    EXPECT_EQ(logOf(1), std::vector<std::string>{state});
    EXPECT_EQ(route.requestCount() - before, requests);
    EXPECT_EQ(monitor_->isConnected(), monitor_->status().has_value());
  }
}

TEST_F(StatusMonitorTest, ReportsAnErrorAtEveryTickWhileNothingAnswers) {
  writeStatusFile(statusWith([](json&) {}));
  monitor_->startPolling();
  ASSERT_EQ(log_, std::vector<std::string>{"connected"});
  ASSERT_TRUE(monitor_->isConnected());

  clock_.advance(14s);  // seven more ticks from the file, still fresh
  ASSERT_EQ(log_.size(), 8u);
  for (int tick = 1; tick <= 3; ++tick) {
    clock_.advance(2s);
    ASSERT_EQ(logOf(8 + tick).back(), "error");
    EXPECT_FALSE(monitor_->isConnected());
    ASSERT_TRUE(monitor_->status());
    EXPECT_EQ(monitor_->status()->version, "3.0.100");
  }
}

// Another program holds 127.0.0.1 at the port and answers something that is no status: the
// server answers on [::1] only, and the tray finds it there and keeps asking there first.
TEST_F(StatusMonitorTest, PollsWhicheverLoopbackAddressTheServerAnswersOn) {
  test::RecordingHttpServer other;
  ::setenv("TVRN_STATUS_PORT", std::to_string(other.port()).c_str(), 1);
  // status.json is written once, and then taken away, so that the monitor has to ask.
  StatusServer::Options options;
  options.statusFileInterval = 1h;
  StatusServer server("3.0.100", options);
  server.start();
  const std::string own = "http://[::1]:" + std::to_string(other.port()) + "/status";
  test::eventually([&] { return HttpClient::get(own, 1s).ok(); }, own + " answering");
  const auto file = Paths::appSupport() / "status.json";
  ASSERT_TRUE(test::eventually([&] { return std::filesystem::exists(file); }, "status.json"));
  std::filesystem::remove(file);
  makeMonitor();
  monitor_->startPolling();
  EXPECT_NE(logOf(1).front(), "error");
  ASSERT_TRUE(monitor_->isConnected());
  EXPECT_EQ(monitor_->status()->version, "3.0.100");
  clock_.advance(StatusMonitor::kPollInterval);
  EXPECT_NE(logOf(2).back(), "error");
  EXPECT_EQ(other.requestCount(), 1u);
  server.stop();
}

TEST_F(StatusMonitorTest, AnnouncesANewVersionForThirtySeconds) {
  const auto version = [](const char* v) { return statusWith([v](json& s) { s["version"] = v; }); };
  writeStatusFile(version("1.2.3"));
  monitor_->startPolling();
  // Time after the previous step, the version served, the version announced afterwards.
  const std::vector<std::tuple<std::chrono::milliseconds, const char*, const char*>> steps = {
      {0ms, "1.2.3", ""},          {2s, "1.2.4", "1.2.4"},  // t = 2: to be cleared at t = 32
      {2s, "1.2.5", "1.2.5"},                               // t = 4: to be cleared at t = 34
      {28500ms, "1.2.5", "1.2.5"},  // t = 32.5: the first clear found another version
      {2s, "1.2.5", ""},            // t = 34.5
  };
  for (const auto& [step, served, shown] : steps) {
    writeStatusFile(version(served));
    clock_.advance(step);
    EXPECT_EQ(monitor_->justUpdatedToVersion().value_or(""), shown) << served;
  }
}

TEST_F(StatusMonitorTest, AsksForUndeterminedPermissionsTwoSecondsAfterTheFirstMap) {
  const auto permissions = [](json map) {
    return statusWith([&map](json& s) { s["permissions"] = map; });
  };
  writeStatusFile(permissions(
      {{"contacts", "denied"}, {"automation", "notDetermined"}, {"reminders", "not_determined"}}));
  monitor_->startPolling();
  EXPECT_EQ(log_, (std::vector<std::string>{"connected", "denied:contacts"}));
  clock_.advance(1900ms);
  EXPECT_EQ(log_.size(), 2u);
  clock_.advance(100ms);  // the tick and the delayed request fall due together
  EXPECT_EQ(log_, (std::vector<std::string>{"connected", "denied:contacts", "ask:reminders",
                                            "connected"}));

  writeStatusFile(permissions({{"contacts", "granted"}, {"calendar", "notDetermined"}}));
  log_.clear();
  clock_.advance(10s);
  EXPECT_EQ(log_, (std::vector<std::string>{"connected", "restored", "connected", "connected",
                                            "connected", "connected"}));
}

TEST_F(StatusMonitorTest, DeliversEventsInOrderAndLogsEachLostPermission) {
  writeStatusFile(statusWith([](json&) {}));
  monitor_->startPolling();
  writeStatusFile(statusWith([](json& s) {
    s["last_activity"]["at"] = "2026-12-07T12:00:01Z";
    s["push_message"] = "[NUDGE] connect a client";
    s["permissions"]["calendar"] = "denied";
  }));
  testing::internal::CaptureStdout();
  clock_.advance(2s);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[TVRN tray] TCC regression: calendar granted \u2192 denied\n");
  EXPECT_EQ(log_, (std::vector<std::string>{"connected", "connected", "pulse:local", "nudge",
                                            "regressed", "denied:calendar"}));
  EXPECT_TRUE(monitor_->tccRegressed());

  writeStatusFile(statusWith([](json&) {}));
  clock_.advance(2s);
  EXPECT_EQ(log_.back(), "restored");
  EXPECT_FALSE(monitor_->tccRegressed());
}

// Monitors in one process, each handed settings of its own, read the relay token from those
// alone, never from the user's.
TEST(StatusMonitorSettingsTest, EachMonitorReadsTheSettingsItWasHanded) {
  test::writeFile(Paths::appSupport() / "config.json", json{{"cloud_token", "user's"}}.dump());
  const struct {
    json settings;
    std::optional<std::string> token;
  } rows[] = {
      {{{"cloud_token", "token-1"}}, "token-1"},
      {{{"cloud_token", ""}}, std::nullopt},
      {json::object(), std::nullopt},
  };
  test::ManualScheduler clock;
  std::vector<std::unique_ptr<ConfigManager>> stores;
  std::vector<std::unique_ptr<StatusMonitor>> monitors;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto folder = test::home().parent_path() / ("tray-" + std::to_string(i));
    test::writeFile(folder / "user.json", rows[i].settings.dump());
    stores.push_back(std::make_unique<ConfigManager>(
        ConfigManager::Locations{folder / "system.json", folder / "user.json", std::nullopt}));
    monitors.push_back(std::make_unique<StatusMonitor>(*stores.back(), clock));
  }
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(monitors[i]->relayToken(), rows[i].token) << rows[i].settings;
  }
}

}  // namespace
}  // namespace tvrn
