#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cloud/HeartbeatManager.h"
#include "core/ConfigManager.h"
#include "core/MCPClientTracker.h"
#include "core/PushMessageStore.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestStore.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "support/ChildTestRun.h"
#include "support/TestEnv.h"

extern char** environ;

namespace tvrn {
namespace {

// A copy of the system shell under another name, so the kernel shows that name for it.
std::filesystem::path shellNamed(const std::string& name) {
  const auto path = Paths::tempDir() / name;
  if (!std::filesystem::exists(path)) std::filesystem::copy_file("/bin/sh", path);
  return path;
}

// A waiting shell started from `program` with `argv0` as its first argument; ended and reaped
// when the test is done with it.
class Process {
 public:
  Process(const std::filesystem::path& program, std::string argv0) {
    std::string dashC = "-c", script = "sleep 30; exit 0";  // a shell that stays itself
    char* argv[] = {argv0.data(), dashC.data(), script.data(), nullptr};
    // A group of its own, so the shell's sleep ends with it and never holds the test's output.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawn(&pid_, program.c_str(), nullptr, &attributes, argv, environ);
    ::posix_spawnattr_destroy(&attributes);
  }
  explicit Process(const std::string& name) : Process(shellNamed(name), name) {}
  ~Process() {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  // The spawn returns once the new program runs, a moment before the kernel shows its arguments.
  ProcessInfo::Entry entry() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      const auto found = ProcessInfo::lookup(pid_);
      if ((found && !found->arguments.empty()) || std::chrono::steady_clock::now() > deadline) {
        return found.value_or(ProcessInfo::Entry{});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  pid_t pid_ = -1;
};

TEST(HeartbeatManagerTest, KnownClientsByProcessName) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"cursor", "Cursor"},     {"claude", "Claude Code"}, {"claude-desktop", "Claude Desktop"},
      {"Windsurf", "Windsurf"}, {"code", "VS Code"},       {"codium", "VS Code"},
      {"zed-editor", "Zed"},    {"coder", std::nullopt},   {"my-cursor", std::nullopt},
  };
  for (const auto& [name, client] : rows) {
    Process process(name);
    EXPECT_EQ(HeartbeatManager::clientAmong({process.entry()}), client) << name;
  }
  // A program started under a client's name, whatever the kernel calls it.
  Process renamed("/bin/sh", "zed");
  EXPECT_EQ(HeartbeatManager::clientAmong({renamed.entry()}), "Zed");

  // The nearest client wins; processes that are none are passed over.
  Process shell("/bin/sh", "sh"), cursor("cursor"), code("code");
  EXPECT_EQ(HeartbeatManager::clientAmong({shell.entry(), cursor.entry(), code.entry()}), "Cursor");
  EXPECT_EQ(HeartbeatManager::clientAmong({code.entry(), cursor.entry()}), "VS Code");
  EXPECT_EQ(HeartbeatManager::clientAmong({shell.entry()}), std::nullopt);
}

// aiClient() reads the process's own ancestors and command line, so it is checked in children
// of this test program, started through a shell named after a client.
TEST(HeartbeatManagerTest, AIClientOfThisProcess) {
  const std::string role = test::childRole();
  if (role == "from-cursor") {
    EXPECT_EQ(HeartbeatManager::aiClient(), "Cursor");
  } else if (role == "daemon") {
    EXPECT_EQ(HeartbeatManager::aiClient(), "TVRN Tray");  // ancestors are not consulted
  } else {
    const std::string self = "HeartbeatManagerTest.AIClientOfThisProcess";
    const auto fromCursor = test::runTestInChild(self, "from-cursor", {}, shellNamed("cursor"));
    EXPECT_TRUE(fromCursor.passed) << fromCursor.output;
    const auto daemon = test::runTestInChild(self, "daemon", {"--daemon"}, shellNamed("cursor"));
    EXPECT_TRUE(daemon.passed) << daemon.output;
  }
}

class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1); }

  void reply(int status, std::string body) {
    test::CannedResponse response;
    response.status = status;
    response.body = std::move(body);
    backend_.respond("/heartbeat", response);
  }

  nlohmann::json lastBeat() const { return backend_.requestsTo("/heartbeat").back().json(); }

  test::RecordingHttpServer backend_;
  std::shared_ptr<ServerContext> context_ = std::make_shared<ServerContext>();
  ToolCounts& counts_ = context_->counts;
  HeartbeatManager heartbeat_{"3.0.100", context_};
};

