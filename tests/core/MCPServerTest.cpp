#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/Dispatch.h"
#include "core/AuditLog.h"
#include "core/ConfigManager.h"
#include "core/InFlightRequestTracker.h"
#include "core/MCPServer.h"
#include "core/MCPServerTexts.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "fakes/support/RecordingHttpServer.h"
#include "support/CapturedStderr.h"
#include "support/Eventually.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::notification;
using test::request;
using test::SessionOverSocket;
using namespace std::chrono_literals;

constexpr std::string_view kParseError =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})";

ToolDefinition testTool(std::string name, ToolHandler handler, ToolKind kind = ToolKind::readOnly) {
  return {name,
          "Test tool " + name,
          {{"type", "object"}, {"properties", json::object()}},
          kind,
          std::move(handler)};
}

ToolHandler failingWith(ToolError error) {
  return [error](const std::optional<JSONValue>&) -> ToolResult { return fail(error); };
}

// Tells that it runs, then answers the text once released.
ToolHandler heldUntil(std::promise<void>& entered, std::shared_future<void> released,
                      std::string text) {
  return [&entered, released, text](const std::optional<JSONValue>&) -> ToolResult {
    entered.set_value();
    released.wait();
    return ToolResponse::text(text);
  };
}

// Answers with the text it was given in "text", so a test controls what a result holds.
ToolResult echo(const std::optional<JSONValue>& arguments) {
  const JSONValue* text = arguments ? (*arguments)["text"] : nullptr;
  return ToolResponse::text(text != nullptr ? text->asString().value_or("") : "echo");
}

std::shared_ptr<ToolRegistry> testRegistry() {
  auto registry = std::make_shared<ToolRegistry>();
  registry->registerTool(testTool("echo", echo));
  ToolDefinition welcome = testTool("tvrn_welcome", echo);
  welcome.introductory = true;
  registry->registerTool(std::move(welcome));
  registry->registerTool(testTool("needs_x", failingWith(ToolError::missingParam("x"))));
  registry->registerTool(testTool("bad_x", failingWith(ToolError::invalidParam("x", "a number"))));
  registry->registerTool(
      testTool("breaks", failingWith(ToolError::executionFailed("mail for bob@example.com"))));
  registry->registerTool(testTool("refused", failingWith(ToolError::permissionDenied("no"))));
  registry->registerTool(testTool("gone", failingWith(ToolError::notFound("thing 'x'"))));
  registry->registerTool(testTool("missing", failingWith(ToolError::resourceNotFound("file"))));
  registry->registerTool(testTool("writes", echo, ToolKind::write));
  return registry;
}

// Sets the key in the user's settings, or removes it when given nothing.
void setUserSetting(const std::string& key, const std::optional<json>& value) {
  EXPECT_TRUE(ConfigManager::updateUserFile(ConfigManager::shared().configPath(), [&](json& user) {
    if (value) {
      user[key] = *value;
    } else {
      user.erase(key);
    }
  }));
}

std::string resultText(const json& reply) {
  return reply.at("result").at("content").at(0).at("text").get<std::string>();
}

