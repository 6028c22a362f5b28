#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bridges/LocalData.h"
#include "bridges/PimFixtures.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono;

class LocalDataRouterTest : public ::testing::Test, protected test::PimWorld {};

TEST_F(LocalDataRouterTest, MalformedRequestsUnknownMethodsAndArgumentsThatAreNoObject) {
  for (const char* request : {"", "not json", "{}", "[]", R"("get_tcc_status")", R"({"method": 5})",
                              R"({"method": null})", R"({"method": "get_tcc_status")"}) {
    EXPECT_EQ(LocalData::dispatch(stores, request), test::failureReply("invalid request"))
        << request;
  }
  for (const char* method : {"reminders_list_lists", "LIST_CALENDAR_NAMES", ""}) {
    EXPECT_EQ(callData(method), test::failureReply("unknown method: " + std::string(method)));
  }
  const json preview = callData("create_calendar_event");
  EXPECT_NE(preview["text"].get<std::string>().find("Title:     (no title)"), std::string::npos);
  for (const char* args : {"", R"(, "args": null)", R"(, "args": [1])", R"(, "args": "x")"}) {
    EXPECT_EQ(LocalData::dispatch(
                  stores, std::string(R"({"method": "create_calendar_event")") + args + "}"),
              preview);
  }
}

TEST_F(LocalDataRouterTest, PermissionStatusAndProbes) {
  const auto file = Paths::appSupport() / "pim" / "authorization.json";
  const std::pair<std::string, json> cases[] = {
      {R"({"calendar": "granted", "contacts": "denied"})",
       {{"calendar", "authorized"}, {"reminders", "notDetermined"}, {"contacts", "denied"}}},
      {R"({"calendar": "writeOnly", "reminders": "restricted", "contacts": "writeOnly"})",
       {{"calendar", "writeOnly"}, {"reminders", "restricted"}, {"contacts", "unknown"}}},
      {R"({"calendar": "sometimes"})",
       {{"calendar", "unknown"}, {"reminders", "notDetermined"}, {"contacts", "notDetermined"}}},
  };
  for (const auto& [recorded, result] : cases) {
    test::writeFile(file, recorded);
    EXPECT_EQ(callData("get_tcc_status"), (json{{"ok", true}, {"result", result}}));
  }
  test::writeFile(file, R"({"reminders": "restricted"})");
  EXPECT_EQ(callData("probe_reminders_tcc"),
            (json{{"ok", true}, {"result", {{"reminders", "restricted"}}}}));

  // Not asked yet: the request starts and the probe answers without waiting for it.
  EXPECT_EQ(callData("probe_calendar_tcc"),
            (json{{"ok", true}, {"result", {{"calendar", "requested"}}}}));
}

// Whoever calls the router (a tool, a manifest's helper call), a change is refused before its
// service could read a mistyped argument as absent.
TEST_F(LocalDataRouterTest, AChangeArgumentOfTheWrongTypeIsRefusedBeforeTheService) {
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::granted));
  EXPECT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::granted));
  const std::tuple<const char*, json, std::string> cases[] = {
      // Formerly "title, start_date, and end_date are required", with all three given.
      {"create_calendar_event",
       {{"title", 5}, {"start_date", "2024-06-01"}, {"end_date", "2024-06-01"}, {"confirm", true}},
       "Invalid 'title': expected string"},
      {"delete_reminder",
       {{"reminder_id", 5}, {"confirm", true}},
       "Invalid 'reminder_id': expected string"},
      {"calendar_for_new_event", {{"calendar", 3}}, "Invalid 'calendar': expected string"},
  };
  for (const auto& [method, args, refusal] : cases) {
    EXPECT_EQ(callData(method, args), test::failureReply(refusal)) << method << " " << args;
  }
  EXPECT_TRUE(data().events(test::at("2024-06-01"), test::at("2024-06-02")).empty());
  EXPECT_TRUE(data().reminders().empty());
}

TEST(LocalDataDatesTest, ReadsThreeFormsAndWritesUTC) {
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // Central European time without tzdata
  ::tzset();
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"2024-05-01T10:00:00Z", "2024-05-01T10:00:00Z"},
      {"2024-05-01T10:00:00-05:30", "2024-05-01T15:30:00Z"},
      {"2024-05-01T10:00:00", "2024-05-01T08:00:00Z"},  // local summer time
      {"2024-02-29", "2024-02-29T00:00:00Z"},
      {"1969-12-31T23:59:59Z", "1969-12-31T23:59:59Z"},
      {"2024-05-01 10:00:00", std::nullopt},
      {"2024-05-01T10:00:00.5Z", std::nullopt},
      {"2024-05-01T10:00:00+0200", std::nullopt},
      {"2024-02-30", std::nullopt},
      {"2024-05-01T24:00:00Z", std::nullopt},
      {"next week", std::nullopt},
  };
  for (const auto& [text, utc] : cases) {
    const auto date = LocalData::parseISO8601(text);
    EXPECT_EQ(date ? std::optional(LocalData::iso8601(*date)) : std::nullopt, utc) << text;
  }
  const PimTime fallback = sys_days(2000y / 1 / 1) + milliseconds(1999);
  EXPECT_EQ(LocalData::parseDateStr("", fallback), fallback);
  EXPECT_EQ(LocalData::parseDateStr("next week", fallback), fallback);
  EXPECT_EQ(LocalData::iso8601(fallback), "2000-01-01T00:00:01Z");
}

}  // namespace
}  // namespace tvrn
