#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "server/CoProcesses.h"
#include "support/TestEnv.h"
#include "tools/messaging/MessagingTestSupport.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The pid of the co-process that logged the last request to `log`.
long long lastPid(const fs::path& log) {
  const std::vector<json> lines = test::jsonLines(log);
  return lines.empty() ? 0 : lines.back()["pid"].get<long long>();
}

bool running(long long pid) { return fs::exists("/proc/" + std::to_string(pid)); }

// Every client of one server's set starts a co-process of its own on first use and keeps it; the
// set's end() (what shutdown calls) ends and reaps each, and a later call starts a new one.
TEST(CoProcessesTest, EachClientKeepsItsOwnCoProcessUntilTheSetEndsThem) {
  test::placeFake("fake-helper", "tavrin-helper");
  test::placeFake("fake-jxa-runner", "tavrin-jxa-runner");
  test::placeFake("fake-proxy", "slack-proxy");
  test::placeFake("fake-proxy", "teams-proxy");
  const fs::path helperLog = test::home() / "helper.log";
  const fs::path runnerLog = test::home() / "runner.log";
  const fs::path proxyLog = test::home() / "proxy.log";
  ::setenv("FAKE_HELPER_LOG", helperLog.c_str(), 1);
  ::setenv("FAKE_JXA_RUNNER_LOG", runnerLog.c_str(), 1);
  ::setenv("FAKE_PROXY_LOG", proxyLog.c_str(), 1);

  CoProcesses clients;  // nothing answered in the process: the helper is the program
  // Only the script runners' time-outs tell them apart.
  const std::pair<const JXARunnerProxy*, double> runners[] = {
      {&clients.scripts, 30},       {&clients.scriptsMedium, 60}, {&clients.scriptsSlow, 90},
      {&clients.scriptsScanner, 4}, {&clients.scriptsDiag, 8},    {&clients.scriptsDiagLong, 10},
  };
  for (const auto& [runner, seconds] : runners) EXPECT_EQ(runner->timeoutSeconds(), seconds);

  struct Client {
    const char* name;
    std::function<void()> call;
    const fs::path& log;
  };
  const auto script = [](JXARunnerProxy& runner) {
    return [&runner] { static_cast<void>(runner.runRaw("1")); };
  };
  const auto helper = [](HelperProxy& proxy) {
    return [&proxy] { static_cast<void>(proxy.callDict("echo")); };
  };
  const std::vector<Client> rows = {
      {"helper", helper(clients.helper), helperLog},
      {"helper scanner", helper(clients.helperScanner), helperLog},
      {"scripts", script(clients.scripts), runnerLog},
      {"medium", script(clients.scriptsMedium), runnerLog},
      {"slow", script(clients.scriptsSlow), runnerLog},
      {"scanner", script(clients.scriptsScanner), runnerLog},
      {"diagnostics", script(clients.scriptsDiag), runnerLog},
      {"long diagnostics", script(clients.scriptsDiagLong), runnerLog},
      {"slack", [&] { static_cast<void>(clients.slack.call("list_channels", {})); }, proxyLog},
      {"teams", [&] { static_cast<void>(clients.teams.call("list_chats", {})); }, proxyLog},
  };

  std::vector<long long> first;
  for (const Client& client : rows) {
    client.call();
    first.push_back(lastPid(client.log));
    client.call();
    EXPECT_EQ(lastPid(client.log), first.back()) << client.name << " started a second one";
  }
  EXPECT_EQ(std::set<long long>(first.begin(), first.end()).size(), rows.size())
      << "two clients shared a co-process";

  clients.end();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_FALSE(running(first[i])) << rows[i].name << " still runs";
    rows[i].call();
    EXPECT_NE(lastPid(rows[i].log), first[i]) << rows[i].name;
  }
}

}  // namespace
}  // namespace tvrn
