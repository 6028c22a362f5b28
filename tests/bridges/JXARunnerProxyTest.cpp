#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>
#include <variant>

#include "bridges/JXARunnerProxy.h"
#include "bridges/JXAScript.h"
#include "bridges/TCCMessages.h"
#include "support/CapturedStderr.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

std::string steer(const json& how) { return " /*fake " + how.dump() + " fake*/"; }

// The runner is found where an installed one would be: under the user's home.
class JXARunnerProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installRunner(test::fakesDir() / "fake-jxa-runner");
    ::setenv("FAKE_JXA_RUNNER_LOG", logFile().c_str(), 1);
    ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  }

  static fs::path runnerPath() {
    return test::home() / ".local/share/tavrin/bin/tavrin-jxa-runner";
  }
  static fs::path logFile() { return test::home() / "runner-requests.jsonl"; }

  static void installRunner(const fs::path& program) {
    fs::create_directories(runnerPath().parent_path());
    fs::remove(runnerPath());
    fs::create_symlink(program, runnerPath());
  }

  // Each request the fake runners received, as {"pid": ..., "request": "<line>"}.
  static std::vector<json> requests() {
    std::vector<json> seen;
    std::istringstream lines(test::readFile(logFile()));
    for (std::string line; std::getline(lines, line);) seen.push_back(json::parse(line));
    return seen;
  }
  static long long lastPid() { return requests().back()["pid"].get<long long>(); }

  // Until the process is gone or a zombie.
  static void waitUntilEnded(long long pid) {
    const fs::path stat = "/proc/" + std::to_string(pid) + "/stat";
    EXPECT_TRUE(test::eventually(
        [&] {
          const std::string text = test::readFile(stat);
          const auto state = text.rfind(") ");
          return state == std::string::npos || text.compare(state + 2, 1, "Z") == 0;
        },
        "the end of the runner " + std::to_string(pid)));
  }
};

TEST_F(JXARunnerProxyTest, SpeaksOneCompactLinePerScriptToOneRunner) {
  test::CapturedStderr log;
  JXARunnerProxy proxy(30);
  const std::string script = "var a = 1;\nreturn [a, 2];" + steer({{"stdout", "[1,2]"}});
  const auto value = proxy.run(script);
  ASSERT_TRUE(value.ok()) << value.error().description();
  EXPECT_EQ(value.value(), json::parse("[1,2]"));
  EXPECT_EQ(proxy.runRaw("Application('Mail').name()" + steer({{"stdout", "Mail"}})), "Mail");

  const auto seen = requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0]["pid"], seen[1]["pid"]);
  const json first = json::parse(seen[0]["request"].get<std::string>());
  EXPECT_EQ(first,
            (json{{"method", "run_jxa"},
                  {"args", {{"script", JXAScript::wrap(script)}, {"timeout_seconds", 30}}}}));
  const json second = json::parse(seen[1]["request"].get<std::string>());
  EXPECT_EQ(second["args"]["script"], "Application('Mail').name()" + steer({{"stdout", "Mail"}}));

  const std::string text = log.text();
  const std::string launched =
      "Co-process launched pid=" + std::to_string(seen[0]["pid"].get<long long>()) + " timeout=30s";
  EXPECT_NE(text.find(launched), std::string::npos) << text;
  EXPECT_EQ(text.find("Co-process launched"), text.rfind("Co-process launched"));
}

