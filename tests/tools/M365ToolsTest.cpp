#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/M365Fixture.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::answer;

class M365ToolsTest : public test::M365Test {};

TEST_F(M365ToolsTest, SearchSendsTheWholeQueryInsideTheQuotedPhrase) {
  signIn(3600);
  const json users = {{"value",
                       {{{"displayName", "Ana"}, {"mail", "ana@x"}, {"id", "1"}},
                        {{"displayName", "Bo"}, {"userPrincipalName", "bo@x"}, {"id", "2"}}}}};
  graph.respond("/v1.0/users", answer(users));
  EXPECT_EQ(call("search_m365_directory", {{"query", R"(a&b=c"d\)"}, {"limit", 100}}),
            "Found 2 user(s) matching 'a&b=c\"d\\':\n\nName: Ana\nEmail: ana@x\nID: 1\n\n"
            "Name: Bo\nUPN: bo@x\nID: 2");
  const auto request = graph.requests().back();
  EXPECT_EQ(request.target,
            "/v1.0/users?$search=%22displayName:a%26b%3Dc%5C%22d%5C%5C%22&$top=25&$select=id,"
            "displayName,mail,jobTitle,department,officeLocation,businessPhones,mobilePhone");
  EXPECT_EQ(request.header("ConsistencyLevel"), "eventual");
  EXPECT_EQ(request.header("Accept"), "application/json");

  graph.respond("/v1.0/users", answer({{"value", json::array()}}));
  EXPECT_EQ(call("search_m365_directory", {{"query", "zed"}, {"limit", "5"}}),
            "No users found matching 'zed' in your organization's directory.");
  EXPECT_NE(graph.requests().back().target.find("&$top=10&"), std::string::npos);

  graph.respond("/v1.0/users", answer({{"value", {1}}}));
  EXPECT_EQ(call("search_m365_directory", {{"query", "zed"}}),
            "Error: Unexpected response from Microsoft Graph");
  EXPECT_EQ(call("search_m365_directory", {{"query", "  "}}),
            "Error: Invalid 'query': expected non-empty string");
}

TEST_F(M365ToolsTest, PersonIdTravelsAsOnePathSegment) {
  signIn(3600);
  EXPECT_EQ(call("get_m365_person", {{"id", "x/../me?$y"}}),
            "Error: Unexpected response from Microsoft Graph");
  EXPECT_EQ(graph.requests().back().target,
            "/v1.0/users/x%2F..%2Fme%3F%24y?$select=id,displayName,mail,userPrincipalName,"
            "jobTitle,department,officeLocation,businessPhones,mobilePhone,manager");

  graph.respond("/v1.0/users/gone", answer({{"error", {{"code", "Request_ResourceNotFound"}}}}));
  EXPECT_EQ(call("get_m365_person", {{"id", "gone"}}), "Error: User 'gone' not found in directory");
  EXPECT_EQ(call("get_m365_person", json::object()), "Error: Missing required parameter: id");
}

TEST_F(M365ToolsTest, CardsShowOnlyWhatTheRecordHolds) {
  struct Case {
    json user;
    std::string card;
  };
  const std::vector<Case> cases = {
      {{{"mail", "a@x"}, {"userPrincipalName", "a@x"}, {"businessPhones", {"1", "2"}}},
       "Email: a@x\nPhone: 1, 2"},
      {{{"displayName", ""}, {"userPrincipalName", "g#EXT#@x"}, {"businessPhones", json::array()}},
       "Name: \nUPN: g#EXT#@x"},
      {{{"jobTitle", "Dev"},
        {"department", "R&D"},
        {"officeLocation", "B1"},
        {"mobilePhone", "+1"},
        {"businessPhones", {"1", 2}},
        {"id", ""}},
       "Title: Dev\nDepartment: R&D\nOffice: B1\nMobile: +1\nID: "},
      {{{"mail", 5}, {"jobTitle", ""}}, ""},
  };
  for (const auto& [user, card] : cases) EXPECT_EQ(M365Tools::formatUser(user), card) << user;
}

TEST_F(M365ToolsTest, PeopleInsightsNumberEachPersonWithTheirFirstAddress) {
  signIn(3600);
  const json people = {{"value",
                        {{{"displayName", "Ana"},
                          {"scoredEmailAddresses", {{{"address", "ana@x"}}}},
                          {"jobTitle", "Lead"}},
                         {{"displayName", "Bo"},
                          {"scoredEmailAddresses", json::array()},
                          {"emailAddresses", {{{"address", "bo@x"}}, {{"address", "b2@x"}}}},
                          {"department", "Ops"}}}}};
  graph.respond("/v1.0/me/people", answer(people));
  EXPECT_EQ(call("list_m365_people_insights", {{"limit", 80}}),
            "Your top 2 Microsoft 365 contacts:\n\n[1] Ana\nEmail: ana@x\nTitle: Lead\n\n"
            "[2] Bo\nEmail: bo@x\nDepartment: Ops");
  EXPECT_NE(graph.requests().back().target.find("?$top=50&"), std::string::npos);
}

TEST_F(M365ToolsTest, ListsTheFamilyAndRefusesTheDirectoryWhenTheServiceIsOff) {
  std::set<std::string> names;
  const json listing = registry->listPayload().rawValue();
  for (const auto& tool : listing["tools"]) names.insert(tool["name"]);
  EXPECT_EQ(names, (std::set<std::string>{"connect_m365_account", "disconnect_m365_account",
                                          "search_m365_directory", "get_m365_person",
                                          "list_m365_people_insights"}));
  EXPECT_NE(registry->tool("connect_m365_account")->description.find(" microsoft.com/devicelogin "),
            std::string::npos);

  signIn(3600);
  ASSERT_TRUE(ConfigManager::shared().save({{"disabled_services", {"m365"}}}));
  for (const char* tool :
       {"search_m365_directory", "get_m365_person", "list_m365_people_insights"}) {
    EXPECT_EQ(call(tool, {{"query", "a"}, {"id", "a"}}).rfind("Error: Permission denied: ", 0), 0u)
        << tool;
  }
  EXPECT_EQ(graph.requestCount(), 0u);
  EXPECT_EQ(call("disconnect_m365_account"), "Disconnected from ana@contoso.com.");
}

}  // namespace
}  // namespace tvrn
