#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/Base64.h"
#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/servicenow/ServiceNowConnection.h"
#include "tools/servicenow/ServiceNowTools.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr const char* kTable = "/api/now/table/incident";
constexpr const char* kSysId = "0123456789abcdef0123456789ABCDEF";
constexpr const char* kNotConnected =
    "failed: Not connected to ServiceNow. Use connect_servicenow first.";

CannedResponse answer(const json& body, int status = 200) {
  CannedResponse response;
  response.status = status;
  response.body = body.dump();
  return response;
}

// The family against a stand-in instance on 127.0.0.1, reached over plain HTTP.
class ServiceNowToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_SERVICENOW_SCHEME", "http", 1);
    ServiceNowTools::registerTools(registry);
  }

  const ConfigManager& settings() const { return *registry.context().settings; }
  std::string host() const { return "127.0.0.1:" + std::to_string(instance.port()); }
  std::string call(const std::string& tool, const json& arguments = json::object()) {
    return test::textOf(test::callTool(registry, tool, arguments));
  }
  void connectDirectly() {
    ASSERT_TRUE(settings().save({{"servicenow_instance", host()},
                                 {"servicenow_auth", "YW5hOnB3"},
                                 {"servicenow_username", "ana"}}));
  }
  json stored() const {
    const json all = json::parse(test::readFile(settings().configPath()));
    json keys = json::object();
    for (const char* key : {"servicenow_instance", "servicenow_auth", "servicenow_username"}) {
      if (all.contains(key)) keys[key] = all[key];
    }
    return keys;
  }

  RecordingHttpServer instance;
  ToolRegistry registry;
};

TEST_F(ServiceNowToolsTest, ConnectsWithBasicAuthAndAFailedCheckKeepsTheEarlierConnection) {
  EXPECT_EQ(call("connect_servicenow",
                 {{"instance", host()}, {"username", "ana"}, {"password", "p:w é"}}),
            "Connected to " + host() +
                " as ana. You can now use servicenow_list_my_incidents, "
                "servicenow_search_incidents, servicenow_get_incident, servicenow_create_incident, "
                "and servicenow_search_kb.");
  const std::string auth = Base64::encode("ana:p:w é");
  const json connected = {
      {"servicenow_instance", host()}, {"servicenow_auth", auth}, {"servicenow_username", "ana"}};
  EXPECT_EQ(stored(), connected);
  const auto check = instance.requestsTo(kTable);
  ASSERT_EQ(check.size(), 1u);
  EXPECT_EQ(check[0].header("Authorization"), "Basic " + auth);
  EXPECT_EQ(check[0].target, std::string(kTable) + "?sysparm_limit=1&sysparm_fields=sys_id");

  instance.respond(kTable, answer({{"error", "no"}}, 401));
  EXPECT_EQ(
      call("connect_servicenow", {{"instance", host()}, {"username", "bob"}, {"password", "x"}}),
      "failed: Could not connect to " + host() +
          ": Authentication failed. Use connect_servicenow to reconnect.");
  EXPECT_EQ(stored(), connected);

  // A settings file that no longer parses cannot take the credentials: the step says so.
  instance.respond(kTable, answer({{"result", json::array()}}));
  const std::string broken = "{\"servicenow_instance\": ";
  test::writeFile(settings().configPath(), broken);
  EXPECT_EQ(
      call("connect_servicenow", {{"instance", host()}, {"username", "bob"}, {"password", "x"}}),
      "failed: Could not save ServiceNow credentials");
  EXPECT_EQ(call("disconnect_servicenow"), "failed: Could not save ServiceNow credentials");
  EXPECT_EQ(test::readFile(settings().configPath()), broken);

  test::writeFile(settings().configPath(), connected.dump());
  EXPECT_EQ(call("disconnect_servicenow"), "Disconnected from " + host() + ".");
  EXPECT_EQ(
      stored(),
      json({{"servicenow_instance", ""}, {"servicenow_auth", ""}, {"servicenow_username", ""}}));
  EXPECT_EQ(call("disconnect_servicenow"), "ServiceNow disconnected.");
  EXPECT_EQ(call("servicenow_search_kb", {{"query", "vpn"}}), kNotConnected);
}

TEST_F(ServiceNowToolsTest, InstancesThatAreNoPlainHostAreRefusedUnsent) {
  const std::string port = std::to_string(instance.port());
  struct Case {
    std::string instance;
    std::string refusedHost;
  };
  const std::vector<Case> cases = {
      {"evil.example@127.0.0.1:" + port, "evil.example@127.0.0.1:" + port},
      {"https://127.0.0.1:" + port + "/x?y=1", "127.0.0.1:" + port + "/x?y=1"},
      {"127.0.0.1:" + port + "#frag", "127.0.0.1:" + port + "#frag"},
      {"127.0.0.1:0", "127.0.0.1:0"},
      {"127.0.0.1:65536", "127.0.0.1:65536"},
      {"127.0.0.1:", "127.0.0.1:"},
      {"my company", "my company.service-now.com"},
      {"http://", ".service-now.com"},
      {"a..b", "a..b"}};
  for (const auto& c : cases) {
    EXPECT_EQ(call("connect_servicenow",
                   {{"instance", c.instance}, {"username", "u"}, {"password", "p"}}),
              "failed: Invalid instance URL: " + c.refusedHost)
        << c.instance;
  }
  EXPECT_EQ(instance.requestCount(), 0u);

  // One stored by hand counts as not connected, so nothing is sent with its credentials.
  ASSERT_TRUE(settings().save(
      {{"servicenow_instance", "evil.example/@127.0.0.1"}, {"servicenow_auth", "x"}}));
  EXPECT_EQ(call("servicenow_get_incident", {{"id", "INC1"}}), kNotConnected);
  EXPECT_EQ(instance.requestCount(), 0u);
}

