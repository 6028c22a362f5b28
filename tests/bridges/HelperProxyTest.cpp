#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <sstream>
#include <thread>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunner.h"
#include "core/ToolResponse.h"
#include "platform/ExecutablePath.h"
#include "platform/Paths.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

class HelperProxyTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("FAKE_HELPER_LOG", requestLog().c_str(), 1); }

  static std::filesystem::path helperPath() { return Paths::localShare() / "bin/tavrin-helper"; }
  static std::filesystem::path requestLog() { return test::home() / "helper-requests.log"; }

  // Puts the fake helper where the lookup finds it for this user.
  static void installFake() {
    std::filesystem::create_directories(helperPath().parent_path());
    std::filesystem::remove(helperPath());
    std::filesystem::create_symlink(test::fakesDir() / "fake-helper", helperPath());
  }

  static std::vector<std::string> requestLines() {
    std::vector<std::string> lines;
    std::istringstream log(test::readFile(requestLog()));
    for (std::string line; std::getline(log, line);) lines.push_back(json::parse(line)["request"]);
    return lines;
  }

  static json echo(HelperProxy& proxy, const json& args = json::object()) {
    return proxy.callDict("echo", args, 30).value_or(json());
  }

  static std::string failureText(const ToolResult& result) {
    return result.ok() ? "<success>" : result.error().payload();
  }

  // A helper that ends by itself right after answering is still seen running by a call made at
  // once; tests that rely on its end wait for it (gone, or a zombie: state "Z").
  static void waitUntilEnded(const json& pid) {
    const auto stat = "/proc/" + pid.dump() + "/stat";
    EXPECT_TRUE(test::eventually(
        [&] {
          const std::string text = test::readFile(stat);
          return text.empty() || text.find(") Z ") != std::string::npos;
        },
        "the end of the co-process " + pid.dump()));
  }
};

TEST_F(HelperProxyTest, KeepsOneCoProcessAndSpeaksOneCompactLineEachWay) {
  installFake();
  HelperProxy proxy;
  const json first = echo(proxy, {{"text", "ä \"q\"\nx"}});
  EXPECT_EQ(first["args"], (json{{"text", "ä \"q\"\nx"}}));
  // Only an object of arguments is sent; anything else sends none. Only the request lines
  // matter here, not the answers.
  static_cast<void>(proxy.call("echo", JSONValue(JSONValue::Object{{"limit", JSONValue(5)}})));
  static_cast<void>(proxy.call("echo", JSONValue(JSONValue::Array{JSONValue(1)})));
  static_cast<void>(proxy.call("echo", std::nullopt));
  const json last = echo(proxy);
  EXPECT_EQ(last["pid"], first["pid"]);
  EXPECT_EQ(last["count"], 5);
  EXPECT_EQ(requestLines(),
            (std::vector<std::string>{
                R"({"args":{"text":"ä \"q\"\nx"},"method":"echo"})",
                R"({"args":{"limit":5},"method":"echo"})", R"({"args":{},"method":"echo"})",
                R"({"args":{},"method":"echo"})", R"({"args":{},"method":"echo"})"}));
}

TEST_F(HelperProxyTest, RepliesBecomeToolResultsAndKeepTheCoProcess) {
  installFake();
  HelperProxy proxy;
  const json before = echo(proxy);
  const JSONValue object(JSONValue::Object{{"a", JSONValue(1)}});
  struct Row {
    json reply;
    std::optional<JSONValue> success;
    std::string failure = {};  // "permission: " marks permissionDenied
  };
  const std::vector<Row> rows = {
      {{{"text", "hi"}, {"result", {{"a", 1}}}}, ToolResponse::text("hi")},
      {{{"text", 5}, {"result", {{"a", 1.0}}}}, ToolResponse::json(object)},
      {{{"ok", false}, {"error", 5}, {"text", "still text"}}, ToolResponse::text("still text")},
      {{{"ok", true}}, {}, "tavrin-helper: unexpected response format"},
      {{{"error", "No access"}, {"permission", true}}, {}, "permission: No access"},
      {{{"error", "No access"}, {"permission", false}}, {}, "No access"},
      {{{"error", "No access"}, {"permission", "true"}}, {}, "No access"},
      // A result that cannot be sent answers with the reason, never as an empty object.
      {{{"result", "a bare string"}}, ToolResponse::json(JSONValue("a bare string"))},
      {{{"result", 42}}, ToolResponse::json(JSONValue(42))},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reply.dump());
    const ToolResult result = proxy.callArgs("x", {{"fake_reply", row.reply}});
    if (row.success) {
      ASSERT_TRUE(result.ok()) << failureText(result);
      EXPECT_EQ(result.value().encode(), row.success->encode());
    } else {
      ASSERT_FALSE(result.ok());
      const bool permission = result.error().kind() == ToolError::Case::permissionDenied;
      EXPECT_EQ((permission ? "permission: " : "") + result.error().payload(), row.failure);
    }
  }
  for (const json& result : {json::array({1}), json("text"), json(nullptr)}) {
    EXPECT_FALSE(proxy.callDict("x", {{"fake_reply", {{"result", result}}}})) << result;
  }
  EXPECT_EQ(echo(proxy)["pid"], before["pid"]);
}

