#include <gtest/gtest.h>

#include "app/StatusEvents.h"

namespace tvrn {
namespace {

using Permissions = std::map<std::string, std::string>;

struct Step {
  std::optional<LastActivity> activity = std::nullopt;
  std::optional<std::string> push = std::nullopt;
  std::optional<Permissions> permissions = std::nullopt;
  std::string version = "1.0";
  // The events, in delivery order, apart from the state word that every status gives.
  std::string expected;
  std::vector<std::string> lines = {};
};

LastActivity call(const char* at, std::int64_t agoS, const char* source = "local") {
  return {at, source, "calendar_list_events", agoS};
}

std::string describe(const StatusEvents& e) {
  std::string out;
  const auto add = [&out](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
  const auto join = [](const std::set<std::string>& keys) {
    std::string text;
    for (const auto& key : keys) text += (text.empty() ? "" : ",") + key;
    return text;
  };
  if (e.activitySource) add("activity:" + *e.activitySource);
  if (e.nudge) add("nudge");
  if (e.newVersion) add("version:" + *e.newVersion);
  if (e.tccRegressed) add("regressed");
  if (!e.newlyDenied.empty()) add("denied:" + join(e.newlyDenied));
  if (e.tccRestored) add("restored");
  if (!e.notDetermined.empty()) add("ask:" + join(e.notDetermined));
  return out;
}

TEST(StatusEventsTest, SequencesOfStatusesGiveTheirEvents) {
  const std::vector<std::pair<const char*, std::vector<Step>>> sequences = {
      {"activity pulses once per new call younger than 10 s",
       {{.activity = call("t1", 1), .expected = ""},  // the first one seen only records
        {.activity = call("t2", 10), .expected = ""},
        {.activity = call("t3", 9), .expected = "activity:local"},
        {.activity = call("t3", 0), .expected = ""},
        {.expected = ""},  // no last_activity: remembered time stays
        {.activity = call("t3", 0), .expected = ""},
        {.activity = call("t4", 3, "cloud"), .expected = "activity:cloud"}}},
      {"a nudge fires on its rising edge, exact prefix and case",
       {{.push = "[NUDGE] connect a client", .expected = "nudge"},
        {.push = "[NUDGE] still not connected", .expected = ""},
        {.expected = ""},
        {.push = "[NUDGE] again", .expected = "nudge"},
        {.push = "Plain news", .expected = ""},
        {.push = "[nudge] lower case", .expected = ""},
        {.push = " [NUDGE] after a blank", .expected = ""}}},
      {"a new version is announced, the first never",
       {{.version = "1.2.3", .expected = ""},
        {.version = "1.2.4", .expected = "version:1.2.4"},
        {.version = "1.2.4", .expected = ""},
        {.version = "1.2.5", .expected = "version:1.2.5"}}},
      {"granted, denied, granted again",
       {{.permissions = Permissions{{"calendar", "granted"}}, .expected = ""},
        {.permissions = Permissions{{"calendar", "denied"}},
         .expected = "regressed denied:calendar",
         .lines = {"[TVRN tray] TCC regression: calendar granted \u2192 denied"}},
        {.permissions = Permissions{{"calendar", "denied"}}, .expected = ""},
        {.permissions = Permissions{{"calendar", "granted"}}, .expected = "restored"}}},
      {"not determined to denied is a denial, not a regression",
       {{.permissions = Permissions{{"calendar", "notDetermined"}}, .expected = "ask:calendar"},
        {.permissions = Permissions{{"calendar", "denied"}}, .expected = "denied:calendar"}}},
      {"granted to not determined is a regression without a denial",
       {{.permissions = Permissions{{"calendar", "granted"}, {"contacts", "granted"}},
         .expected = ""},
        {.permissions = Permissions{{"calendar", "notDetermined"}, {"contacts", "granted"}},
         .expected = "regressed ask:calendar",
         .lines = {"[TVRN tray] TCC regression: calendar granted \u2192 notDetermined"}},
        {.permissions = Permissions{{"calendar", "notDetermined"}, {"contacts", "writeOnly"}},
         .expected = "",
         .lines = {"[TVRN tray] TCC regression: contacts granted \u2192 writeOnly"}}}},
      {"the first map: denials at once, the undetermined asked for once",
       {{.permissions = Permissions{{"contacts", "denied"},
                                    {"automation", "notDetermined"},
                                    {"reminders", "not_determined"}},
         .expected = "denied:contacts ask:reminders"},
        {.permissions = Permissions{{"contacts", "denied"}, {"calendar", "notDetermined"}},
         .expected = ""}}},
      {"only automation undetermined asks for nothing",
       {{.permissions = Permissions{{"automation", "not_determined"}}, .expected = ""},
        {.permissions = Permissions{{"calendar", "notDetermined"}}, .expected = "ask:calendar"}}},
      {"a status without permissions compares with the last map",
       {{.permissions = Permissions{{"calendar", "granted"}}, .expected = ""},
        {.expected = ""},
        {.permissions = Permissions{{"calendar", "denied"}},
         .expected = "regressed denied:calendar",
         .lines = {"[TVRN tray] TCC regression: calendar granted \u2192 denied"}}}},
      {"a key the new map lacks is not lost",
       {{.permissions = Permissions{{"calendar", "granted"}}, .expected = ""},
        {.permissions = Permissions{{"contacts", "denied"}}, .expected = "denied:contacts"}}},
  };
  for (const auto& [name, steps] : sequences) {
    StatusBookkeeping book;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE(std::string(name) + ", status " + std::to_string(i + 1));
      ServerStatus status;
      status.server = "connected";
      status.version = steps[i].version;
      status.lastActivity = steps[i].activity;
      status.pushMessage = steps[i].push;
      status.permissions = steps[i].permissions;
      const StatusEvents events = applyStatus(book, status);
      EXPECT_EQ(events.state, "connected");
      EXPECT_EQ(describe(events), steps[i].expected);
      EXPECT_EQ(events.regressionLines, steps[i].lines);
    }
  }
}

TEST(StatusEventsTest, RegressedFollowsTheLostKeysAfterTheFirstMap) {
  StatusBookkeeping book;
  const std::vector<std::pair<Permissions, bool>> steps = {
      {{{"calendar", "denied"}}, false},  // the first map computes no regression
      {{{"calendar", "granted"}, {"contacts", "granted"}}, false},
      {{{"calendar", "restricted"}, {"contacts", "unknown"}}, true},
      {{{"calendar", "granted"}}, true},  // contacts not in this map: still lost
      {{{"contacts", "granted"}}, false},
  };
  for (const auto& [permissions, regressed] : steps) {
    ServerStatus status;
    status.permissions = permissions;
    applyStatus(book, status);
    EXPECT_EQ(book.tccRegressed, regressed) << testing::PrintToString(permissions);
  }
}

}  // namespace
}  // namespace tvrn