TEST(MCPServerTest, InitializePicksHintsByClientAndFirstUseAndAddsThePermissionAlert) {
  std::atomic<int> permissionQueries = 0;
  std::map<std::string, std::string> statuses;
  const auto registry = testRegistry();
  registry->context().permissionStatus = [&] {
    ++permissionQueries;
    return statuses;
  };
  SessionOverSocket session(registry, "3.1.4");
  auto& client = session.client();

  // Without an id nothing is answered, and neither the permissions nor the settings are asked.
  ASSERT_TRUE(client.sendJSON(notification("initialize", {{"clientInfo", {{"name", "x"}}}})));
  EXPECT_TRUE(client.staysSilent());
  EXPECT_EQ(permissionQueries, 0);

  namespace T = MCPServerTexts;
  const std::string none;
  struct Case {
    json params;
    std::optional<json> firstToolCallAt;
    std::string expectedHints;
  };
  const std::optional<json> before;
  const json after = "2024-01-01T00:00:00Z";
  const std::vector<Case> cases = {
      {{{"clientInfo", {{"name", "CuRsOr"}}}}, before, std::string(T::cursorFirstRunHint)},
      {{{"clientInfo", {{"name", "claude-code"}}}}, before, std::string(T::claudeCodeFirstRunHint)},
      {{{"clientInfo", {{"name", "claude-code"}}}}, after, std::string(T::claudeCodeContextHint)},
      {{{"clientInfo", {{"name", "Claude Desktop"}}}}, after, none},
      {{{"clientInfo", {{"name", "cursor+claude"}}}}, before, std::string(T::cursorFirstRunHint)},
      {{{"clientInfo", {{"name", "cursor+claude"}}}},
       after,
       std::string(T::cursorContextHint) + std::string(T::claudeCodeContextHint)},
      {nullptr, before, std::string(T::generalFirstRunHint)},
      {{{"clientInfo", "cursor"}}, after, none},
      // Any value marks a machine that has called a tool before, null included.
      {{{"clientInfo", {{"name", "Cursor"}}}}, json(nullptr), std::string(T::cursorContextHint)},
  };
  int id = 0;
  for (const Case& c : cases) {
    setUserSetting("first_tool_call_at", c.firstToolCallAt);
    const auto reply = client.call(request(++id, "initialize", c.params));
    ASSERT_TRUE(reply) << c.params;
    const json expected = {
        {"protocolVersion", "2024-11-05"},
        {"capabilities", {{"tools", json::object()}, {"prompts", json::object()}}},
        {"serverInfo", {{"name", "tavrin-server"}, {"version", "3.1.4"}}},
        {"instructions", std::string(T::baseInstructions) + c.expectedHints},
    };
    EXPECT_EQ(reply->at("id"), id);
    EXPECT_EQ(reply->at("result"), expected)
        << c.params << " first call at " << c.firstToolCallAt.value_or("none");
  }
  EXPECT_EQ(permissionQueries, static_cast<int>(cases.size()));

  // Services whose access was refused are listed sorted, with where this system grants access;
  // one not asked for yet is left out (a tool asks when it first needs it), as are granted ones.
  using Statuses = std::map<std::string, std::string>;
  const std::vector<std::pair<Statuses, std::string>> alerts = {
      {{{"calendar", "notDetermined"}, {"reminders", "notDetermined"}, {"contacts", "granted"}},
       ""},
      {{{"reminders", "restricted"},
        {"contacts", "notDetermined"},
        {"calendar", "denied"},
        {"photos", "unknown"}},
       "calendar, reminders"},
      {{{"calendar", "writeOnly"}, {"contacts", "granted"}}, "calendar"},
  };
  setUserSetting("first_tool_call_at", before);
  for (const auto& [given, listed] : alerts) {
    statuses = given;
    const auto reply =
        client.call(request(++id, "initialize", {{"clientInfo", {{"name", "Cursor"}}}}));
    ASSERT_TRUE(reply);
    const std::string alert =
        listed.empty()
            ? ""
            : "\nPERMISSION ALERT: The following services are currently blocked on this Mac: " +
                  listed +
                  ". If the user asks about any of these, tell them FIRST to open the TVRN tray's "
                  "Permissions section → [service name] (without the tray: set the service's "
                  "entry to \"granted\" in ~/.config/tavrin/pim/authorization.json) and enable "
                  "\"tavrin-server\" BEFORE trying the tool. This avoids a confusing permission "
                  "error.";
    EXPECT_EQ(reply->at("result").at("instructions"),
              std::string(T::baseInstructions) + std::string(T::cursorFirstRunHint) + alert)
        << listed;
  }
}

TEST(MCPServerTest, AnswersEachMethodOrStaysSilentForNotifications) {
  const auto registry = testRegistry();
  SessionOverSocket session(registry);
  auto& client = session.client();
  struct Case {
    std::string line;
    std::string reply;  // empty: no reply is due
  };
  const std::vector<Case> cases = {
      {R"({"jsonrpc":"2.0","id":5,"method":"ping"})", R"({"jsonrpc":"2.0","id":5,"result":{}})"},
      {R"({"jsonrpc":"2.0","method":"ping"})", ""},
      {R"({"jsonrpc":"2.0","id":6,"method":"Ping"})",
       R"({"jsonrpc":"2.0","id":6,"error":{"code":-32601,"message":"Method not found: Ping"}})"},
      {R"({"jsonrpc":"2.0","id":7,"method":"resources/list"})",
       R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found: resources/list"}})"},
      {R"({"jsonrpc":"2.0","id":8,"method":"initialized"})", ""},
      {R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})", ""},
      {R"({"jsonrpc":"2.0","id":9,"method":"notifications/cancelled"})", ""},
      {R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"echo"}})", ""},
      {R"({"jsonrpc":"2.0","id":null,"method":"prompts/list"})", ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(client.sendLine(c.line));
    // A ping behind every line shows whether that line was answered, without waiting.
    ASSERT_TRUE(client.sendLine(R"({"jsonrpc":"2.0","id":"probe","method":"ping"})"));
    if (!c.reply.empty()) {
      EXPECT_EQ(client.readLine(), c.reply) << c.line;
    }
    EXPECT_EQ(client.readLine(), R"({"jsonrpc":"2.0","id":"probe","result":{}})") << c.line;
  }
  // The tool named by the notification never ran, so nothing was counted.
  EXPECT_EQ(registry->context().counts.calls.drain().total, 0);
  EXPECT_FALSE(registry->context().activity.snapshot());
}

