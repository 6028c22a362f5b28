#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestTestSupport.h"
#include "manifest/ManifestToolDispatcher.h"
#include "manifest/RunnerDispatch.h"
#include "platform/Paths.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::CannedResponse;
using test::request;
using namespace std::chrono_literals;

ToolSpec tool(std::string name, BehaviorSpec behavior) {
  ToolSpec spec;
  spec.name = std::move(name);
  spec.description = "About " + spec.name;
  spec.timeoutMs = 5000;
  spec.behavior = std::move(behavior);
  return spec;
}

ParamSpec param(std::string name, ParamType type, bool required = false) {
  ParamSpec spec;
  spec.name = std::move(name);
  spec.type = type;
  spec.required = required;
  return spec;
}

TelemetrySpec event(std::string name) {
  return {std::move(name), {{"who", {}, "name", false, {}}}};
}

// Every kind of tool this build runs, one that needs an undeclared capability and a native one
// named like a built-in tool.
Manifest fixtureManifest(const std::string& base) {
  Manifest manifest;
  for (const char* type : {"native", "http_local", "http_remote"})
    manifest.capabilities.push_back({type, ""});
  ToolSpec greet = tool("greet", BehaviorSpec::Text{"Hello {{name}}"});
  greet.params = {param("name", ParamType::string, true), param("count", ParamType::integer),
                  param("loud", ParamType::boolean), param("tags", ParamType::array)};
  greet.params[0].maxLength = 20;
  greet.params[1].min = 1;
  greet.params[1].defaultValue = "1";
  greet.telemetry = event("greeted");
  ToolSpec wipe = tool("wipe_items", BehaviorSpec::Text{"wiped"});
  wipe.destructive = true;
  wipe.previewTemplate = "Wipe {{what}}?";
  ToolSpec digest = tool("send_digest", BehaviorSpec::Text{"sent"});
  digest.category = "email";
  ToolSpec peek = tool("peek_calendar", BehaviorSpec::Text{"peeked"});
  peek.tccRequirements = {{"calendar", "read", "Calendar access is off"}};
  ToolSpec remote = tool(
      "remote_get", BehaviorSpec::HttpRemote{base + "/remote", "GET", {{"X-Item", "{{item}}"}}, 0});
  remote.telemetry = event("remote_used");
  ToolSpec broken = tool("broken", BehaviorSpec::Native{"missing"});
  broken.telemetry = event("broken_used");
  manifest.tools = {greet,
                    wipe,
                    digest,
                    peek,
                    tool("local_get", BehaviorSpec::HttpLocal{base, "GET", "/local/{{item}}"}),
                    remote,
                    broken,
                    tool("mail_script", BehaviorSpec::Jxa{"return 1;"}),
                    tool("builtin_echo", BehaviorSpec::Native{"echo"})};
  return manifest;
}

class ManifestSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::configure(logFile());
    ::setenv("TVRN_BACKEND_URL", backEnd_.baseURL().c_str(), 1);
    test::writeFile(Paths::appSupport() / "pim" / "authorization.json", R"({"calendar":"denied"})");
    registry_->registerTool({"builtin_echo",
                             "Built in",
                             {{"type", "object"}},
                             ToolKind::readOnly,
                             [](const std::optional<JSONValue>&) -> ToolResult {
                               return ToolResponse::text("built-in");
                             }});
    ManifestToolDispatcher::shared().setRegistry(registry_);
    RunnerDispatch::install(
        BehaviorSpec::Kind::httpRemote,
        std::make_shared<ManifestHTTPRemoteRunner>(test::allowing(server_.port())));
  }

  static std::filesystem::path logFile() { return test::home() / "manifest.log"; }
  static std::vector<std::string> logLines(std::string_view containing) {
    std::vector<std::string> found;
    std::istringstream lines(test::readFile(logFile()));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(containing) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  // The result's text, or the error's message.
  std::string call(test::SocketClient& client, const std::string& name,
                   json arguments = json::object()) {
    const auto reply =
        client.call(request(++id_, "tools/call", {{"name", name}, {"arguments", arguments}}));
    if (!reply) return "no reply";
    if (reply->contains("error")) return reply->at("error").at("message").get<std::string>();
    return reply->at("result").at("content").at(0).at("text").get<std::string>();
  }

  static json listed(test::SocketClient& client, const std::string& name) {
    const json reply = client.call(request(0, "tools/list")).value_or(json());
    for (const json& entry : reply.at("result").at("tools")) {
      if (entry.at("name") == name) return entry;
    }
    return nullptr;
  }

  test::RecordingHttpServer server_;
  test::RecordingHttpServer backEnd_;
  std::shared_ptr<ToolRegistry> registry_ = std::make_shared<ToolRegistry>();
  int id_ = 0;
};