TEST_F(HelperProxyTest, AFailedExchangeEndsTheCoProcessAndTheNextCallStartsANewOne) {
  installFake();
  std::string tail;
  for (int i = 0; i < 200; ++i) tail += "é";
  const std::vector<std::pair<json, std::string>> rows = {
      {{{"fake_mode", "garbage"}}, "tavrin-helper: invalid response JSON"},
      {{{"fake_reply", ""}}, "tavrin-helper: invalid response JSON"},
      {{{"fake_reply", "[1,2]"}}, "tavrin-helper: invalid response JSON"},
      // Nested past the depth limit: refused rather than converted.
      {{{"fake_reply",
         "{\"ok\":true,\"result\":" + std::string(600, '[') + std::string(600, ']') + "}"}},
       "tavrin-helper: invalid response JSON"},
      {{{"fake_mode", "garbage"}, {"fake_stderr", std::string(300, 'x') + tail + "\n"}},
       "tavrin-helper: invalid response JSON — " + tail},
      {{{"fake_mode", "exit"}, {"fake_exit_status", 7}},
       "tavrin-helper crashed or disconnected (exit 7)"},
      {{{"fake_mode", "exit"}, {"fake_stderr", "fatal: out of luck"}},
       "tavrin-helper crashed or disconnected (exit 3) — fatal: out of luck"},
      {{{"fake_mode", "partial"}}, "<success>"},  // the last line needs no line feed
      // The late reply must not be taken as the next call's.
      {{{"fake_mode", "slow"}, {"fake_delay_ms", 600000}, {"fake_stderr", "thinking"}},
       "tavrin-helper crashed or disconnected (timeout) — thinking"},
  };
  for (const auto& [args, message] : rows) {
    SCOPED_TRACE(args.dump());
    // Time enough for the co-process on a busy machine, and for the slow one to say its word.
    HelperProxy proxy({}, args.contains("fake_delay_ms") ? 5 : 30);
    const json before = echo(proxy);
    EXPECT_EQ(failureText(proxy.callArgs("echo", args)), message);
    waitUntilEnded(before["pid"]);
    const json after = echo(proxy);
    EXPECT_NE(after["pid"], before["pid"]);
    EXPECT_EQ(after["count"], 1);
    EXPECT_EQ(after["args"], json::object());
  }
  // A caller's own time-out wins over the instance's.
  HelperProxy patient;
  EXPECT_FALSE(patient.callDict("echo", {{"fake_mode", "slow"}, {"fake_delay_ms", 5000}}, 0.2));
}

TEST_F(HelperProxyTest, WritingToAHelperThatHasGoneIsTheCrashCase) {
  installFake();
  // A request larger than the pipe holds is still being written when the helper exits.
  for (const std::size_t size : {std::size_t{16}, std::size_t{1} << 20}) {
    ::setenv("FAKE_HELPER_MODE", "exit-at-start", 1);
    ::setenv("FAKE_HELPER_EXIT_STATUS", "5", 1);
    HelperProxy proxy;
    EXPECT_EQ(failureText(proxy.callArgs("echo", {{"blob", std::string(size, 'x')}})),
              "tavrin-helper crashed or disconnected (exit 5)");
    ::unsetenv("FAKE_HELPER_MODE");
    EXPECT_EQ(echo(proxy)["count"], 1);
  }
}

TEST_F(HelperProxyTest, MissingUnstartableAndUnencodableCallsFailWithTheirTexts) {
  if (std::filesystem::exists("/usr/local/bin/tavrin-helper")) GTEST_SKIP() << "helper installed";
  const std::string beside = (ExecutablePath::folder() / "tavrin-helper").string();
  HelperProxy proxy;
  EXPECT_EQ(failureText(proxy.callArgs("echo", json::object())),
            "tavrin-helper not available. The helper binary must be present at: " + beside +
                "\nLast error: Binary not found at " + beside);

  test::writeFile(helperPath(), "not a program");
  std::filesystem::permissions(helperPath(), std::filesystem::perms::owner_read);
  const std::string prefix = "tavrin-helper not available. The helper binary must be present at: " +
                             helperPath().string() + "\nLast error: Launch failed: ";
  EXPECT_EQ(failureText(proxy.callArgs("echo", json::object())).rfind(prefix, 0), 0u);

  std::filesystem::remove(helperPath());
  installFake();
  EXPECT_EQ(echo(proxy)["count"], 1);
  EXPECT_EQ(failureText(proxy.callArgs("echo", {{"n", std::numeric_limits<double>::quiet_NaN()}})),
            "Cannot encode helper request");
  EXPECT_EQ(echo(proxy)["count"], 2);
}