TEST_F(HeartbeatTest, BeatCarriesTheCountsAndAFailedOneLeavesThemForTheNext) {
  context_->reportingClient.record("Cursor");
  const std::string down = "http://127.0.0.1:" + std::to_string(test::unusedPort());
  for (const auto& [backend, status] : {std::pair{down, 200}, std::pair{backend_.baseURL(), 503}}) {
    ToolCallCounter::incrementLocalOnly(*context_, "list_events");
    ToolCallCounter::incrementLocalOnly(*context_, "list_events");
    ToolErrorCounter::recordLocalOnly(counts_, "list_events:bad_request");
    ::setenv("TVRN_BACKEND_URL", backend.c_str(), 1);
    reply(status, "{}");
    EXPECT_FALSE(heartbeat_.sendHeartbeat()) << backend << " " << status;

    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    reply(200, "{}");
    ASSERT_TRUE(heartbeat_.sendHeartbeat());
    const nlohmann::json expected = {
        {"machine_id", ConfigManager::shared().getMachineId()},
        {"version", "3.0.100"},
        {"ai_client", "Cursor"},
        {"tool_calls", {{"total", 2}, {"breakdown", {{"list_events", 2}}}}},
        {"tool_errors", {{"total", 1}, {"breakdown", {{"list_events:bad_request", 1}}}}}};
    EXPECT_EQ(lastBeat(), expected) << backend << " " << status;
    ASSERT_TRUE(heartbeat_.sendHeartbeat());
    EXPECT_EQ(lastBeat()["tool_calls"]["total"], 0);
  }
}

TEST_F(HeartbeatTest, RepliesSetTheLatestVersionThePushMessageAndAskForTheManifest) {
  Manifest manifest;
  manifest.remoteConfig.entries["manifest_check_every_beats"] = "1000";
  ManifestStore store;  // as start-up hands it to the heartbeat
  context_->manifestSetting = [&store](const std::string& key) { return store.setting(key); };
  store.setManifest(manifest);
  int manifestChecks = 0;
  context_->manifestCheck = [&] { ++manifestChecks; };
  const auto latestFile = Paths::localShare() / "bin" / ".latest-version";
  struct Row {
    int status;
    std::string body;
    std::string latest;  // the file afterwards
    std::optional<std::string> message;
    int checks;
  };
  // Each row starts where the one before left off.
  const Row rows[] = {
      {200, R"({"latest_version": "3.0.104", "push_message": "Hello"})", "3.0.104", "Hello", 0},
      {200, R"({"latest_version": "soon", "manifest_update": false})", "3.0.104", "Hello", 0},
      {200, R"({"push_message": ""})", "3.0.104", std::nullopt, 0},
      {200, R"({"push_message": "Again", "latest_version": 5})", "3.0.104", "Again", 0},
      {200, R"({"push_message": null})", "3.0.104", std::nullopt, 0},
      {200, R"({"manifest_update": true})", "3.0.104", std::nullopt, 1},
      {200, "not json", "3.0.104", std::nullopt, 1},
      {503, R"({"latest_version": "9.9.9", "push_message": "No", "manifest_update": true})",
       "3.0.104", std::nullopt, 1},
  };
  for (const auto& row : rows) {
    reply(row.status, row.body);
    EXPECT_EQ(heartbeat_.sendHeartbeat(), row.status == 200) << row.body;
    EXPECT_EQ(test::readFile(latestFile), row.latest) << row.body;
    EXPECT_EQ(context_->pushMessage.message(), row.message) << row.body;
    EXPECT_EQ(manifestChecks, row.checks) << row.body;
  }

  // Every third beat asks too; without a manifest, every beat.
  manifest.remoteConfig.entries["manifest_check_every_beats"] = "3";
  store.setManifest(manifest);
  reply(200, "{}");
  manifestChecks = 0;
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(heartbeat_.sendHeartbeat());
  EXPECT_EQ(manifestChecks, 2);
  store.setManifest(std::nullopt);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(heartbeat_.sendHeartbeat());
  EXPECT_EQ(manifestChecks, 4);

  // Another heartbeat in the process counts its own beats, from its first.
  store.setManifest(manifest);
  manifestChecks = 0;
  HeartbeatManager other{"3.0.100", context_};
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(other.sendHeartbeat());
  EXPECT_EQ(manifestChecks, 0);
  EXPECT_TRUE(other.sendHeartbeat());
  EXPECT_EQ(manifestChecks, 1);
}

TEST_F(HeartbeatTest, BeatsAtOnceThenEveryFiveMinutesUntilStopped) {
  reply(200, "{}");
  std::mutex mutex;
  std::vector<std::chrono::milliseconds> waits;
  HeartbeatManager beating("3.0.100", context_,
                           [&](std::chrono::milliseconds duration, std::stop_token) {
                             std::lock_guard hold(mutex);
                             waits.push_back(duration);
                             return waits.size() < 3;
                           });
  beating.startInBackground();
  EXPECT_TRUE(backend_.waitForRequests(3, std::chrono::seconds(10)));
  beating.stop();
  EXPECT_EQ(backend_.requestsTo("/heartbeat").size(), 3u);
  EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>(3, HeartbeatManager::kInterval));
}

}  // namespace
}  // namespace tvrn