TEST(MCPServerTest, AnswersMalformedAndOverLongLinesWithParseErrorAndReadsOn) {
  SessionOverSocket session(testRegistry());
  auto& client = session.client();
  const std::string deep = std::string(600, '[') + std::string(600, ']');
  std::string zeros;
  for (std::size_t i = 0; i < JSONValue::maxValues; ++i) zeros += "0,";
  const std::vector<std::string> badLines = {
      "not json",
      R"({"jsonrpc":"2.0","id":1,"method":"ping")",
      R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})",
      R"(["jsonrpc"])",
      R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + deep + "}",
      std::string(16 * 1024 * 1024 + 1, 'x'),
      // Not UTF-8: a stray byte, an encoded surrogate, an overlong NUL.
      R"({"jsonrpc":"2.0","id":1,"method":"p\xffing"})",
      R"({"jsonrpc":"2.0","id":1,"method":"\xed\xa0\x80"})",
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xc0\x80\"}",
      // More values than one message may hold, within the size limit.
      R"({"jsonrpc":"2.0","id":1,"method":"ping","params":[)" + zeros + "0]}",
  };
  for (const std::string& line : badLines) {
    ASSERT_TRUE(client.sendLine(line));
    // The long lines take a while to refuse under the sanitizers.
    EXPECT_EQ(client.readLine(60s), kParseError) << line.substr(0, 60);
    EXPECT_EQ(client.call(request(1, "ping"))->dump(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
  }
}

TEST(MCPServerTest, EveryLineGetsOneReplyInOrderHoweverTheBytesArrive) {
  SessionOverSocket session(testRegistry());
  auto& client = session.client();
  // Many requests in one write, then one request split over many small writes.
  std::string burst;
  for (int id = 0; id < 300; ++id) burst += request(id, "ping").dump() + "\n";
  ASSERT_TRUE(client.send(burst));
  const std::string split =
      request(300, "tools/call", {{"name", "echo"}, {"arguments", {{"text", "split"}}}}).dump() +
      "\n";
  for (std::size_t at = 0; at < split.size(); at += 3)
    ASSERT_TRUE(client.send(split.substr(at, 3)));
  for (int id = 0; id < 300; ++id) EXPECT_EQ(client.readJSON()->at("id"), id);
  const auto reply = client.readJSON();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->at("id"), 300);
  EXPECT_EQ(reply->at("result")["content"][0]["text"], "split");
  EXPECT_TRUE(client.staysSilent(50ms));
}

// A reply in short: "<id>=<text>" for a tool's text, "<id>=error" for a tool's failure,
// "<id>=ok" for an empty result and "<id>!<code>" for a protocol error.
std::string summary(const std::optional<json>& reply) {
  if (!reply) return "(no reply)";
  const std::string id = reply->at("id").dump();
  if (reply->contains("error")) return id + "!" + reply->at("error").at("code").dump();
  const json& result = reply->at("result");
  if (result.value("isError", false)) return id + "=error";
  if (!result.contains("content")) return id + "=ok";
  return id + "=" + resultText(*reply);
}

std::string callLine(int id, const std::string& tool, const std::string& text = "") {
  return request(id, "tools/call", {{"name", tool}, {"arguments", {{"text", text}}}}).dump();
}

// Sends the lines in one write, so that the session finds them all waiting, and reads as many
// replies as are due.
std::vector<std::string> answersToBurst(test::SocketClient& client,
                                        const std::vector<std::string>& lines, std::size_t due) {
  std::string burst;
  for (const std::string& line : lines) burst += line + "\n";
  EXPECT_TRUE(client.send(burst));
  std::vector<std::string> replies;
  for (std::size_t i = 0; i < due; ++i) replies.push_back(summary(client.readJSON(30s)));
  return replies;
}