TEST_F(HelperProxyTest, CallsFromManyThreadsGetTheirOwnReplies) {
  installFake();
  HelperProxy proxy;
  HelperProxy other;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const json args = {{"thread", t}, {"i", i}};
        if (echo(proxy, args)["args"] != args) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  EXPECT_NE(echo(other)["pid"], echo(proxy)["pid"]);
  // Ending one instance's helper leaves the other's, and its next call starts a new one.
  const json kept = echo(other);
  const json ended = echo(proxy);
  proxy.end();
  waitUntilEnded(ended["pid"]);
  EXPECT_EQ(echo(other)["pid"], kept["pid"]);
  EXPECT_NE(echo(proxy)["pid"], ended["pid"]);
  EXPECT_EQ(echo(proxy)["count"], 2);
}

TEST_F(HelperProxyTest, TheInProcessHookAnswersOnTheCallersThreadAndStartsNoProgram) {
  std::vector<std::string> received;  // no helper file exists: the co-process road would fail
  std::thread::id hookThread;
  const HelperProxy::InProcessDispatch answer = [&](std::string_view method, const json& args) {
    received.push_back(std::string(method) + " " + args.dump());
    hookThread = std::this_thread::get_id();
    if (method == "list_calendar_names") {
      return json{{"ok", true}, {"result", {{"names", {"Work"}}}}};
    }
    return json{{"ok", false}, {"error", "Calendar access denied."}, {"permission", true}};
  };
  HelperProxy proxy(answer);
  HelperProxy scanner(answer);
  EXPECT_TRUE(proxy.inProcessMode());
  EXPECT_FALSE(HelperProxy().inProcessMode());

  const ToolResult names =
      proxy.call("list_calendar_names", JSONValue(JSONValue::Object{{"limit", JSONValue(2)}}));
  ASSERT_TRUE(names.ok()) << failureText(names);
  EXPECT_NE(names.value().encode().find(R"(\"Work\")"), std::string::npos);
  EXPECT_EQ(hookThread, std::this_thread::get_id());
  const ToolResult denied = scanner.callArgs("probe_calendar_tcc", {});
  EXPECT_EQ(denied.error().kind(), ToolError::Case::permissionDenied);
  EXPECT_EQ(failureText(proxy.callArgs("x", {{"bad", "\xc3"}})),
            "in-process helper: request encoding failed");

  EXPECT_EQ(received, (std::vector<std::string>{R"(list_calendar_names {"limit":2})",
                                                "probe_calendar_tcc {}"}));
  EXPECT_FALSE(std::filesystem::exists(requestLog()));
}

// The in-process road hands the reply's "result" over as a value; the tool's text must be what
// the typed tree of that value would have written.
TEST_F(HelperProxyTest, AnInProcessResultReadsAsItsTypedFormWouldWriteIt) {
  const json results[] = {
      json::parse(R"({"count": 3.0, "ratio": 0.5, "names": ["a", "b"], "none": null})"),
      json{{"big", std::numeric_limits<std::uint64_t>::max()}, {"small", -1}, {"whole", 1e15}},
      json::array({json::object(), json::array({true, 2.5e300, -0.0})}),
      json{{"nan", std::numeric_limits<double>::quiet_NaN()}},
      json{{"bytes", json::binary({1, 2, 3})}},
      json{{"text", "not UTF-8 \xff"}},
      json("a bare string"),
      json(42),
  };
  json result;
  HelperProxy proxy([&](std::string_view, const json&) {
    return json{{"ok", true}, {"result", result}};
  });
  for (const json& value : results) {
    SCOPED_TRACE(value.dump(-1, ' ', false, json::error_handler_t::replace));
    result = value;
    const ToolResult answer = proxy.call("list_calendar_names", std::nullopt);
    ASSERT_TRUE(answer.ok()) << failureText(answer);
    EXPECT_EQ(answer.value().encode(), ToolResponse::json(anyToJSONValue(value)).encode());
  }
}

}  // namespace
}  // namespace tvrn
