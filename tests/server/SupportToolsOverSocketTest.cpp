#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "core/IPCServer.h"
#include "platform/Subprocess.h"
#include "server/ServerCore.h"
#include "support/OwnProcesses.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

class SupportToolsOverSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { test::useUnusedStatusPort(); }
  void TearDown() override { ServerCore::shutdown(); }

  json result(test::SocketClient& client, const std::string& tool,
              const json& arguments = json::object()) {
    auto reply =
        client.call(test::request(++id_, "tools/call", {{"name", tool}, {"arguments", arguments}}),
                    std::chrono::seconds(30));
    return reply ? (*reply)["result"] : json();
  }
  std::string call(test::SocketClient& client, const std::string& tool,
                   const json& arguments = json::object()) {
    const json answer = result(client, tool, arguments);
    return answer.is_null() ? "(no reply)" : answer["content"][0]["text"].get<std::string>();
  }

  // The fake back end with the arguments given, the server pointed at it.
  Subprocess& startBackend(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), (test::fakesDir() / "fake-backend").string());
    auto started = Subprocess::start(SpawnOptions(std::move(arguments)));
    EXPECT_TRUE(started.ok());
    backend_ = std::move(started.value());
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const LineRead url = backend_->readLine(deadline);
    const LineRead key = backend_->readLine(deadline);
    EXPECT_TRUE(url.text.starts_with("URL: ") && key.text.starts_with("KEY: "));
    ::setenv("TVRN_BACKEND_URL", url.text.substr(5).c_str(), 1);
    ::setenv("TVRN_UPDATE_PUBLIC_KEY", key.text.substr(5).c_str(), 1);
    return *backend_;
  }

  int id_ = 0;
  std::unique_ptr<Subprocess> backend_;
};

// Whether the fake back end prints a line holding `part` within `patience`: it prints its address
// and key first, then one line per request it passes on. The lines up to it are used up.
bool printsWithin(Subprocess& backend, std::string_view part, std::chrono::milliseconds patience) {
  const auto until = Clock::now() + patience;
  for (LineRead read = backend.readLine(until); read.status == LineStatus::line;
       read = backend.readLine(until)) {
    if (read.text.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST_F(SupportToolsOverSocketTest, UpdateChecksOnlyWhenAskedAndInstallsOtherwise) {
  Subprocess& backend = startBackend();
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  EXPECT_EQ(call(*client, "update_tavrin", {{"check_only", true}}),
            "TVRN server v3.0.200 is available (running v3.0.100). Call update_tavrin to install.");
  EXPECT_FALSE(printsWithin(backend, ".tar.gz", std::chrono::milliseconds(300)));

  const json answer = result(*client, "update_tavrin");
  EXPECT_FALSE(answer.contains("isError")) << answer;
  const std::string installed = answer["content"][0].value("text", "");
  EXPECT_NE(installed.find("✓ Server updated to v3.0.200."), std::string::npos) << installed;
  EXPECT_TRUE(printsWithin(backend, ".tar.gz", std::chrono::seconds(30)));
  const fs::path data = test::home() / ".local/share/tavrin";
  EXPECT_EQ(test::readFile(data / "bin/.server-version"), "3.0.200");
  EXPECT_TRUE(fs::exists(data / "update-log.json"));

  const json diagnosis = json::parse(call(*client, "update_self_diagnosis", {{"limit", 50}}));
  const json& attempts = diagnosis["recent_attempts"];
  ASSERT_FALSE(attempts.empty());
  EXPECT_EQ(attempts[0]["phase"], "complete");
  EXPECT_EQ(attempts[0]["to"], "3.0.200");
  EXPECT_EQ(attempts.back()["phase"], "fetch_latest");
  EXPECT_EQ(attempts.back()["to"], "");  // no target yet, and no null
  EXPECT_EQ(attempts.back()["error"], "");
  EXPECT_EQ(diagnosis["cache_writable"], true);
  EXPECT_NE(diagnosis["last_success_at"], "");

  const json state = json::parse(call(*client, "tvrn_state"));
  EXPECT_EQ(state["update"]["disk_version"], "3.0.200");
  EXPECT_EQ(state["update"]["needs_restart"], true);
  backend.terminate();
}

// An update that cannot be installed is a failed call, told in the updater's own words.
TEST_F(SupportToolsOverSocketTest, AnUpdateThatCannotBeInstalledIsAFailedCall) {
  Subprocess& backend = startBackend({"--tamper"});
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  const json answer = result(*client, "update_tavrin");
  EXPECT_EQ(answer.value("isError", false), true) << answer;
  EXPECT_TRUE(answer["content"][0]
                  .value("text", "")
                  .starts_with("Downloading v3.0.200...\nServer update failed: "))
      << answer;
  EXPECT_NE(test::readFile(test::home() / ".local/share/tavrin/bin/.server-version"), "3.0.200");
  backend.terminate();
}

TEST_F(SupportToolsOverSocketTest, StateFollowsTheScanOfTheHome) {
  fs::create_directories(test::home() / "Library/CloudStorage/OneDrive-Personal");
  test::writeFile(test::home() / ".local/share/tavrin/bin/.latest-version", "3.0.104\n");
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  test::waitForServices([](const json& services) { return !services["onedrive"].empty(); });
  auto client = test::SocketClient::connect(IPCServer::socketPath());
  ASSERT_TRUE(client);
  const json state = json::parse(call(*client, "tvrn_state"));
  EXPECT_EQ(state["services"]["onedrive"], (json{{"accounts", 1}}));
  EXPECT_EQ(state["update"]["versions_behind"], 4);
  EXPECT_EQ(state["update"]["available"], true);
  EXPECT_EQ(state["last_activity"]["tool"], "tvrn_state");  // the call itself is counted first
  EXPECT_EQ(state["version"], ServerCore::version());
}

}  // namespace
}  // namespace tvrn