TEST(MCPServerTest, ABurstIsAnsweredSideBySideWithEveryReplyOnceAndInOrder) {
  std::atomic<int> running{0}, peak{0}, runs{0}, runsBefore{0};
  auto registry = testRegistry();
  registry->registerTool(
      testTool("gauge", [&](const std::optional<JSONValue>& arguments) -> ToolResult {
        const int now = ++running;
        for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::yield();
        --running;
        ++runs;
        return echo(arguments);
      }));
  // Waits for two calls of its burst behind it, which must not wait for it.
  registry->registerTool(testTool("slow", [&](const std::optional<JSONValue>&) -> ToolResult {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (runs < runsBefore + 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return ToolResponse::text(runs >= runsBefore + 2 ? "together" : "alone");
  }));
  registry->registerTool(testTool("throws", [](const std::optional<JSONValue>&) -> ToolResult {
    throw std::runtime_error("handler broke");
  }));
  SessionOverSocket session(registry);
  auto& client = session.client();

  struct Case {
    std::string name;
    std::vector<std::string> lines;
    std::vector<std::string> replies;
  };
  std::vector<Case> cases = {{"more calls than run at once", {}, {}}};
  for (int id = 0; id < 100; ++id) {
    cases[0].lines.push_back(callLine(id, "gauge", "t" + std::to_string(id)));
    cases[0].replies.push_back(std::to_string(id) + "=t" + std::to_string(id));
  }
  cases.push_back(
      {"other methods, notifications and bad lines between calls",
       {callLine(1, "gauge", "a"), request(2, "ping").dump(),
        notification("tools/call", {{"name", "gauge"}}).dump(), "not json", "   ",
        callLine(3, "gauge", "b"), request(4, "resources/list").dump(), callLine(5, "needs_x"),
        request(6, "tools/call", {{"arguments", json::object()}}).dump(), callLine(7, "throws"),
        notification("initialized").dump(), callLine(8, "no_such_tool"),
        "{\"jsonrpc\":\"2.0\",\"id\":9,\"method\":\"p\xffing\"}", callLine(10, "gauge", "c"),
        request(11, "ping").dump()},
       {"1=a", "2=ok", "null!-32700", "3=b", "4!-32601", "5=error", "6!-32602", "7!-32603",
        "8!-32601", "null!-32700", "10=c", "11=ok"}});
  cases.push_back({"a slow call first",
                   {callLine(1, "slow"), callLine(2, "gauge", "a"), request(3, "ping").dump(),
                    "not json", notification("initialized").dump(), callLine(4, "gauge", "b")},
                   {"1=together", "2=a", "3=ok", "null!-32700", "4=b"}});
  cases.push_back({"a burst ending in a notification",
                   {callLine(1, "gauge", "x"), callLine(2, "throws"), callLine(3, "gauge", "y"),
                    notification("notifications/cancelled", {{"requestId", 1}}).dump()},
                   {"1=x", "2!-32603", "3=y"}});
  for (const Case& c : cases) {
    runsBefore = runs.load();
    EXPECT_EQ(answersToBurst(client, c.lines, c.replies.size()), c.replies) << c.name;
  }
  EXPECT_TRUE(client.staysSilent(50ms));
  // At most one call per core on workers, and one on the session's own thread.
  EXPECT_LE(peak.load(), static_cast<int>(std::max(2U, std::thread::hardware_concurrency())) + 1);
  EXPECT_EQ(registry->context().inFlight.count(), 0);
}

using test::eventually;

TEST(MCPServerTest, PipelinedRequestsReadLateGetEveryReplyOnceInOrderWithinTheCap) {
  // The requests a session takes on while earlier replies are not yet written.
  const int workers = static_cast<int>(std::max(2U, std::thread::hardware_concurrency()));
  const int cap = 8 * workers;
  std::atomic<int> started{0};
  struct Gate {
    std::atomic<bool> entered{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
  };
  std::shared_ptr<Gate> gate;
  std::mutex gateLock;
  auto registry = testRegistry();
  registry->registerTool(
      testTool("counted", [&](const std::optional<JSONValue>& arguments) -> ToolResult {
        ++started;
        return echo(arguments);
      }));
  registry->registerTool(testTool("held", [&](const std::optional<JSONValue>&) -> ToolResult {
    std::shared_ptr<Gate> mine = (std::lock_guard(gateLock), gate);
    mine->entered = true;
    mine->released.wait();
    return ToolResponse::text("held");
  }));
  // Quick, but ends only once a held call has begun: with others still held, its reply is due.
  registry->registerTool(testTool("follows", [&](const std::optional<JSONValue>&) -> ToolResult {
    std::shared_ptr<Gate> mine = (std::lock_guard(gateLock), gate);
    return ToolResponse::text(eventually([&] { return mine->entered.load(); }) ? "after" : "alone");
  }));
  SessionOverSocket session(registry);
  auto& client = session.client();

  struct Case {
    std::string name;
    int count;
    int held;  // the request held until its replies before it arrived, or -1
    bool poolBusy = false;  // no worker free: the session's own thread runs every call
    int heldCalls = 1;      // held from `held` on
    std::string before = "";  // what comes before them: "follows" calls, pings, or the usual mix
  };
  const Case cases[] = {
      {"many calls and pings written at once, read afterwards", 1000, -1},
      {"a held call first: the others run, their replies wait for it", 40, 0},
      {"a held call last: the replies before it leave meanwhile", 40, 39},
      {"a held call amid many: those before it leave, those behind it stay within the cap", 300,
       20},
      {"three times the cap behind a held call", 3 * cap, 0},
      {"a held call last with no worker free: the replies before it leave meanwhile", 40, 39, true},
      {"a quick call ahead of more held calls than workers: its reply leaves at once", workers + 3,
       1, false, workers + 2, "follows"},
      {"pings, then a held call alone: their replies leave meanwhile", 3, 2, false, 1, "ping"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    started = 0;
    {
      std::lock_guard hold(gateLock);
      gate = std::make_shared<Gate>();
    }
    std::string burst;
    std::vector<std::string> expected;
    // The most calls that can start while the held one waits: those before it, and those behind
    // it that fit under the cap with it.
    int due = 0;
    for (int id = 0; id < c.count; ++id) {
      if (id >= c.held && id < c.held + c.heldCalls) {
        burst += callLine(id, "held") + "\n";
        expected.push_back(std::to_string(id) + "=held");
      } else if (c.before == "follows" && id < c.held) {
        burst += callLine(id, "follows") + "\n";
        expected.push_back(std::to_string(id) + "=after");
      } else if (id % 3 == 2 || (c.before == "ping" && id < c.held)) {
        burst += request(id, "ping").dump() + "\n";
        expected.push_back(std::to_string(id) + "=ok");
      } else {
        burst += callLine(id, "counted", "t" + std::to_string(id)) + "\n";
        expected.push_back(std::to_string(id) + "=t" + std::to_string(id));
        if (id < c.held + cap) ++due;
      }
    }
    // Lets the held call go however the case ends, so a failed case cannot leave the session
    // waiting for it.
    struct Release {
      Gate& gate;
      bool done = false;
      void now() {
        if (!std::exchange(done, true)) gate.release.set_value();
      }
      ~Release() { now(); }
    } release{*gate};
    std::promise<void> poolFreed;
    struct FreePool {
      std::promise<void>& freed;
      ~FreePool() { freed.set_value(); }
    } freePool{poolFreed};
    const std::shared_future<void> freed = poolFreed.get_future().share();
    while (c.poolBusy && Dispatch::pool().trySubmit([freed] { freed.wait(); })) {
    }
    ASSERT_TRUE(client.send(burst));
    std::vector<std::string> replies;
    // A reply that does not come ends the case at once, naming it.
    const auto readNext = [&] {
      const auto reply = client.readJSON(30s);
      if (reply) replies.push_back(summary(reply));
      return reply.has_value();
    };
    const auto awaited = [&] { return "no reply " + expected[replies.size()] + " within 30 s"; };
    if (c.held >= 0) {
      ASSERT_TRUE(eventually([&] { return gate->entered.load(); }));
      while (replies.size() < static_cast<std::size_t>(c.held)) {
        ASSERT_TRUE(readNext()) << awaited();
      }
      EXPECT_TRUE(client.staysSilent(50ms));
      // The calls behind the held one start on free workers; when no worker was free the
      // session's own thread may be the one holding, and they wait for it. Never past the cap.
      EXPECT_LE(started.load(), due);
      release.now();
    }
    while (replies.size() < expected.size()) ASSERT_TRUE(readNext()) << awaited();
    EXPECT_EQ(replies, expected);
    EXPECT_TRUE(client.staysSilent(50ms));
  }
  EXPECT_EQ(registry->context().inFlight.count(), 0);
}

TEST(MCPServerTest, InputThatEndsWhileCallsRunStillGetsTheirRepliesBeforeTheSessionEnds) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  auto registry = testRegistry();
  registry->registerTool(testTool("slow", heldUntil(entered, released, "late")));
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  auto server = std::make_unique<MCPServer>(std::make_unique<MCPReader>(fds[1]),
                                            std::make_unique<MCPWriter>(fds[1], true), registry,
                                            MCPServer::ServerInfo{"tavrin-server", "test"});
  auto session = std::async(std::launch::async, [&server] { server->run(); });
  test::SocketClient client(fds[0]);
  ASSERT_TRUE(client.send(callLine(1, "slow") + "\n" + callLine(2, "echo", "x") + "\n" +
                          callLine(3, "echo", "y") + "\n"));
  ::shutdown(fds[0], SHUT_WR);
  entered.get_future().wait();
  // The input has ended or soon will; the session stays for the call under way.
  EXPECT_EQ(session.wait_for(100ms), std::future_status::timeout);
  release.set_value();
  std::vector<std::string> replies;
  for (int i = 0; i < 3; ++i) replies.push_back(summary(client.readJSON()));
  EXPECT_EQ(replies, (std::vector<std::string>{"1=late", "2=x", "3=y"}));
  EXPECT_EQ(session.wait_for(5s), std::future_status::ready);
  server.reset();
}

TEST(MCPServerTest, AClientThatNeverReadsItsRepliesLosesItsSession) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  MCPServer server(std::make_unique<MCPReader>(fds[1]),
                   std::make_unique<MCPWriter>(fds[1], true, 100ms), testRegistry(),
                   MCPServer::ServerInfo{"tavrin-server", "test"});
  test::CapturedStderr captured;
  auto session = std::async(std::launch::async, [&server] { server.run(); });
  // Requests keep coming; the replies fill the socket and are never read.
  const std::string line =
      request(1, "tools/call",
              {{"name", "echo"}, {"arguments", {{"text", std::string(4096, 'r')}}}})
          .dump() +
      "\n";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (session.wait_for(1ms) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline) {
    const ssize_t sent = ::send(fds[0], line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN) break;
  }
  EXPECT_EQ(session.wait_for(5s), std::future_status::ready);
  EXPECT_NE(captured.text().find("WARN"), std::string::npos);
  ::close(fds[0]);
}

TEST(MCPServerTest, ToolsListRecordsTheFirstListingOnceWithoutWaitingForTheBackEnd) {
  test::RecordingHttpServer backEnd;
  backEnd.respond("/events", {.status = 200, .body = "{}", .delay = 3s, .headers = {}});
  ::setenv("TVRN_BACKEND_URL", backEnd.baseURL().c_str(), 1);
  setUserSetting("read_only", true);
  SessionOverSocket session(testRegistry(), "2.7.1");
  auto& client = session.client();

  ASSERT_TRUE(client.sendJSON(request(1, "tools/list")));
  // The back end holds its answer for seconds; the listing does not wait for it.
  const auto reply = client.readJSON(1500ms);
  ASSERT_TRUE(reply);
  std::vector<std::string> names;
  for (const json& tool : reply->at("result").at("tools")) names.push_back(tool.at("name"));
  // Sorted by name; the writing tool is hidden in read-only mode.
  EXPECT_EQ(names, (std::vector<std::string>{"bad_x", "breaks", "echo", "gone", "missing",
                                             "needs_x", "refused", "tvrn_welcome"}));

  const json settings = ConfigManager::shared().load();
  ASSERT_TRUE(settings.contains("tools_listed_at"));
  EXPECT_EQ(settings["tools_listed_at"].get<std::string>().size(), 20u);  // 2024-05-01T10:00:00Z

  ASSERT_TRUE(backEnd.waitForRequests(1, 30s));
  const test::RecordedRequest event = backEnd.requests().at(0);
  EXPECT_EQ(event.method, "POST");
  EXPECT_EQ(event.path, "/events");
  EXPECT_EQ(event.header("Content-Type"), "application/json");
  EXPECT_EQ(event.json(), (json{{"type", "mcp_tools_listed"},
                                {"machine_id", ConfigManager::shared().getMachineId()},
                                {"source", "mcp_server"},
                                {"data", {{"version", "2.7.1"}}}}));

  // Later listings, and a listing without an id, send nothing more.
  ASSERT_TRUE(client.call(request(2, "tools/list")));
  ASSERT_TRUE(client.sendJSON(notification("tools/list")));
  ASSERT_TRUE(client.call(request(3, "ping")));
  EXPECT_FALSE(backEnd.waitForRequests(2, 300ms));
}

TEST(MCPServerTest, ToolCallsMapEachOutcomeAndAreCountedAuditedAndTracked) {
  AuditLog::configure(ConfigManager::shared().auditLogPath());
  const auto registry = testRegistry();
  SessionOverSocket session(registry);
  auto& client = session.client();
  const std::string hint(MCPServerTexts::reportHint);
  struct Case {
    std::string tool;
    json expected;  // the whole "result", or the whole "error"
    bool isError;
  };
  const auto text = [](const std::string& t) { return ToolResponse::text(t).rawValue(); };
  const auto failed = [](const std::string& t) { return ToolResponse::error(t).rawValue(); };
  const std::vector<Case> cases = {
      {"echo", text("echo"), false},
      {"tvrn_welcome", text("echo"), false},
      {"needs_x", failed(ToolError::missingParam("x").description()), false},
      {"bad_x", failed(ToolError::invalidParam("x", "a number").description()), false},
      {"breaks",
       failed(ToolError::executionFailed("mail for bob@example.com").description() + hint), false},
      {"refused", failed(ToolError::permissionDenied("no").description() + hint), false},
      {"missing", failed(ToolError::resourceNotFound("file").description() + hint), false},
      {"gone",
       {{"code", -32601}, {"message", ToolError::notFound("thing 'x'").description()}},
       true},
      {"nope",
       {{"code", -32601}, {"message", ToolError::notFound("tool 'nope'").description()}},
       true},
  };
  int id = 0;
  for (const Case& c : cases) {
    const auto reply = client.call(request(++id, "tools/call", {{"name", c.tool}}));
    ASSERT_TRUE(reply) << c.tool;
    EXPECT_EQ(reply->at("id"), id);
    EXPECT_EQ(reply->at(c.isError ? "error" : "result"), c.expected) << c.tool;
  }
  EXPECT_EQ(resultText(*client.call(
                request(50, "tools/call", {{"name", "echo"}, {"arguments", {{"text", "hi"}}}}))),
            "hi");

  // Without a usable name nothing runs and nothing is recorded.
  for (const json& params : {json(nullptr), json{{"name", ""}}, json{{"name", 3}}}) {
    const auto reply = client.call(request(60, "tools/call", params));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at("error"),
              (json{{"code", -32602}, {"message", "tools/call requires 'name'"}}))
        << params;
  }

  // Every call but the welcome tool's is counted; only failures the user did not cause are
  // counted as errors.
  const CountSnapshot calls = registry->context().counts.calls.drain();
  EXPECT_EQ(calls.total, static_cast<std::int64_t>(cases.size()));
  EXPECT_EQ(calls.breakdown.count("tvrn_welcome"), 0u);
  EXPECT_EQ(calls.breakdown.at("echo"), 2);
  EXPECT_EQ(registry->context().counts.errors.drain().breakdown,
            (std::map<std::string, std::int64_t>{{"breaks:execution_failed", 1},
                                                 {"refused:permission_denied", 1}}));

  const auto activity = registry->context().activity.recentEntries();
  ASSERT_EQ(activity.size(), cases.size() + 1);
  EXPECT_EQ(activity.front().tool, "echo");
  EXPECT_EQ(activity.front().source, CallSource::local);
  EXPECT_EQ(activity.back().tool, "echo");

  const auto audit = AuditLog::recent(100);
  ASSERT_EQ(audit.size(), cases.size() + 1);
  // Newest first: the echo call with arguments, then the table backwards.
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const json& line = audit[audit.size() - 1 - i];
    EXPECT_EQ(line.at("tool"), cases[i].tool);
    EXPECT_EQ(line.at("source"), "local");
    EXPECT_EQ(line.at("ok"), i < 2) << cases[i].tool;
    EXPECT_TRUE(line.at("ms").is_number_integer());
  }
  EXPECT_EQ(registry->context().inFlight.count(), 0);
}