// The forms the README names: a bare name, a host name, either with a port.
TEST(ServiceNowInstanceTest, BareNamesTakeTheHostedSuffixBeforeTheirPort) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"mycompany", "mycompany.service-now.com"},
      {"mycompany:8443", "mycompany.service-now.com:8443"},
      {"https://mycompany:1/", "mycompany.service-now.com:1"},
      {"sn.example.org:65535", "sn.example.org:65535"},
  };
  for (const auto& [typed, host] : rows) {
    EXPECT_EQ(ServiceNowTools::normaliseInstance(typed), host) << typed;
    EXPECT_TRUE(ServiceNowTools::isPlainHost(host)) << host;
  }
  for (const char* refused : {"mycompany:0", "mycompany:65536", "mycompany:80.5", "mycompany:"}) {
    EXPECT_FALSE(ServiceNowTools::isPlainHost(ServiceNowTools::normaliseInstance(refused)))
        << refused;
  }
}

// A stored user name goes into the query only when it could not add conditions of its own.
TEST_F(ServiceNowToolsTest, AStoredUserNameHoldingACaretIsRefusedUnsent) {
  connectDirectly();
  ASSERT_TRUE(settings().save({{"servicenow_username", "ana^ORactive=true"}}));
  EXPECT_EQ(call("servicenow_list_my_incidents"),
            "failed: Invalid 'username': expected text without '^'");
  EXPECT_EQ(instance.requestCount(), 0u);
}

TEST_F(ServiceNowToolsTest, QueryTextIsEncodedWholeAndCannotAddConditionsOrReachOtherTables) {
  connectDirectly();
  instance.respond(kTable, answer({{"result", json::array()}}));
  struct Case {
    std::string tool;
    json arguments;
    std::string sentQuery;  // empty: refused, nothing sent
    std::string answer;
  };
  const std::string noCaret = "failed: Invalid 'query': expected text without '^'";
  const std::vector<Case> cases = {
      {"servicenow_search_incidents",
       {{"query", "inc0012345"}},
       "number=INC0012345",
       "No incidents found for search results for 'inc0012345'."},
      {"servicenow_search_incidents",
       {{"query", "printer & co=1+2%"}},
       "short_descriptionLIKEprinter & co=1+2%^ORdescriptionLIKEprinter & co=1+2%",
       "No incidents found for search results for 'printer & co=1+2%'."},
      {"servicenow_search_incidents",
       {{"query", "INC 12"}},
       "short_descriptionLIKEINC 12^ORdescriptionLIKEINC 12",
       "No incidents found for search results for 'INC 12'."},
      {"servicenow_list_my_incidents",
       {{"state", "resolved"}},
       "assigned_to.user_name=ana^ORcaller_id.user_name=ana^state=6^ORstate=7",
       "No incidents found for your incidents (resolved)."},
      {"servicenow_get_incident",
       {{"id", kSysId}},
       std::string("sys_id=") + kSysId,
       std::string("failed: Incident ") + kSysId + " not found"},
      {"servicenow_search_incidents", {{"query", "x^ORactive=true"}}, "", noCaret},
      {"servicenow_search_kb", {{"query", "vpn^workflow_state=draft"}}, "", noCaret},
      {"servicenow_get_incident",
       {{"id", "INC1^ORnumber=INC2"}},
       "",
       "failed: Invalid 'id': expected text without '^'"},
      {"servicenow_get_incident",
       {{"id", "../sys_user/x"}},
       "",
       "failed: Invalid 'id': expected an incident number (INC...) or a sys_id of 32 "
       "hexadecimal characters"},
      {"servicenow_update_incident",
       {{"sys_id", "../sys_user/x"}, {"state", "6"}},
       "",
       "failed: Invalid 'sys_id': expected a sys_id of 32 hexadecimal characters"},
      {"servicenow_add_comment",
       {{"sys_id", std::string(kSysId) + "0"}, {"text", "hi"}},
       "",
       "failed: Invalid 'sys_id': expected a sys_id of 32 hexadecimal characters"},
  };
  for (const auto& c : cases) {
    const std::size_t before = instance.requestCount();
    EXPECT_EQ(call(c.tool, c.arguments), c.answer) << c.arguments;
    const auto requests = instance.requests();
    if (c.sentQuery.empty()) {
      EXPECT_EQ(requests.size(), before) << c.arguments;
      continue;
    }
    ASSERT_EQ(requests.size(), before + 1) << c.arguments;
    EXPECT_EQ(requests.back().queryItem("sysparm_query"), c.sentQuery);
  }
}

