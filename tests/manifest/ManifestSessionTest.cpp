#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/TCCStatusChecker.h"
#include "core/Logger.h"
#include "core/ToolResponse.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestParser.h"
#include "manifest/ManifestTestSupport.h"
#include "manifest/ManifestToolDispatcher.h"
#include "manifest/RunnerDispatch.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::request;
using namespace std::chrono_literals;

// Every kind of tool this build runs ("finish" is no behaviour type this build knows, so it
// answers a fixed text), one that needs an undeclared capability and a native one named like a
// built-in tool.
constexpr std::string_view kFixture = R"xml(<manifest version="1"><capabilities>
<capability type="native"/><capability type="http_local"/><capability type="http_remote"/>
</capabilities><tools>
<tool name="greet"><param name="name" type="string" required="true" max_length="20"/>
  <param name="count" type="int" min="1" default="1"/><param name="loud" type="bool"/>
  <param name="tags" type="array"/><telemetry event="greeted"><tag name="who" from_param="name"/>
  </telemetry><behavior type="native"/></tool>
<tool name="wipe_items" destructive="true"><preview_template>Wipe {{what}}?</preview_template>
  <behavior type="finish"/></tool>
<tool name="tidy" destructive="true"><param name="confirm" type="bool"/><behavior type="finish"/>
  </tool>
<tool name="send_digest" category="email"><behavior type="finish"/></tool>
<tool name="note_calendar"><requires_tcc service="calendar" level="read" denied_message="x"/>
  <behavior type="finish"/></tool>
<tool name="edit_calendar"><requires_tcc service="calendar" level="full_access"
  denied_message="Calendar is write-only"/><behavior type="finish"/></tool>
<tool name="peek_contacts"><requires_tcc service="contacts" denied_message="Contacts are off"/>
  <behavior type="finish"/></tool>
<tool name="local_get"><behavior type="http_local"><base_url>BASE</base_url>
  <path>/local/{{item}}</path></behavior></tool>
<tool name="remote_get"><telemetry event="remote_used"/><behavior type="http_remote">
  <url>{{target}}</url><header name="X-Item" value="{{item}}"/>
  <header name="x-item" value="2 {{item}}"/></behavior></tool>
<tool name="broken"><telemetry event="broken_used"/>
  <behavior type="native"><handler>missing</handler></behavior></tool>
<tool name="mail_script"><behavior type="jxa">return 1;</behavior></tool>
<tool name="builtin_echo"><behavior type="native"><handler>echo</handler></behavior></tool>
</tools></manifest>)xml";

// The result's text, or the error's message.
std::string call(test::SocketClient& client, int& id, const std::string& name,
                 json arguments = {}) {
  if (arguments.is_null()) arguments = json::object();
  const auto reply =
      client.call(request(++id, "tools/call", {{"name", name}, {"arguments", arguments}}));
  if (!reply) return "no reply";
  if (reply->contains("error")) return reply->at("error").at("message").get<std::string>();
  return reply->at("result").at("content").at(0).at("text").get<std::string>();
}

Manifest fixtureManifest(const std::string& base) {
  std::string text(kFixture);
  text.replace(text.find("BASE"), 4, base);
  Manifest manifest = ManifestParser::parse(text).value();
  manifest.tools[0].behavior = BehaviorSpec::Text{"Hello {{name}}"};
  return manifest;
}

class ManifestSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logger::configure(test::home() / "manifest.log");
    ::setenv("TVRN_BACKEND_URL", backEnd_.baseURL().c_str(), 1);
    test::writeFile(Paths::appSupport() / "pim" / "authorization.json",
                    R"({"calendar":"writeOnly","contacts":"denied"})");
    registry_->registerTool({"builtin_echo",
                             "Built in",
                             {{"type", "object"}},
                             ToolKind::readOnly,
                             [](const std::optional<JSONValue>&) -> ToolResult {
                               return ToolResponse::text("built-in");
                             }});
    // As start-up has it, with no helper program: the permission store's decisions.
    registry_->context().permissionStatus = [this] {
      return TCCStatusChecker::currentStatus(helper_, gate_);
    };
    dispatcher_.setRegistry(registry_);
    dispatcher_.runners().install(
        BehaviorSpec::Kind::httpRemote,
        std::make_shared<ManifestHTTPRemoteRunner>(test::allowing(server_.port())));
  }

  static std::size_t logged(std::string_view line) {
    const std::string log = test::readFile(test::home() / "manifest.log");
    std::size_t count = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
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
  HelperProxy helper_;
  PrivacyGate gate_;
  std::shared_ptr<ToolRegistry> registry_ = std::make_shared<ToolRegistry>();
  ManifestToolDispatcher dispatcher_;
  int id_ = 0;
};