TEST(MCPServerTest, InFlightCountIsRaisedExactlyWhileTheHandlerRuns) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  auto registry = testRegistry();
  registry->registerTool(testTool("slow", heldUntil(entered, released, "done")));
  registry->registerTool(testTool("throws", [](const std::optional<JSONValue>&) -> ToolResult {
    throw std::runtime_error("handler broke");
  }));
  registry->registerTool(
      testTool("throws-value", [](const std::optional<JSONValue>&) -> ToolResult { throw 42; }));
  SessionOverSocket session(registry);
  auto& client = session.client();

  ASSERT_TRUE(client.sendJSON(request(1, "tools/call", {{"name", "slow"}})));
  entered.get_future().wait();
  EXPECT_EQ(registry->context().inFlight.count(), 1);
  release.set_value();
  EXPECT_EQ(resultText(*client.readJSON()), "done");
  EXPECT_EQ(registry->context().inFlight.count(), 0);

  // A handler that throws costs its own request, not the session.
  const auto reply = client.call(request(2, "tools/call", {{"name", "throws"}}));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->at("error"), (json{{"code", -32603}, {"message", "handler broke"}}));
  EXPECT_EQ(registry->context().inFlight.count(), 0);
  const auto odd = client.call(request(3, "tools/call", {{"name", "throws-value"}}));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->at("error"), (json{{"code", -32603}, {"message", "Internal error"}}));
  EXPECT_EQ(registry->context().inFlight.count(), 0);
  EXPECT_TRUE(client.call(request(4, "ping")));
}