TEST_F(ManifestSessionTest, AppliedToolsListCallAndWithdrawOverASession) {
  ManifestToolDispatcher::shared().apply(fixtureManifest(server_.baseURL()));
  test::SessionOverSocket session(registry_);
  auto& client = session.client();

  EXPECT_EQ(listed(client, "greet").at("inputSchema"),
            json::parse(R"({"type":"object","required":["name"],"properties":{
              "name":{"type":"string","maxLength":20},
              "count":{"type":"integer","default":"1","minimum":1},
              "loud":{"type":"boolean"},"tags":{"type":"array"}}})"));
  EXPECT_EQ(listed(client, "mail_script"), nullptr);
  EXPECT_EQ(listed(client, "builtin_echo").at("description"), "Built in");
  EXPECT_EQ(logLines("Skipping '").size(), 1u);
  EXPECT_EQ(logLines("Skipping 'mail_script': capability 'jxa' not in manifest capabilities block")
                .size(),
            1u);
  EXPECT_EQ(logLines("Applied manifest: 7 tools registered, 2 skipped").size(), 1u);
  EXPECT_EQ(registry_->tool("wipe_items")->kind, ToolKind::destructive);
  EXPECT_EQ(registry_->tool("send_digest")->kind, ToolKind::send);
  EXPECT_EQ(registry_->tool("greet")->kind, ToolKind::readOnly);

  server_.respond("/local/a", {200, R"({"a":1})", "application/json", 0ms, {}});
  server_.respond("/local/t", {200, "plain", "text/plain", 0ms, {}});
  server_.respond("/remote", {500, R"({"e":[]})", "application/json", 0ms, {}});
  const std::string hint = "\n\nCall again with confirm: true to proceed.";
  const std::vector<std::tuple<std::string, json, std::string>> cases = {
      {"broken", json::object(), "Error: native handler 'missing' not registered"},
      {"greet", {{"name", "Ann"}, {"count", "3"}, {"tags", "a,b"}}, "Hello {{name}}"},
      {"greet", {{"name", "Ann"}, {"count", 0}}, "Error: Invalid 'count': expected value >= 1"},
      {"greet", json::object(), "Error: Missing required parameter: name"},
      {"wipe_items", {{"what", "logs"}}, "Wipe logs?" + hint},
      {"wipe_items", {{"what", "logs"}, {"confirm", "true"}}, "Wipe logs?" + hint},
      {"wipe_items", {{"confirm", true}}, "wiped"},
      {"peek_calendar", json::object(), "Error: Permission denied: Calendar access is off"},
      {"local_get", {{"item", "a"}}, "{\n  \"a\": 1\n}"},
      {"local_get", {{"item", "t"}}, "plain"},
      {"remote_get", {{"item", "b"}}, "{\n  \"e\": []\n}"},
  };
  for (const auto& [name, arguments, expected] : cases) {
    EXPECT_EQ(call(client, name, arguments).substr(0, expected.size()), expected) << name;
  }
  EXPECT_EQ(server_.requestsTo("/remote").at(0).header("X-Item"), "b");
  ASSERT_TRUE(backEnd_.waitForRequests(3, 5s));
  EXPECT_FALSE(backEnd_.waitForRequests(4, 200ms));
  std::multiset<std::string> events;
  for (const auto& posted : backEnd_.requestsTo("/events")) events.insert(posted.json().at("type"));
  events.erase("mcp_tools_listed");  // the session's own first-listing report
  EXPECT_EQ(events, (std::multiset<std::string>{"greeted", "remote_used"}));

  Manifest second = fixtureManifest(server_.baseURL());
  std::erase_if(second.tools, [](const ToolSpec& spec) { return spec.name == "remote_get"; });
  ManifestToolDispatcher::shared().apply(second);
  EXPECT_EQ(listed(client, "remote_get").at("description"), "[removed]");
  EXPECT_EQ(call(client, "remote_get"), "Not found: tool 'remote_get' is no longer available");
  EXPECT_EQ(call(client, "greet", {{"name", "Bo"}}), "Hello {{name}}");
  // A native tool both manifests offer stays live rather than becoming a tombstone.
  EXPECT_TRUE(call(client, "broken").starts_with("Error: native handler 'missing' not registered"));
  EXPECT_EQ(logLines("Applied manifest: 6 tools registered, 2 skipped").size(), 1u);
}

// Each apply briefly tombstones the tools it re-registers; calls and listings meanwhile get one
// of the two answers, never a broken reply.
TEST_F(ManifestSessionTest, AppliesWhileSessionsCallAndList) {
  ManifestToolDispatcher::shared().apply(fixtureManifest(server_.baseURL()));
  std::atomic<bool> done = false;
  std::thread applier([&] {
    for (int i = 0; i < 40; ++i)
      ManifestToolDispatcher::shared().apply(fixtureManifest(server_.baseURL()));
    done = true;
  });
  std::vector<std::thread> sessions;
  std::atomic<int> odd = 0;
  for (int s = 0; s < 2; ++s) {
    sessions.emplace_back([&] {
      test::SessionOverSocket session(registry_);
      int id = 0;
      while (!done) {
        const auto reply = session.client().call(
            request(++id, "tools/call", {{"name", "greet"}, {"arguments", {{"name", "x"}}}}));
        const auto listing = session.client().call(request(++id, "tools/list"));
        const std::string answer = reply && reply->contains("result")
                                       ? reply->at("result").at("content").at(0).at("text")
                                   : reply ? reply->at("error").at("message")
                                           : json("none");
        if ((answer != "Hello {{name}}" &&
             answer != "Not found: tool 'greet' is no longer available") ||
            !listing || !listing->contains("result")) {
          ++odd;
        }
      }
    });
  }
  applier.join();
  for (auto& session : sessions) session.join();
  EXPECT_EQ(odd, 0);
}

}  // namespace
}  // namespace tvrn
