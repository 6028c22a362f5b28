#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/ToolResponse.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestHTTPRunners.h"
#include "manifest/ManifestNativeRunner.h"
#include "manifest/ManifestTestSupport.h"
#include "manifest/ManifestToolDispatcher.h"
#include "manifest/RunnerDispatch.h"
#include "support/ToolCall.h"

namespace tvrn {
namespace {

using test::outcome;

using nlohmann::json;
using test::CannedResponse;
using test::RecordingHttpServer;
using namespace std::chrono_literals;

TEST(RunnerDispatchTest, RoutesEachCaseAndBoundsTheNesting) {
  RunnerTable runners;
  runners.nativeHandlers().registerHandler(
      "echo", [](const std::optional<JSONValue>& a) { return ToolResponse::json(*a); });
  struct Case {
    BehaviorSpec behavior;
    int depth;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {BehaviorSpec::Text{"hi {{a}}"}, 1, "hi {{a}}"},
      {BehaviorSpec::Text{"deep"}, 16, "deep"},
      {BehaviorSpec::Text{"deeper"}, 17, "error: Behavior nesting deeper than 16 levels"},
      {BehaviorSpec::Native{"echo"}, 1, "{\n  \"a\": 1\n}"},
      {BehaviorSpec::Native{"nope"}, 1, "error: native handler 'nope' not registered"},
      {BehaviorSpec::Sqlite{"x.db", "SELECT 1"}, 1,
       "error: Permission denied: sqlite: path 'x.db' is outside the allowed directories"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(runners.execute(c.behavior, {{"a", 1}}, 1000, c.depth)), c.expected)
        << c.expected;
  }
  EXPECT_EQ(outcome(ManifestHTTPLocalRunner().execute(BehaviorSpec::Jxa{"x"}, {}, 1000, 1)),
            "error: wrong behavior");
  runners.install(BehaviorSpec::Kind::sqlite, nullptr);
  EXPECT_EQ(outcome(runners.execute(BehaviorSpec::Sqlite{"x.db", "SELECT 1"}, {}, 1000)),
            "error: wrong behavior");
}

// Two dispatchers (two starts, or two tests) in one process: the handlers and runners one of them
// is given never answer the other's tools.
TEST(RunnerDispatchTest, EachDispatchersToolsRunOnItsOwnRunners) {
  Manifest manifest;
  manifest.capabilities = {{"native", ""}, {"sqlite", ""}};
  for (auto [name, behavior] : std::vector<std::pair<std::string, BehaviorSpec>>{
           {"echo_tool", BehaviorSpec::Native{"echo"}},
           {"query_tool", BehaviorSpec::Sqlite{"x.db", "SELECT 1"}}}) {
    ToolSpec& tool = manifest.tools.emplace_back();
    tool.name = name;
    tool.behavior = behavior;
  }
  ManifestToolDispatcher first;
  ManifestToolDispatcher second;
  const auto firstTools = std::make_shared<ToolRegistry>();
  const auto secondTools = std::make_shared<ToolRegistry>();
  first.setRegistry(firstTools);
  second.setRegistry(secondTools);
  first.runners().nativeHandlers().registerHandler(
      "echo", [](const std::optional<JSONValue>&) { return ToolResponse::text("first"); });
  first.runners().install(BehaviorSpec::Kind::sqlite, nullptr);
  first.apply(manifest);
  second.apply(manifest);

  struct Case {
    const ToolRegistry& tools;
    std::string tool;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {*firstTools, "echo_tool", "first"},
      {*secondTools, "echo_tool", "error: native handler 'echo' not registered"},
      {*firstTools, "query_tool", "error: wrong behavior"},
      {*secondTools, "query_tool",
       "error: Permission denied: sqlite: path 'x.db' is outside the allowed directories"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(test::callTool(c.tools, c.tool)), c.expected) << c.tool;
  }
}

TEST(RunnerDispatchTest, ResultsBecomePlainValuesForCombining) {
  const std::vector<std::pair<JSONValue, json>> cases = {
      {ToolResponse::text("[1, 2]"), {1, 2}},
      {ToolResponse::text("word"), "word"},
      {ToolResponse::text("42"), "42"},
      {JSONValue(JSONValue::Object{{"content", JSONValue::Array{}}}), {{"content", json::array()}}},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(jsonValueToRaw(value), expected);
}

BehaviorSpec remote(std::string url,
                    std::vector<std::pair<std::string, std::string>> headers = {}) {
  return BehaviorSpec::HttpRemote{std::move(url), "GET", std::move(headers), 0};
}

// A proxy on this machine is the user's setting, not a loopback target: it stays in use.
TEST(HTTPRunnersTest, RemoteRequestsKeepTheUsersProxy) {
  RecordingHttpServer proxy;
  ::setenv("http_proxy", proxy.baseURL().c_str(), 1);
  ManifestHTTPRemoteRunner runner;
  EXPECT_EQ(outcome(runner.execute(remote("http://example.invalid/through"), {}, 5000, 1)), "");
  ASSERT_EQ(proxy.requestCount(), 1u);
  EXPECT_EQ(proxy.requests().at(0).header("Host"), "example.invalid");
}

}  // namespace
}  // namespace tvrn