TEST(MCPServerTest, PrivacyModeTokenisesSuccessfulResultsOnlyWithOneTokenPerSession) {
  ::setenv("TVRN_PRIVACY_MODE", "1", 1);
  SessionOverSocket session(testRegistry());
  auto& client = session.client();
  const auto callEcho = [&](const std::string& text) {
    return resultText(*client.call(
        request(1, "tools/call", {{"name", "echo"}, {"arguments", {{"text", text}}}})));
  };
  EXPECT_EQ(callEcho("mail alice@example.com now"), "mail [EMAIL:0001] now");
  EXPECT_EQ(callEcho("again ALICE@example.com, and bob@example.com"),
            "again [EMAIL:0001], and [EMAIL:0002]");
  EXPECT_EQ(session.server().piiSession().resolve("[EMAIL:0001]"), "alice@example.com");
  // A failure text keeps the address.
  EXPECT_EQ(resultText(*client.call(request(2, "tools/call", {{"name", "breaks"}}))),
            "Error: " + ToolError::executionFailed("mail for bob@example.com").description() +
                std::string(MCPServerTexts::reportHint));

  // Calls answered side by side share the session's tokens: one per address.
  std::vector<std::string> burst;
  for (int id = 0; id < 24; ++id) {
    burst.push_back(callLine(id, "echo", "alice@example.com, u" + std::to_string(id) + "@x.org"));
  }
  std::set<std::string> tokens;
  for (const std::string& reply : answersToBurst(client, burst, burst.size())) {
    EXPECT_EQ(reply.substr(reply.find('=') + 1, 14), "[EMAIL:0001], ") << reply;
    tokens.insert(reply.substr(reply.find(", ") + 2));
  }
  EXPECT_EQ(tokens.size(), burst.size());
  for (const std::string& token : tokens) {
    EXPECT_EQ(session.server().piiSession().resolve(token).value_or("").substr(0, 1), "u") << token;
  }

  // The setting is read when a session starts: a session made without it sends plain text.
  ::unsetenv("TVRN_PRIVACY_MODE");
  SessionOverSocket plain(testRegistry());
  EXPECT_EQ(
      resultText(*plain.client().call(request(
          3, "tools/call", {{"name", "echo"}, {"arguments", {{"text", "alice@example.com"}}}}))),
      "alice@example.com");
}

