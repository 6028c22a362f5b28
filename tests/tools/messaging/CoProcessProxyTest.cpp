#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/CoProcessSupport.h"
#include "tools/messaging/CoProcessProxy.h"
#include "tools/messaging/MessagingTestSupport.h"

namespace tvrn {
namespace {

using nlohmann::json;

// The reply or failure text of a call, as one value.
json outcomeOf(const ToolResult& result) {
  return result ? result.value().rawValue() : json(result.error().description());
}

struct Behaviour {
  const char* mode;
  std::string reply;   // FAKE_PROXY_REPLY
  std::string stderr;  // FAKE_PROXY_STDERR
  json expected;
  bool sameProcessAfter;
};

// Each behaviour of the co-process, then a call that it answers normally: what the first call
// gets, and whether the same process answers the second or a new one (the old one gone).
TEST(CoProcessProxyTest, EachReplyOrFailureGivesItsAnswerAndKeepsOrReplacesTheProcess) {
  const std::string longError = std::string(150, 'a') + std::string(150, 'b');
  const json echo = {{"method", "m"}, {"args", {{"n", 1}}}};
  const std::vector<Behaviour> behaviours = {
      {"split", "", "", echo, true},
      {"flood", "", "", echo, true},
      {"reply", R"({"error":"gone"})", "", "Slack: gone", true},
      {"reply", R"({"error":{"x":1},"result":[1]})", "", json::array({1}), true},
      {"reply", "{}", "", nullptr, true},
      {"reply", "", "", "Slack: invalid response JSON", false},
      {"reply", "[1]", " bad\n", "Slack: invalid response JSON — bad", false},
      {"exit", "", longError,
       "Slack co-process crashed or disconnected (exit 9) — " + longError.substr(100), false},
      {"silent", "", "", "Slack co-process crashed or disconnected (timeout)", false},
  };
  test::placeFake("fake-proxy", "slack-proxy");
  ::setenv("FAKE_PROXY_EXIT_STATUS", "9", 1);
  int round = 0;
  for (const Behaviour& behaviour : behaviours) {
    SCOPED_TRACE(behaviour.mode + (" " + behaviour.reply));
    const auto log = test::home() / ("round" + std::to_string(++round) + ".log");
    ::setenv("FAKE_PROXY_LOG", log.c_str(), 1);
    ::setenv("FAKE_PROXY_MODE", behaviour.mode, 1);
    ::setenv("FAKE_PROXY_REPLY", behaviour.reply.c_str(), 1);
    ::setenv("FAKE_PROXY_STDERR", behaviour.stderr.c_str(), 1);
    CoProcessProxy proxy(kSlackProxyTexts, 1);

    EXPECT_EQ(outcomeOf(proxy.call("m", {{"n", 1}})), behaviour.expected);
    EXPECT_TRUE(proxy.call("m", {{"fake_mode", "echo"}}));
    const auto lines = test::jsonLines(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["pid"] == lines[1]["pid"], behaviour.sameProcessAfter);
    if (!behaviour.sameProcessAfter) {
      EXPECT_EQ(::kill(lines[0]["pid"].get<pid_t>(), 0), -1);
      EXPECT_EQ(errno, ESRCH);
    }
  }
}

TEST(CoProcessProxyTest, SendsOneCompactLineWithMethodFirst) {
  const auto log = test::placeFakeProxy("teams-proxy");
  CoProcessProxy proxy(kTeamsProxyTexts, 1);
  ASSERT_TRUE(proxy.call("list_workspaces", json::object()));
  ASSERT_TRUE(proxy.call("read", {{"text", "é \"q\"\n"}, {"limit", 5}, {"confirm", true}}));
  EXPECT_EQ(outcomeOf(proxy.call("read", {{"text", "\xff"}})), "Cannot encode Teams request");
  const auto lines = test::jsonLines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["request"], R"({"method":"list_workspaces","args":{}})");
  EXPECT_EQ(lines[1]["request"],
            R"({"method":"read","args":{"confirm":true,"limit":5,"text":"é \"q\"\n"}})");
}

// A co-process that stops reading meets the next request with a broken pipe: that call fails as
// a crash (and the server lives on), and the one after it runs on a new process.
TEST(CoProcessProxyTest, ABrokenPipeIsACrashAndTheNextCallRelaunches) {
  const auto log = test::placeFakeProxy("slack-proxy");
  ::setenv("FAKE_PROXY_MODE", "hang-up", 1);
  CoProcessProxy proxy(kSlackProxyTexts, 1);
  ASSERT_TRUE(proxy.call("first", json::object()));
  const auto broken = proxy.call("second", json::object());
  ASSERT_FALSE(broken);
  EXPECT_TRUE(broken.error().description().starts_with("Slack co-process crashed or disconnected"));
  ASSERT_TRUE(proxy.call("third", json::object()));

  const auto lines = test::jsonLines(log);
  ASSERT_EQ(lines.size(), 2u);  // the second request never arrived
  EXPECT_NE(lines[0]["pid"], lines[1]["pid"]);
}

TEST(CoProcessProxyTest, WithoutAProgramAnywhereNamesTheFirstPlaceTwice) {
  for (const CoProcessProxyTexts* texts : {&kSlackProxyTexts, &kTeamsProxyTexts}) {
    const auto path = CoProcessSupport::programCandidates(texts->program).front().string();
    CoProcessProxy proxy(*texts, 1);
    EXPECT_EQ(outcomeOf(proxy.call("list_workspaces", json::object())),
              texts->notAvailable + path + "\nLast error: Binary not found at " + path);
  }
}

}  // namespace
}  // namespace tvrn