TEST_F(JXARunnerProxyTest, EachReplyShapeHasItsOutcomeAndRunnerFate) {
  using Error = JXAError;
  const std::string invalid = "invalid runner response";
  const std::tuple<std::string, std::variant<json, JXAError>, bool> cases[] = {
      {R"({"reply": {"error": "boom", "output": "[1]"}})", Error::scriptError("boom"), true},
      {R"({"error": "late", "timed_out": true, "permission": true})", Error::timeout(), true},
      {R"({"error": "refused", "permission": true})", Error::permissionDenied("Mail"), true},
      {R"({"error": "plain", "timed_out": false, "permission": "yes"})",
       Error::scriptError("plain"), true},
      {R"({"reply": {"error": 5, "output": "[2]"}})", json::parse("[2]"), true},
      {R"({"reply": {"timed_out": true}})", Error::scriptError("runner response missing output"),
       true},
      {R"({"reply": "oops"})", Error::scriptError(invalid), false},
      {R"({"reply": [1]})", Error::scriptError(invalid), false},
      {R"({"reply": ""})", Error::scriptError(invalid), false},
      {R"({"reply": {"output": "[3]"}, "partial": true})", json::parse("[3]"), false},
      {R"({"exit": 7, "stderr": "runner died\n"})",
       Error::scriptError("tavrin-jxa-runner crashed or timed out (exit 7) — runner died"), false},
  };
  JXARunnerProxy proxy(30);
  for (const auto& [directive, expected, runnerKept] : cases) {
    const auto result =
        proxy.run("Application('Mail').x(); \"Mail'" + steer(json::parse(directive)));
    if (const json* value = std::get_if<json>(&expected)) {
      ASSERT_TRUE(result.ok()) << directive << ": " << result.error().description();
      EXPECT_EQ(result.value(), *value) << directive;
    } else {
      ASSERT_FALSE(result.ok()) << directive;
      EXPECT_EQ(result.error(), std::get<JXAError>(expected)) << directive;
    }
    const long long pid = lastPid();
    // A runner that left by itself must be seen gone, not caught between its reply and its exit.
    if (!runnerKept) waitUntilEnded(pid);
    ASSERT_TRUE(proxy.run("return {};").ok()) << directive;
    EXPECT_EQ(lastPid() == pid, runnerKept) << directive;
  }
}

TEST_F(JXARunnerProxyTest, SilentRunnerIsEndedWithItsStderrAndReplaced) {
  JXARunnerProxy proxy(0, 1s);
  const auto silent = proxy.run(steer({{"stderr", "still thinking\n"}, {"hang", true}}));
  ASSERT_FALSE(silent.ok());
  EXPECT_EQ(
      silent.error(),
      JXAError::scriptError("tavrin-jxa-runner crashed or timed out (timeout) — still thinking"));
  const long long hungPid = lastPid();
  ASSERT_TRUE(proxy.run("return {};").ok());
  EXPECT_NE(lastPid(), hungPid);
  EXPECT_NE(::kill(static_cast<pid_t>(hungPid), 0), 0) << "the silent runner is still alive";
}

TEST_F(JXARunnerProxyTest, ChattyStderrDoesNotStallTheRunner) {
  JXARunnerProxy proxy(30);
  const auto result = proxy.run(
      steer({{"stderr", "log line\n"}, {"repeat", 100000}, {"prefix", "[1]"}, {"stdout", ""}}));
  ASSERT_TRUE(result.ok()) << result.error().description();
  EXPECT_EQ(result.value(), json::parse("[1]"));
}

TEST_F(JXARunnerProxyTest, WriteToAClosedRunnerIsACrashAndTheNextCallStartsAnew) {
  const fs::path closer = test::home() / "closing-runner";
  test::writeFile(closer, "#!/bin/sh\nexec 0<&-\nexit 3\n");
  fs::permissions(closer, fs::perms::owner_all);
  installRunner(closer);
  JXARunnerProxy proxy(30);
  const auto crashed = proxy.run(std::string(1 << 20, ' ') + "return 1;");
  ASSERT_FALSE(crashed.ok());
  EXPECT_EQ(crashed.error(),
            JXAError::scriptError("tavrin-jxa-runner crashed or timed out (exit 3)"));

  installRunner(test::fakesDir() / "fake-jxa-runner");
  EXPECT_TRUE(proxy.run("return {};").ok());
}

TEST_F(JXARunnerProxyTest, RunnerThatCannotStartIsUnavailable) {
  fs::remove(runnerPath());
  test::writeFile(runnerPath(), "not a program");
  const auto result = JXARunnerProxy(30).run("return 1;");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().payload().rfind("tavrin-jxa-runner unavailable (Launch failed: ", 0), 0u)
      << result.error().payload();
}

