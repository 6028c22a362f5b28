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
#include "manifest/RunnerDispatch.h"

namespace tvrn {
namespace {

using test::outcome;

using nlohmann::json;
using test::CannedResponse;
using test::RecordingHttpServer;
using namespace std::chrono_literals;

TEST(RunnerDispatchTest, RoutesEachCaseAndBoundsTheNesting) {
  NativeHandlerRegistry::shared().registerHandler(
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
      {BehaviorSpec::Sqlite{"x.db", "SELECT 1"}, 1, "error: wrong behavior"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(RunnerDispatch::execute(c.behavior, {{"a", 1}}, 1000, c.depth)), c.expected)
        << c.expected;
  }
  EXPECT_EQ(outcome(ManifestHTTPLocalRunner().execute(BehaviorSpec::Jxa{"x"}, {}, 1000, 1)),
            "error: wrong behavior");
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

TEST(HTTPRunnersTest, RequestAndAnswerWithTheReplyBodyWhateverTheStatus) {
  RecordingHttpServer server;
  server.respond("/json", {200, R"({"a":[1]})", "application/json", 0ms, {}});
  server.respond("/fail", {500, R"({"error":"boom"})", "application/json", 0ms, {}});
  server.respond("/text", {200, "plain words", "text/plain", 0ms, {}});
  server.respond("/empty", {204, "", "text/plain", 0ms, {}});
  const json params = {{"base", server.baseURL()}, {"p", "json"}, {"tok", "abc"}};
  ManifestHTTPLocalRunner local;
  ManifestHTTPRemoteRunner guarded(test::allowing(server.port()));
  struct Case {
    CapabilityRunner& runner;
    BehaviorSpec behavior;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {local, BehaviorSpec::HttpLocal{"{{base}}", "POST", "/{{p}}"},
       "{\n  \"a\": [\n    1\n  ]\n}"},
      {local, BehaviorSpec::HttpLocal{"{{base}}", "GET", "/fail"}, "{\n  \"error\": \"boom\"\n}"},
      {guarded, remote("{{base}}/text"), "plain words"},
      {guarded, remote("{{base}}/empty"), ""},
      {guarded, remote("{{base}}/h", {{"X-Token", "{{tok}}"}, {"x-token", "2 {{tok}}"}}), ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(c.runner.execute(c.behavior, params, 5000, 1)), c.expected) << c.expected;
  }
  const auto post = server.requestsTo("/json").at(0);
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.body, "");
  const auto withHeaders = server.requestsTo("/h").at(0);
  EXPECT_EQ(withHeaders.header("X-Token"), "2 abc");
  EXPECT_EQ(
      std::count_if(withHeaders.headers.begin(), withHeaders.headers.end(),
                    [](const auto& h) { return strcasecmp(h.first.c_str(), "x-token") == 0; }),
      1);
}

TEST(HTTPRunnersTest, RemoteRequestsNeverReachThisMachineAndOnlySpeakHTTP) {
  RecordingHttpServer allowed;
  RecordingHttpServer other;
  allowed.respond("/hop",
                  {302, "", "text/plain", 0ms, {{"Location", other.baseURL() + "/inside"}}});
  ManifestHTTPRemoteRunner runner(test::allowing(allowed.port()));
  const std::string refused =
      "error: Permission denied: http_remote: localhost URLs must use http_local behavior";
  const std::string port = ":" + std::to_string(other.port());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://LOCALHOST" + port + "/", refused},
      {"http://127.0.0.2" + port + "/", refused},
      {"http://[::1]" + port + "/", refused},
      {"http://x.localhost" + port + "/", refused},
      {"http://0.0.0.0" + port + "/", refused},
      {allowed.baseURL() + "/hop", refused},
      {"file:///etc/hostname", "error: http_remote: invalid URL: file:///etc/hostname"},
      {"/just/a/path", "error: http_remote: invalid URL: /just/a/path"},
  };
  for (const auto& [url, expected] : cases) {
    EXPECT_EQ(outcome(runner.execute(remote(url), {}, 5000, 1)), expected) << url;
  }
  EXPECT_EQ(allowed.requestsTo("/hop").size(), 1u);
  EXPECT_EQ(other.requestCount(), 0u);
  EXPECT_EQ(outcome(ManifestHTTPLocalRunner().execute(
                BehaviorSpec::HttpLocal{"file://", "GET", "/etc/hostname"}, {}, 5000, 1)),
            "error: http_local: invalid URL: file:///etc/hostname");
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