TEST_F(ManifestSessionTest, AppliedToolsListCallAndWithdrawOverASession) {
  dispatcher_.apply(fixtureManifest(server_.baseURL()));
  test::SessionOverSocket session(registry_);
  auto& client = session.client();

  EXPECT_EQ(listed(client, "greet").at("inputSchema"),
            json::parse(R"({"type":"object","required":["name"],"properties":{
              "name":{"type":"string","maxLength":20},
              "count":{"type":"integer","default":"1","minimum":1},
              "loud":{"type":"boolean"},"tags":{"type":"array"}}})"));
  EXPECT_EQ(listed(client, "mail_script"), nullptr);
  EXPECT_EQ(listed(client, "builtin_echo").at("description"), "Built in");
  EXPECT_EQ(logged("Skipping '"), 1u);
  EXPECT_EQ(logged("Skipping 'mail_script': capability 'jxa' not in manifest capabilities block"),
            1u);
  EXPECT_EQ(logged("Applied manifest: 10 tools registered, 2 skipped"), 1u);
  EXPECT_EQ(registry_->tool("wipe_items")->kind, ToolKind::destructive);
  EXPECT_EQ(registry_->tool("send_digest")->kind, ToolKind::send);
  EXPECT_EQ(registry_->tool("greet")->kind, ToolKind::readOnly);

  test::RecordingHttpServer other;
  server_.respond("/local/a", {200, R"({"a":1})", "application/json", 0ms, {}});
  server_.respond("/local/t", {200, "plain", "text/plain", 0ms, {}});
  server_.respond("/remote", {500, R"({"e":[]})", "application/json", 0ms, {}});
  server_.respond("/hop", {302, "", "text/plain", 0ms, {{"Location", other.baseURL() + "/in"}}});
  const std::string hint = "\n\nCall again with confirm: true to proceed.";
  const std::string ran = "Unsupported behavior type: finish";
  const std::string refused =
      "Error: Permission denied: http_remote: localhost URLs must use http_local behavior";
  const std::string port = ":" + std::to_string(other.port()) + "/";
  const std::vector<std::tuple<std::string, json, std::string>> cases = {
      {"broken", nullptr, "Error: native handler 'missing' not registered"},
      {"greet", {{"name", "Ann"}, {"count", "3"}, {"tags", "a,b"}}, "Hello {{name}}"},
      {"greet", {{"name", "Ann"}, {"count", 0}}, "Error: Invalid 'count': expected value >= 1"},
      {"greet", nullptr, "Error: Missing required parameter: name"},
      {"wipe_items", {{"what", "logs"}}, "Wipe logs?" + hint},
      {"wipe_items", {{"what", "logs"}, {"confirm", "true"}}, "Wipe logs?" + hint},
      {"wipe_items", {{"confirm", true}}, ran},
      {"tidy", nullptr, "Run tidy?" + hint},
      {"tidy", {{"confirm", "1"}}, ran},
      {"note_calendar", nullptr, ran},
      {"edit_calendar", nullptr, "Error: Permission denied: Calendar is write-only"},
      {"peek_contacts", nullptr, "Error: Permission denied: Contacts are off"},
      {"local_get", {{"item", "a"}}, "{\n  \"a\": 1\n}"},
      {"local_get", {{"item", "t"}}, "plain"},
      {"remote_get",
       {{"target", server_.baseURL() + "/remote"}, {"item", "b"}},
       "{\n  \"e\": []\n}"},
      {"remote_get", {{"target", "http://LOCALHOST" + port}}, refused},
      {"remote_get", {{"target", "http://127.0.0.2" + port}}, refused},
      {"remote_get", {{"target", "http://[::1]" + port}}, refused},
      {"remote_get", {{"target", "http://x.localhost" + port}}, refused},
      {"remote_get", {{"target", server_.baseURL() + "/hop"}}, refused},
      {"remote_get",
       {{"target", "file:///etc/hostname"}},
       "Error: http_remote: invalid URL: file:///etc/hostname"},
  };
  for (const auto& [name, arguments, expected] : cases) {
    EXPECT_EQ(call(client, id_, name, arguments).substr(0, expected.size()), expected)
        << name << arguments;
  }
  const auto remote = server_.requestsTo("/remote").at(0);
  EXPECT_EQ(remote.header("x-item"), "2 b");  // a repeated header name: the last wins
  EXPECT_EQ(server_.requestsTo("/hop").size(), 1u);
  EXPECT_EQ(other.requestCount(), 0u);
  ASSERT_TRUE(backEnd_.waitForRequests(3, 30s));
  EXPECT_FALSE(backEnd_.waitForRequests(4, 200ms));
  std::multiset<std::string> events;
  for (const auto& posted : backEnd_.requestsTo("/events")) events.insert(posted.json().at("type"));
  events.erase("mcp_tools_listed");  // the session's own first-listing report
  EXPECT_EQ(events, (std::multiset<std::string>{"greeted", "remote_used"}));

  Manifest second = fixtureManifest(server_.baseURL());
  std::erase_if(second.tools, [](const ToolSpec& spec) { return spec.name == "remote_get"; });
  dispatcher_.apply(second);
  EXPECT_EQ(listed(client, "remote_get").at("description"), "[removed]");
  EXPECT_EQ(call(client, id_, "remote_get"), "Not found: tool 'remote_get' is no longer available");
  EXPECT_EQ(call(client, id_, "greet", {{"name", "Bo"}}), "Hello {{name}}");
  // A native tool both manifests offer stays live rather than becoming a tombstone.
  EXPECT_TRUE(
      call(client, id_, "broken").starts_with("Error: native handler 'missing' not registered"));
  EXPECT_EQ(logged("Applied manifest: 9 tools registered, 2 skipped"), 1u);
}

