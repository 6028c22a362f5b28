#include <gtest/gtest.h>

#include "tray/ServerStatus.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

using nlohmann::json;

// A change to the busy fixture: the member at `pointer` set to the JSON `value`, or removed.
struct Edit {
  const char* pointer;
  const char* value;
};

Result<ServerStatus, std::string> decodeEdited(const std::vector<Edit>& edits) {
  json patch = json::array();
  for (const auto& [pointer, value] : edits) {
    patch.push_back(value ? json{{"op", "add"}, {"path", pointer}, {"value", json::parse(value)}}
                          : json{{"op", "remove"}, {"path", pointer}});
  }
  return decodeServerStatus(test::statusFixture("status-busy.json").patch(patch));
}

TEST(ServerStatusTest, AnyFaultOutsideServicesFailsTheWholeStatusNamingTheKey) {
  const std::vector<std::tuple<std::vector<Edit>, std::string>> cases = {
      {{{"/update", R"("3.0.104")"}}, "update"},
      {{{"/security", nullptr}}, "security"},
      {{{"/security/api_key_enabled", "0"}}, "security.api_key_enabled"},
      {{{"/port", R"("8765")"}}, "port"},
      {{{"/port", "4.0"}}, "port"},
      {{{"/port", "9223372036854775808"}}, "port"},
      {{{"/version", "null"}}, "version"},
      {{{"/auto_update", "1"}}, "auto_update"},
      {{{"/services", "[]"}}, "services"},
      {{{"/recent_activity/1/ago_s", nullptr}}, "recent_activity[1].ago_s"},
      {{{"/last_activity/ago_s", "4.0"}}, "last_activity.ago_s"},
      {{{"/service_errors", R"({"mail": {"function": "list"}})"}}, "service_errors.mail.error"},
      {{{"/permissions/calendar", "1"}}, "permissions.calendar"},
  };
  for (const auto& [edits, key] : cases) {
    const auto decoded = decodeEdited(edits);
    ASSERT_FALSE(decoded) << key;
    EXPECT_TRUE(decoded.error().starts_with(key + ": ")) << decoded.error();
  }
  EXPECT_FALSE(parseServerStatus(R"({"server":"connected",)"));
}

TEST(ServerStatusTest, FaultyServicesDropAloneAndTeamsFieldByField) {
  const auto decoded = decodeEdited({
      {"/services/teams", R"({"available": true, "running": true, "conversations": 4,
                              "tenants": 1})"},
      {"/services/omnifocus/projects", nullptr},
      {"/services/onedrive", R"(["A", 2])"},
      {"/services/notes/count", R"("42")"},
      {"/services/servicenow", R"({"configured": true})"},
      {"/services/email/extra", "1"},
      {"/services_ui", "[]"},
      {"/level", "3"},
      {"/security/extra", "{}"},
      {"/update", "null"},
      {"/services/reminders/lists", "null"},
  });
  ASSERT_TRUE(decoded) << decoded.error();
  const ServerStatus& s = decoded.value();
  EXPECT_FALSE(s.services.omnifocus || s.services.onedrive || s.services.notes);
  EXPECT_TRUE(s.services.email && s.services.calendar && s.services.whatsapp && s.services.m365);
  EXPECT_TRUE(s.services.teams->available && s.services.teams->running);
  EXPECT_EQ(s.services.teams->conversations, 4);
  EXPECT_FALSE(s.services.teams->tenants);
  EXPECT_FALSE(s.update || s.services.reminders->lists);

  const auto lenient = decodeEdited(
      {{"/services/teams", R"({"available": 1, "conversations": 4.0, "tenants": ["T"]})"},
       {"/services/slack", R"({"running": false, "disabled_by_user": true})"}});
  ASSERT_TRUE(lenient);
  const auto& teams = *lenient.value().services.teams;
  EXPECT_FALSE(teams.available || teams.running || teams.conversations != 0);
  EXPECT_EQ(teams.tenants, TextList{"T"});
  EXPECT_FALSE(lenient.value().services.slack);
}

TEST(ServerStatusTest, AbsentStaysApartFromFalseZeroAndEmpty) {
  auto document = test::statusFixture("status-fresh-install.json");
  document.erase("auto_update");
  const auto decoded = parseServerStatus(document.dump());
  ASSERT_TRUE(decoded) << decoded.error();
  const ServerStatus& s = decoded.value();
  EXPECT_FALSE(s.autoUpdate || s.lastActivity || s.services.m365->email || s.cloudToken);
  EXPECT_EQ(s.cloudDataEnabled, false);
  EXPECT_EQ(s.services.notes->count, 0);
  EXPECT_TRUE(s.recentActivity && s.recentActivity->empty());
}

TEST(ServerStatusTest, ApprovalsDecodeWhole) {
  const json approval = {{"request_id", "r1"},
                         {"client_name", "ChatGPT"},
                         {"client_id", "c1"},
                         {"redirect_uri", "https://chat.example/cb"},
                         {"expires_at", 1765000000}};
  json incomplete = approval;
  incomplete.erase("client_id");
  const std::vector<std::pair<json, std::optional<std::size_t>>> cases = {
      {{{"requests", json::array()}}, 0},
      {{{"requests", {approval}}}, 1},
      {json::object(), std::nullopt},
      {{{"requests", json::object()}}, std::nullopt},
      {{{"requests", {approval, incomplete}}}, std::nullopt},
  };
  for (const auto& [document, count] : cases) {
    const auto decoded = parsePendingApprovals(document.dump());
    ASSERT_EQ(decoded.ok(), count.has_value()) << document;
    if (count) {
      EXPECT_EQ(decoded.value().requests.size(), *count);
    }
  }
}

}  // namespace
}  // namespace tvrn