TEST_F(JXARunnerProxyTest, ToolResultsNameTheApplicationInFailures) {
  const std::string outlook = "Application('Microsoft Outlook').running();";
  const std::string safari = "Application(\"Safari\").windows();";
  const auto runnerTimeout = steer({{"error", "late"}, {"timed_out", true}});
  JXARunnerProxy medium(60);
  EXPECT_EQ(medium.runAsJSONValue(outlook + runnerTimeout).error(),
            ToolError::executionFailed(
                "Microsoft Outlook is not responding (30s timeout). Microsoft Outlook may be stuck "
                "syncing. Open Microsoft Outlook and wait for it to finish syncing, then retry. If "
                "you have Outlook installed, try outlook_search_emails or outlook_list_emails as "
                "alternatives."));
  EXPECT_EQ(medium.runAsJSONValue(safari + runnerTimeout).error(),
            ToolError::executionFailed("JXA script timed out — Safari is not responding"));
  EXPECT_EQ(medium.runAsJSONValue(safari + steer({{"error", "no"}, {"permission", true}})).error(),
            ToolError::permissionDenied(TCCMessages::automationDenied("Safari")));
}

TEST_F(JXARunnerProxyTest, WithoutARunnerEachScriptRunsThroughTheScriptHost) {
  fs::remove(runnerPath());
  JXARunnerProxy proxy(30);
  const std::string mail = "Application('Mail').accounts();";
  const std::pair<std::string, std::variant<std::string, JXAError>> cases[] = {
      {steer({{"stdout", "  [1]\n"}}), std::string("[1]")},
      {mail + steer({{"stdout", ""}}), JXAError::permissionDenied("Mail")},
      {mail + steer({{"stdout", ""}, {"stderr", "Not authorized"}, {"exit", 1}}),
       JXAError::permissionDenied("Mail")},
      {steer({{"stdout", "what went wrong"}, {"exit", 2}}),
       JXAError::scriptError("what went wrong")},
      {steer({{"stdout", ""}, {"exit", 2}}), JXAError::scriptError("osascript exited 2")},
  };
  for (const auto& [script, expected] : cases) {
    const auto output = proxy.runRaw(script);
    const auto result = proxy.run("return 0;" + script);
    if (const auto* text = std::get_if<std::string>(&expected)) {
      EXPECT_EQ(output, *text) << script;
    } else {
      EXPECT_EQ(output, std::nullopt) << script;
      ASSERT_FALSE(result.ok()) << script;
      EXPECT_EQ(result.error(), std::get<JXAError>(expected)) << script;
    }
  }
  EXPECT_TRUE(requests().empty());

  // The script host gets the script's own time-out, without the runner's reply margin.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(JXARunnerProxy(0.3, 10s).run(steer({{"delay_ms", 8000}})).error(), JXAError::timeout());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

  const auto whole = JXARunnerProxy(30).run(
      steer({{"prefix", "[\""}, {"stdout", "y"}, {"repeat", 1 << 20}, {"suffix", "\"]"}}));
  ASSERT_TRUE(whole.ok()) << whole.error().description();
  EXPECT_EQ(whole.value()[0].get_ref<const std::string&>().size(), std::size_t{1} << 20);

  ::setenv("TVRN_OSASCRIPT", (test::home() / "no-osascript").c_str(), 1);
  EXPECT_EQ(proxy.run("return 1;").error(), JXAError::scriptError("cannot launch osascript"));
}

TEST_F(JXARunnerProxyTest, ConcurrentCallersGetTheirOwnRepliesAndInstancesDoNotWaitOnEachOther) {
  JXARunnerProxy proxy(30);
  std::vector<std::thread> callers;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const json answer = json::array({t, i});
        const auto result = proxy.run(steer({{"stdout", answer.dump()}, {"delay_ms", 5}}));
        if (!result.ok() || result.value() != answer) ++mismatches;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(mismatches, 0);
  const auto seen = requests();
  ASSERT_EQ(seen.size(), 20u);
  for (const json& request : seen) EXPECT_EQ(request["pid"], seen[0]["pid"]);

  std::atomic<bool> slowDone{false};
  std::thread slowCaller([&] {
    EXPECT_TRUE(proxy.run(steer({{"delay_ms", 5000}})).ok());
    slowDone = true;
  });
  ASSERT_TRUE(test::eventually([] { return requests().size() > 20; }, "the slow request"));
  EXPECT_TRUE(JXARunnerProxy(30).run("return {};").ok());
  EXPECT_FALSE(slowDone) << "a second instance waited for the first one's runner";
  slowCaller.join();
}

}  // namespace
}  // namespace tvrn