TEST(MCPServerTest, RelayedRequestsAlwaysGetAnAnswerAndAreRecordedAsCloud) {
  AuditLog::configure(ConfigManager::shared().auditLogPath());
  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_data_enabled", true}}));
  const auto registry = testRegistry();
  MCPServer relay(std::make_unique<MCPReader>(-1), std::make_unique<MCPWriter>(-1), registry,
                  {"tavrin-server", "1.0"});
  const std::string noReply(MCPServerTexts::relayNoReply);
  EXPECT_EQ(noReply, R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"no response"}})");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"jsonrpc":"2.0","id":4,"method":"ping"})", R"({"jsonrpc":"2.0","id":4,"result":{}})"},
      {R"({"jsonrpc":"2.0","method":"ping"})", noReply},
      {R"({"jsonrpc":"2.0","id":5,"method":"initialized"})", noReply},
      {R"({"jsonrpc":"2.0","method":"notifications/cancelled"})", noReply},
      {"{not json", std::string(kParseError)},
      {"", std::string(kParseError)},
      {R"({"jsonrpc":"2.0","id":6,"method":"nope"})",
       R"({"jsonrpc":"2.0","id":6,"error":{"code":-32601,"message":"Method not found: nope"}})"},
      {R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"echo"}})",
       R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"text":"echo","type":"text"}]}})"},
  };
  for (const auto& [bytes, reply] : cases) EXPECT_EQ(relay.handleTunnelRequest(bytes), reply);

  const auto activity = registry->context().activity.snapshot();
  ASSERT_TRUE(activity);
  EXPECT_EQ(activity->source, CallSource::cloud);
  EXPECT_EQ(AuditLog::recent(1).at(0).at("source"), "cloud");
}