// Each apply briefly tombstones the tools it registers again; calls and listings meanwhile get
// one of the two answers, never a broken reply.
TEST_F(ManifestSessionTest, AppliesWhileSessionsCallAndList) {
  const Manifest manifest = fixtureManifest(server_.baseURL());
  dispatcher_.apply(manifest);
  std::atomic<bool> done = false;
  std::atomic<int> calls = 0;
  std::atomic<int> odd = 0;
  std::vector<std::thread> sessions;
  for (int s = 0; s < 2; ++s) {
    sessions.emplace_back([&] {
      test::SessionOverSocket session(registry_);
      for (int id = 0; !done;) {
        const std::string answer = call(session.client(), id, "greet", {{"name", "x"}});
        const auto listing = session.client().call(request(++id, "tools/list"));
        ++calls;
        if ((answer != "Hello {{name}}" &&
             answer != "Not found: tool 'greet' is no longer available") ||
            !listing || !listing->contains("result")) {
          ++odd;
        }
      }
    });
  }
  while (calls < 2) std::this_thread::yield();
  for (int i = 0; i < 40; ++i) dispatcher_.apply(manifest);
  done = true;
  for (auto& session : sessions) session.join();
  EXPECT_EQ(odd, 0);
}

// A manifest of one tool that answers a fixed text.
Manifest only(std::string name) {
  Manifest manifest;
  manifest.capabilities.push_back({"native", ""});
  ToolSpec spec;
  spec.name = std::move(name);
  manifest.tools.push_back(spec);
  return manifest;
}

TEST_F(ManifestSessionTest, OverlappingAppliesLeaveNoWithdrawnToolLive) {
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) dispatcher_.apply(only("a"));
  });
  for (int i = 0; i < 200; ++i) dispatcher_.apply(only("b"));
  other.join();
  dispatcher_.apply(Manifest());
  EXPECT_EQ(registry_->tool("a")->description, "[removed]");
  EXPECT_EQ(registry_->tool("b")->description, "[removed]");
}

// A registry handed over later (a second start-up in the same process) gets only what the next
// manifest brings; the earlier registry keeps its tools.
TEST_F(ManifestSessionTest, ANewRegistryGetsNoPlaceholdersOfTheOnesBefore) {
  dispatcher_.apply(only("a"));
  auto next = std::make_shared<ToolRegistry>();
  dispatcher_.setRegistry(next);
  dispatcher_.apply(only("b"));
  EXPECT_FALSE(next->tool("a"));
  ASSERT_TRUE(next->tool("b"));
  EXPECT_NE(next->tool("b")->description, "[removed]");
  ASSERT_TRUE(registry_->tool("a"));
  EXPECT_NE(registry_->tool("a")->description, "[removed]");
}

}  // namespace
}  // namespace tvrn
