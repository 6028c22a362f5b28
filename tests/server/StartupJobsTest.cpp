#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "core/ConfigManager.h"
#include "core/PushMessageStore.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/UserDefaults.h"
#include "server/StartupJobs.h"
#include "support/Eventually.h"
#include "support/CapturedStderr.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

TEST(CloudDataReminder, PostsOnlyForARelayUserWithForwardingOff) {
  const std::string reminder(StartupJobs::kCloudDataReminder);
  struct Row {
    const char* config;
    bool posted;
  };
  const Row rows[] = {
      {R"({"cloud_token": "tvrn-abc"})", true},
      {R"({"cloud_token": "tvrn-abc", "cloud_data_enabled": false})", true},
      {R"({"cloud_token": "tvrn-abc", "cloud_data_enabled": "true"})", true},
      {R"({"cloud_token": "tvrn-abc", "cloud_data_enabled": true})", false},
      {R"({"cloud_token": "tvrn-abc", "cloud_data_migration_dismissed": true})", false},
      {R"({"cloud_token": "sk-tvrn-abc"})", false},
      {R"({"cloud_token": 42})", false},
      {R"({})", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.config);
    test::writeFile(ConfigManager::shared().configPath(), row.config);
    PushMessageStore store;
    StartupJobs::remindAboutCloudData(ConfigManager::shared(),
                                      [&](const std::string& text) { store.setMessage(text); });
    EXPECT_EQ(store.message(), row.posted ? std::optional(reminder) : std::nullopt);
  }
}

// The back end's word for the architecture of this machine, worked out from the kernel.
std::string machineArchitecture() {
  utsname names{};
  EXPECT_EQ(::uname(&names), 0);
  const std::string machine = names.machine;
  return machine == "aarch64" ? "arm64" : machine;
}

class InstallEvent : public ::testing::Test {
 protected:
  void pointBackendAt(const test::RecordingHttpServer& server) {
    ::setenv("TVRN_BACKEND_URL", server.baseURL().c_str(), 1);
  }
  static std::string startTray() {
    test::CapturedStderr log;
    StartupJobs::sendFirstLaunchInstallEventIfNeeded(ConfigManager::shared(), "9.8.7");
    return log.text();
  }
  static constexpr const char* kSent = "[tray] INFO  First-launch install event sent (machine=";
  static constexpr const char* kFailed = "[tray] WARN  First-launch install event failed: ";
};

TEST_F(InstallEvent, IsSentOnceAcrossStarts) {
  test::RecordingHttpServer backend;
  pointBackendAt(backend);

  const std::string firstLog = startTray();
  const std::string secondLog = startTray();

  const auto events = backend.requestsTo("/install-event");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].method, "POST");
  EXPECT_EQ(events[0].header("Content-Type"), "application/json");
  const nlohmann::json body = events[0].json();
  const std::string machineId = ConfigManager::shared().getMachineId();
  EXPECT_EQ(body.size(), 6u) << body;
  EXPECT_EQ(body.value("stage", ""), "tray_first_launch");
  EXPECT_EQ(body.value("machine_id", ""), machineId);
  EXPECT_EQ(body.value("version", ""), "9.8.7");
  EXPECT_EQ(body.value("arch", ""), machineArchitecture());
  EXPECT_FALSE(body.value("os_version", "").empty());
  EXPECT_EQ(body.value("source", ""), "tray");

  EXPECT_NE(firstLog.find(kSent + machineId + ")\n"), std::string::npos) << firstLog;
  EXPECT_EQ(secondLog.find("First-launch"), std::string::npos);
  EXPECT_TRUE(UserDefaults::boolForKey(StartupJobs::kInstallEventSentKey));
}

TEST_F(InstallEvent, AnErrorStatusIsLoggedAsAFailure) {
  test::RecordingHttpServer backend;
  pointBackendAt(backend);
  for (const int status : {404, 503}) {
    SCOPED_TRACE(status);
    static_cast<void>(
        UserDefaults::removeObject(StartupJobs::kInstallEventSentKey));  // an absent key is fine
    test::CannedResponse answer;
    answer.status = status;
    backend.respond("/install-event", answer);
    const std::string log = startTray();
    EXPECT_NE(log.find(std::string(kFailed) + "HTTP " + std::to_string(status) + "\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("install event sent"), std::string::npos);
  }
  EXPECT_EQ(backend.requestsTo("/install-event").size(), 2u);
}

TEST_F(InstallEvent, AFailedFirstAttemptIsNeverRepeated) {
  // The test world's back end is a closed local port.
  const std::string firstLog = startTray();
  EXPECT_NE(firstLog.find(kFailed), std::string::npos) << firstLog;
  EXPECT_EQ(firstLog.find(std::string(kFailed) + "\n"), std::string::npos) << "names the cause";

  test::RecordingHttpServer backend;
  pointBackendAt(backend);
  const std::string secondLog = startTray();
  EXPECT_EQ(backend.requestCount(), 0u);
  EXPECT_EQ(secondLog.find("First-launch"), std::string::npos);
}

std::vector<nlohmann::json> recordedRuns(const std::filesystem::path& file) {
  std::vector<nlohmann::json> runs;
  std::istringstream lines(test::readFile(file));
  for (std::string line; std::getline(lines, line);) runs.push_back(nlohmann::json::parse(line));
  return runs;
}

TEST(AutomationWarmUp, RunsEveryScriptEvenWhenEachFails) {
  const auto argvFile = test::home() / "osascript-runs";
  ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  ::setenv("FAKE_OSASCRIPT_ARGV", argvFile.c_str(), 1);
  ::setenv("FAKE_OSASCRIPT_DIRECTIVE", R"({"exit": 1, "stderr": "not allowed"})", 1);

  StartupJobs::warmOSAPermissions(5ms);

  test::eventually(
      [&] { return recordedRuns(argvFile).size() >= StartupJobs::kWarmUpScripts.size(); },
      "every warm-up script's run");
  std::multiset<std::string> scripts;
  for (const auto& argv : recordedRuns(argvFile)) {
    ASSERT_EQ(argv.size(), 3u) << argv;
    EXPECT_EQ(argv[1], "-e") << "runs as AppleScript";
    scripts.insert(argv[2].get<std::string>());
  }
  const std::multiset<std::string> expected(StartupJobs::kWarmUpScripts.begin(),
                                            StartupJobs::kWarmUpScripts.end());
  EXPECT_EQ(scripts, expected);
}

// A shutdown during the warm-up: the script its work refuses, and every later one, is not run.
TEST(AutomationWarmUp, StopsAtTheFirstScriptItsWorkRefuses) {
  int offered = 0;
  StartupJobs::warmOSAPermissions(1ms, [&](const std::function<void()>&) { return ++offered < 3; });
  EXPECT_EQ(offered, 3);
}

}  // namespace
}  // namespace tvrn