TEST_F(ServiceNowToolsTest, WritesAreHeldBackInReadOnlyModeAndSendTheirFieldsOtherwise) {
  connectDirectly();
  ::setenv("TVRN_READ_ONLY", "1", 1);
  const json comment = {{"sys_id", kSysId}, {"text", "hi"}, {"type", "work_note"}};
  for (const auto& [tool, arguments] : std::vector<std::pair<std::string, json>>{
           {"servicenow_create_incident", {{"short_description", "x"}}},
           {"servicenow_update_incident", {{"sys_id", kSysId}, {"state", "2"}}},
           {"servicenow_add_comment", comment}}) {
    EXPECT_EQ(call(tool, arguments),
              "failed: Permission denied: '" + tool + "' is not allowed in read-only mode");
  }
  EXPECT_EQ(instance.requestCount(), 0u);
  ::unsetenv("TVRN_READ_ONLY");

  instance.respond(kTable,
                   answer({{"result",
                            {{"number", {{"display_value", "INC0042"}}},
                             {"sys_id", {{"value", "abc"}, {"display_value", "ignored"}}}}}}));
  EXPECT_EQ(
      call("servicenow_create_incident", {{"short_description", "Printer"}, {"category", ""}}),
      "Incident created: INC0042\nPrinter\n\nView: http://" + host() + "/incident.do?sys_id=abc");
  EXPECT_EQ(instance.requests().back().json(),
            json({{"short_description", "Printer"}, {"urgency", "3"}}));

  const std::string one = std::string(kTable) + "/" + kSysId;
  instance.respond(one, answer({{"result", {{"number", "INC0042"}, {"state", "In Progress"}}}}));
  EXPECT_EQ(
      call("servicenow_update_incident", {{"sys_id", kSysId}, {"state", "2"}, {"priority", ""}}),
      "Updated INC0042 — state: In Progress\nhttp://" + host() + "/incident.do?sys_id=" + kSysId);
  EXPECT_EQ(call("servicenow_add_comment", comment),
            std::string("Work note added to incident ") + kSysId);
  const auto patches = instance.requestsTo(one);
  ASSERT_EQ(patches.size(), 2u);
  EXPECT_EQ(patches[0].method, "PATCH");
  EXPECT_EQ(patches[0].json(), json({{"state", "2"}}));
  EXPECT_EQ(patches[1].json(), json({{"work_notes", "hi"}}));
}

// Knowledge-base search: what is asked of the instance, and how articles, no articles and an
// answer that is no list of records read.
TEST_F(ServiceNowToolsTest, KnowledgeBaseSearchAsksForPublishedArticlesAndListsThem) {
  connectDirectly();
  constexpr const char* kKB = "/api/now/table/kb_knowledge";
  const std::string origin = "http://" + host();
  struct Case {
    json arguments;
    CannedResponse response;
    std::string sentLimit;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"query", "vpn"}},
       answer({{"result",
                {{{"number", "KB0010001"},
                  {"short_description", "Connect to the VPN"},
                  {"category", {{"display_value", "Network"}, {"value", "net"}}},
                  {"sys_id", "aaa111"}},
                 {{"number", "KB0010002"}, {"short_description", "VPN on phones"}}}}}),
       "5",
       "Knowledge base results for 'vpn':\n\n[KB0010001] Connect to the VPN (Network)\n" + origin +
           "/kb_view.do?sys_kb_id=aaa111\n\n[KB0010002] VPN on phones"},
      {{{"query", "printer"}, {"limit", 500}},
       answer({{"result", json::array()}}),
       "20",
       "No knowledge base articles found for 'printer'."},
      {{{"query", "x"}}, answer({{"result", "none"}}), "5", "failed: Unexpected response"},
      {{{"query", "x"}}, answer({{"error", {{"message", "no"}}}}, 403), "5", ""},
  };
  for (const auto& c : cases) {
    instance.respond(kKB, c.response);
    const std::string reply = call("servicenow_search_kb", c.arguments);
    if (c.expected.empty()) {
      EXPECT_TRUE(reply.starts_with("failed: ")) << reply;
    } else {
      EXPECT_EQ(reply, c.expected);
    }
    const auto sent = instance.requestsTo(kKB);
    ASSERT_FALSE(sent.empty());
    const std::string query = c.arguments["query"];
    EXPECT_EQ(
        sent.back().queryItem("sysparm_query"),
        "short_descriptionLIKE" + query + "^ORtextLIKE" + query + "^workflow_state=published");
    EXPECT_EQ(sent.back().queryItem("sysparm_limit"), c.sentLimit);
    EXPECT_EQ(sent.back().header("Authorization"), "Basic YW5hOnB3");
  }
}

}  // namespace
}  // namespace tvrn
