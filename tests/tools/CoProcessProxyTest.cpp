#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridges/CoProcessSupport.h"
#include "tools/CoProcessProxy.h"
#include "tools/MessagingTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr double kTimeout = 1;

struct Outcome {
  bool ok = false;
  json value;  // the result when ok, else the error's text
};

Outcome outcomeOf(const ToolResult& result) {
  if (!result) return {false, result.error().description()};
  return {true, result.value().rawValue()};
}

std::vector<long long> pidsIn(const std::filesystem::path& log) {
  std::vector<long long> pids;
  for (const json& line : test::jsonLines(log)) pids.push_back(line["pid"].get<long long>());
  return pids;
}

// Until the process has ended (a zombie not yet reaped counts), for at most two seconds.
void waitUntilEnded(long long pid) {
  const auto stat = "/proc/" + std::to_string(pid) + "/stat";
  for (int i = 0; i < 200; ++i) {
    const std::string text = test::readFile(stat);
    const auto close = text.rfind(')');
    if (close == std::string::npos || text.compare(close + 2, 1, "Z") == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

struct Behaviour {
  const char* name;
  std::vector<std::pair<const char*, std::string>> environment;
  Outcome expected;
  bool sameProcessAfter;
};

const std::string kLongError = std::string(150, 'a') + std::string(150, 'b');

// Each behaviour of the co-process, then a second call that it answers normally: which answer
// the first call gets, and whether the same process is still there for the second.
TEST(CoProcessProxyTest, EachReplyOrFailureGivesItsAnswerAndKeepsOrReplacesTheProcess) {
  const json echo = {{"method", "m"}, {"args", {{"n", 1}}}};
  const std::vector<Behaviour> behaviours = {
      {"echo", {}, {true, echo}, true},
      {"split over writes", {{"FAKE_PROXY_MODE", "split"}}, {true, echo}, true},
      {"stderr flood", {{"FAKE_PROXY_MODE", "flood"}}, {true, echo}, true},
      {"error reply",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", R"({"error":"gone"})"}},
       {false, "Slack: gone"},
       true},
      {"error object and result",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", R"({"error":{"x":1},"result":[1]})"}},
       {true, json::array({1})},
       true},
      {"empty object",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", "{}"}},
       {true, nullptr},
       true},
      {"garbage",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", "not json"}},
       {false, "Slack: invalid response JSON"},
       false},
      {"bare line feed",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", ""}},
       {false, "Slack: invalid response JSON"},
       false},
      {"array reply",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", "[1]"}},
       {false, "Slack: invalid response JSON"},
       false},
      {"garbage after stderr",
       {{"FAKE_PROXY_MODE", "reply"}, {"FAKE_PROXY_REPLY", "?"}, {"FAKE_PROXY_STDERR", " bad\n"}},
       {false, "Slack: invalid response JSON — bad"},
       false},
      {"partial last line", {{"FAKE_PROXY_MODE", "partial"}}, {true, echo}, false},
      {"exit 9",
       {{"FAKE_PROXY_MODE", "exit"},
        {"FAKE_PROXY_EXIT_STATUS", "9"},
        {"FAKE_PROXY_STDERR", "cache locked\n"}},
       {false, "Slack co-process crashed or disconnected (exit 9) — cache locked"},
       false},
      {"exit after long error output",
       {{"FAKE_PROXY_MODE", "exit"},
        {"FAKE_PROXY_EXIT_STATUS", "2"},
        {"FAKE_PROXY_STDERR", kLongError}},
       {false, "Slack co-process crashed or disconnected (exit 2) — " + kLongError.substr(100)},
       false},
      {"silence",
       {{"FAKE_PROXY_MODE", "silent"}},
       {false, "Slack co-process crashed or disconnected (timeout)"},
       false},
  };
  for (const Behaviour& behaviour : behaviours) {
    SCOPED_TRACE(behaviour.name);
    const auto log = test::home() / (std::string(behaviour.name) + ".log");
    ::setenv("FAKE_PROXY_LOG", log.c_str(), 1);
    for (const char* name : {"FAKE_PROXY_MODE", "FAKE_PROXY_REPLY", "FAKE_PROXY_STDERR"}) {
      ::unsetenv(name);
    }
    for (const auto& [name, value] : behaviour.environment) ::setenv(name, value.c_str(), 1);
    if (!std::filesystem::exists(test::home() / ".local/share/tavrin/bin/slack-proxy")) {
      test::placeFake("fake-proxy", "slack-proxy");
    }
    CoProcessProxy proxy(kSlackProxyTexts, kTimeout);

    const Outcome first = outcomeOf(proxy.call("m", {{"n", 1}}));
    EXPECT_EQ(first.ok, behaviour.expected.ok);
    EXPECT_EQ(first.value, behaviour.expected.value);
    // A process that answered and then ended is replaced once its end is seen.
    if (first.ok && !behaviour.sameProcessAfter) waitUntilEnded(pidsIn(log).at(0));
    const Outcome second = outcomeOf(proxy.call("m", {{"fake_mode", "echo"}}));
    EXPECT_TRUE(second.ok) << second.value;

    const auto pids = pidsIn(log);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_EQ(pids[0] == pids[1], behaviour.sameProcessAfter);
    if (!behaviour.sameProcessAfter) {  // the replaced process is gone, not left behind
      EXPECT_EQ(::kill(static_cast<pid_t>(pids[0]), 0), -1);
      EXPECT_EQ(errno, ESRCH);
    }
  }
}

TEST(CoProcessProxyTest, SendsOneCompactLineWithMethodFirst) {
  const auto log = test::placeFakeProxy("teams-proxy");
  CoProcessProxy proxy(kTeamsProxyTexts, kTimeout);
  ASSERT_TRUE(proxy.call("list_workspaces", json::object()));
  ASSERT_TRUE(proxy.call("read", {{"text", "é \"q\"\n"}, {"limit", 5}, {"confirm", true}}));
  const auto lines = test::jsonLines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["request"], R"({"method":"list_workspaces","args":{}})");
  EXPECT_EQ(lines[1]["request"],
            R"({"method":"read","args":{"confirm":true,"limit":5,"text":"é \"q\"\n"}})");

  const auto refused = proxy.call("read", {{"text", "\xff"}});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description(), "Cannot encode Teams request");
}