TEST(MCPServerTest, PromptsAreListedInTableOrderAndFilledInFromTheQuery) {
  SessionOverSocket session(testRegistry());
  auto& client = session.client();
  const auto list = client.call(request(1, "prompts/list"));
  ASSERT_TRUE(list);
  const json& prompts = list->at("result").at("prompts");
  std::vector<std::string> names;
  for (const json& prompt : prompts) names.push_back(prompt.at("name"));
  EXPECT_EQ(names, (std::vector<std::string>{"get_started", "check_emails", "todays_schedule",
                                             "search_emails", "find_files", "check_messages",
                                             "check_reminders"}));
  EXPECT_EQ(prompts[0].at("arguments"), json::array());
  EXPECT_EQ(
      prompts[3].at("arguments"),
      json::array({{{"name", "query"}, {"description", "Search query"}, {"required", true}}}));

  const std::string recentFiles =
      "Show me the most recently modified files on my desktop and in my Downloads folder.";
  struct Case {
    json params;
    json expected;  // the text, or the whole error
  };
  const auto error = [](int code, const std::string& message) {
    return json{{"code", code}, {"message", message}};
  };
  const std::vector<Case> cases = {
      {{{"name", "find_files"}, {"arguments", {{"query", "tax 2023"}}}},
       "Find files on my Mac matching: tax 2023"},
      {{{"name", "find_files"}}, recentFiles},
      {{{"name", "find_files"}, {"arguments", {{"query", ""}}}}, recentFiles},
      {{{"name", "find_files"}, {"arguments", json::array({"q"})}}, recentFiles},
      {{{"name", "find_files"}, {"arguments", {{"query", 5}}}}, recentFiles},
      {{{"name", "search_emails"}}, "Search my emails for: "},
      {{{"name", "check_emails"}, {"arguments", {{"query", "ignored"}}}},
       "Summarize my unread emails from the last 24 hours. Group by sender, highlight anything "
       "urgent or that needs a reply."},
      {nullptr, error(-32602, "prompts/get requires 'name'")},
      {{{"name", 4}}, error(-32602, "prompts/get requires 'name'")},
      {{{"name", ""}}, error(-32601, "Prompt not found: ")},
      {{{"name", "Get_Started"}}, error(-32601, "Prompt not found: Get_Started")},
  };
  int id = 10;
  for (const Case& c : cases) {
    const auto reply = client.call(request(++id, "prompts/get", c.params));
    ASSERT_TRUE(reply) << c.params;
    EXPECT_EQ(reply->at("id"), id);
    if (c.expected.is_string()) {
      const json message = {{"role", "user"},
                            {"content", {{"type", "text"}, {"text", c.expected}}}};
      EXPECT_EQ(reply->at("result"), (json{{"messages", json::array({message})}})) << c.params;
    } else {
      EXPECT_EQ(reply->at("error"), c.expected) << c.params;
    }
  }
}

}  // namespace
}  // namespace tvrn
