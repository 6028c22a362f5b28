#include <gtest/gtest.h>

#include <functional>

#include "app/ServerStatus.h"
#include "app/TrayFixtures.h"

namespace tvrn {
namespace {

using nlohmann::json;

struct DecodeCase {
  const char* name;
  std::function<void(json&)> change;
  const char* failingKey;  // the key the error names; nullptr when the status decodes
  std::function<void(const ServerStatus&)> check = [](const ServerStatus&) {};
};

TEST(ServerStatusTest, DecodesStrictlyExceptInsideServices) {
  const std::vector<DecodeCase> cases = {
      {"the fixture as served", [](json&) {}, nullptr,
       [](const ServerStatus& s) {
         EXPECT_EQ(s.server, "connected");
         EXPECT_EQ(s.port, 8765);
         EXPECT_EQ(s.services.calendar->calendars, TextList({"Calendar", "Work"}));
         EXPECT_EQ(s.services.notes->count, 42);
         EXPECT_EQ(s.lastActivity->agoS, 2);
         EXPECT_EQ(s.recentActivity->size(), 2u);
         EXPECT_EQ(s.update->versionsBehind, 4);
         EXPECT_FALSE(s.update->downloadUrl);
         EXPECT_EQ(s.permissions->at("calendar"), "granted");
         EXPECT_FALSE(s.cloudToken);
         EXPECT_FALSE(s.serviceErrors);
       }},
      {"teams' tenants as a number read as absent",
       [](json& s) {
         s["services"]["teams"] = {
             {"available", true}, {"running", true}, {"conversations", 4}, {"tenants", 1}};
       },
       nullptr,
       [](const ServerStatus& s) {
         ASSERT_TRUE(s.services.teams);
         EXPECT_TRUE(s.services.teams->available && s.services.teams->running);
         EXPECT_EQ(s.services.teams->conversations, 4);
         EXPECT_FALSE(s.services.teams->tenants);
       }},
      {"teams' fields of other types fall back one by one",
       [](json& s) {
         s["services"]["teams"] = {{"available", 1}, {"conversations", 4.0}, {"tenants", {"A"}}};
       },
       nullptr,
       [](const ServerStatus& s) {
         EXPECT_FALSE(s.services.teams->available);
         EXPECT_EQ(s.services.teams->conversations, 0);
         EXPECT_EQ(s.services.teams->tenants, TextList({"A"}));
       }},
      {"omnifocus without projects is dropped alone",
       [](json& s) { s["services"]["omnifocus"].erase("projects"); }, nullptr,
       [](const ServerStatus& s) {
         EXPECT_FALSE(s.services.omnifocus);
         EXPECT_TRUE(s.services.email && s.services.calendar && s.services.teams &&
                     s.services.whatsapp && s.services.onedrive);
       }},
      {"faulty service members are dropped, not the status",
       [](json& s) {
         s["services"]["teams"] = "yes";
         s["services"]["onedrive"] = {"A", 2};
         s["services"]["slack"] = {{"running", false}, {"disabled_by_user", true}};
         s["services"]["notes"]["count"] = "42";
       },
       nullptr,
       [](const ServerStatus& s) {
         EXPECT_FALSE(s.services.teams || s.services.onedrive || s.services.slack ||
                      s.services.notes);
         EXPECT_TRUE(s.services.reminders);
       }},
      {"unknown keys at every level are ignored",
       [](json& s) {
         s["services_ui"] = json::array();
         s["level"] = 3;
         s["activation_tip"] = {{"x", 1}};
         s["services"]["servicenow"] = {{"configured", true}};
         s["services"]["email"]["extra"] = 1;
         s["security"]["extra"] = "x";
         s["last_activity"]["extra"] = nullptr;
       },
       nullptr, [](const ServerStatus& s) { EXPECT_TRUE(s.services.email); }},
      {"null is absent",
       [](json& s) {
         s["update"] = nullptr;
         s["push_message"] = nullptr;
         s["services"]["reminders"]["lists"] = nullptr;
       },
       nullptr,
       [](const ServerStatus& s) {
         EXPECT_FALSE(s.update);
         EXPECT_FALSE(s.pushMessage);
         EXPECT_FALSE(s.services.reminders->lists);
       }},
      {"absent optionals stay apart from false, zero and empty",
       [](json& s) {
         s = test::statusFixture("status-fresh-install.json");
         s.erase("auto_update");
       },
       nullptr,
       [](const ServerStatus& s) {
         EXPECT_FALSE(s.autoUpdate);
         EXPECT_EQ(s.cloudDataEnabled, false);
         EXPECT_FALSE(s.lastActivity);
         EXPECT_TRUE(s.recentActivity && s.recentActivity->empty());
         EXPECT_FALSE(s.services.m365->email);
         EXPECT_EQ(s.services.notes->count, 0);
       }},
      {"update as a text", [](json& s) { s["update"] = "3.0.104"; }, "update"},
      {"no security", [](json& s) { s.erase("security"); }, "security"},
      {"port as a text", [](json& s) { s["port"] = "8765"; }, "port"},
      {"port as 4.0", [](json& s) { s["port"] = 4.0; }, "port"},
      {"port beyond 64 bits", [](json& s) { s["port"] = json::parse("9223372036854775808"); },
       "port"},
      {"version null", [](json& s) { s["version"] = nullptr; }, "version"},
      {"auto_update as 1", [](json& s) { s["auto_update"] = 1; }, "auto_update"},
      {"services as a list", [](json& s) { s["services"] = json::array(); }, "services"},
      {"a recent activity without ago_s", [](json& s) { s["recent_activity"][1].erase("ago_s"); },
       "recent_activity[1].ago_s"},
      {"ago_s as 4.0", [](json& s) { s["last_activity"]["ago_s"] = 4.0; }, "last_activity.ago_s"},
      {"a service error without error",
       [](json& s) {
         s["service_errors"] = {{"mail", {{"function", "list"}}}};
       },
       "service_errors.mail.error"},
      {"a permission word as a number", [](json& s) { s["permissions"]["calendar"] = 1; },
       "permissions.calendar"},
      {"security's api_key_enabled as 0", [](json& s) { s["security"]["api_key_enabled"] = 0; },
       "security.api_key_enabled"},
      {"a document that is a list", [](json& s) { s = json::array(); }, "status"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json document = test::statusFixture("status-busy.json");
    c.change(document);
    const auto decoded = decodeServerStatus(document);
    if (c.failingKey == nullptr) {
      ASSERT_TRUE(decoded) << decoded.error();
      c.check(decoded.value());
    } else {
      ASSERT_FALSE(decoded);
      EXPECT_TRUE(decoded.error().starts_with(std::string(c.failingKey) + ": ")) << decoded.error();
    }
  }
}

TEST(ServerStatusTest, ReadsTheBytesOfAReply) {
  EXPECT_TRUE(parseServerStatus(test::statusFixture("status-busy.json").dump()));
  EXPECT_FALSE(parseServerStatus(R"({"server":"connected",)"));
  EXPECT_FALSE(parseServerStatus(""));
}

TEST(ServerStatusTest, DecodesApprovalsWhole) {
  const json approval = {{"request_id", "r1"},
                         {"client_name", "ChatGPT"},
                         {"client_id", "c1"},
                         {"redirect_uri", "https://chat.example/cb"},
                         {"expires_at", 1765000000}};
  json missingClient = approval;
  missingClient.erase("client_id");
  const std::vector<std::tuple<const char*, json, std::optional<std::size_t>>> cases = {
      {"empty list", {{"requests", json::array()}}, 0},
      {"one request, an integer expiry", {{"requests", {approval}}}, 1},
      {"an empty object", json::object(), std::nullopt},
      {"requests as an object", {{"requests", json::object()}}, std::nullopt},
      {"one bad element fails all", {{"requests", {approval, missingClient}}}, std::nullopt},
  };
  for (const auto& [name, document, count] : cases) {
    SCOPED_TRACE(name);
    const auto decoded = parsePendingApprovals(document.dump());
    ASSERT_EQ(decoded.ok(), count.has_value());
    if (count) {
      EXPECT_EQ(decoded.value().requests.size(), *count);
    }
  }
  EXPECT_EQ(decodePendingApprovals({{"requests", {approval}}}).value().requests[0].expiresAt,
            1765000000.0);
}

}  // namespace
}  // namespace tvrn