// A co-process that stops reading meets the next request with a broken pipe: that call fails as
// a crash, and the one after it runs on a new process.
TEST(CoProcessProxyTest, ABrokenPipeIsACrashAndTheNextCallRelaunches) {
  const auto log = test::placeFakeProxy("slack-proxy");
  ::setenv("FAKE_PROXY_MODE", "hang-up", 1);
  CoProcessProxy proxy(kSlackProxyTexts, kTimeout);
  ASSERT_TRUE(proxy.call("first", json::object()));
  const auto broken = proxy.call("second", json::object());
  ASSERT_FALSE(broken);
  EXPECT_TRUE(broken.error().description().starts_with("Slack co-process crashed or disconnected"))
      << broken.error().description();
  ASSERT_TRUE(proxy.call("third", json::object()));

  const auto lines = test::jsonLines(log);
  ASSERT_EQ(lines.size(), 2u);  // the second request never arrived
  EXPECT_NE(lines[0]["pid"], lines[1]["pid"]);
  EXPECT_EQ(lines[1]["request"], R"({"method":"third","args":{}})");
}

TEST(CoProcessProxyTest, WithoutAProgramAnywhereNamesTheFirstPlaceTwice) {
  for (const CoProcessProxyTexts* texts : {&kSlackProxyTexts, &kTeamsProxyTexts}) {
    const std::string path = CoProcessSupport::programCandidates(texts->program).front().string();
    CoProcessProxy proxy(*texts, kTimeout);
    const auto result = proxy.call("list_workspaces", json::object());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(),
              texts->notAvailable + path + "\nLast error: Binary not found at " + path);
  }
}

}  // namespace
}  // namespace tvrn
