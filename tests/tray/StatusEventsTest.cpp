#include <gtest/gtest.h>

#include "tray/StatusEvents.h"

namespace tvrn {
namespace {

using Permissions = std::map<std::string, std::string>;

ServerStatus status(const std::function<void(ServerStatus&)>& change = {}) {
  ServerStatus s;
  s.server = "connected";
  s.version = "1.0";
  if (change) change(s);
  return s;
}
ServerStatus activity(const char* at, std::int64_t agoS, const char* source = "local") {
  return status([&](ServerStatus& s) { s.lastActivity = LastActivity{at, source, "tool", agoS}; });
}
ServerStatus push(const char* message) {
  return status([&](ServerStatus& s) { s.pushMessage = message; });
}
ServerStatus version(const char* v) {
  return status([&](ServerStatus& s) { s.version = v; });
}
ServerStatus permissions(const Permissions& map) {
  return status([&](ServerStatus& s) { s.permissions = map; });
}

// The events other than the state word, in delivery order; "lost:" stands for a regression line.
std::string describe(const StatusEvents& e) {
  std::string out;
  const auto add = [&out](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
  const auto keys = [](const std::set<std::string>& set) {
    std::string text;
    for (const auto& key : set) text += (text.empty() ? "" : ",") + key;
    return text;
  };
  if (e.activitySource) add("activity:" + *e.activitySource);
  if (e.nudge) add("nudge");
  if (e.newVersion) add("version:" + *e.newVersion);
  for (const auto& line : e.regressionLines) {
    add("lost:" + line.substr(std::string("[TVRN tray] TCC regression: ").size()));
  }
  if (e.tccRegressed) add("regressed");
  if (!e.newlyDenied.empty()) add("denied:" + keys(e.newlyDenied));
  if (e.tccRestored) add("restored");
  if (!e.notDetermined.empty()) add("ask:" + keys(e.notDetermined));
  return out;
}

TEST(StatusEventsTest, SequencesOfStatusesGiveTheirEvents) {
  const std::vector<std::vector<std::pair<ServerStatus, std::string>>> sequences = {
      // Activity: the first call seen only records; one pulse per new call younger than 10 s.
      {{activity("t1", 1), ""},
       {activity("t2", 10), ""},
       {activity("t3", 9), "activity:local"},
       {activity("t3", 0), ""},
       {status(), ""},
       {activity("t3", 0), ""},
       {activity("t4", 3, "cloud"), "activity:cloud"}},
      // A nudge fires on its rising edge; the prefix is exact and case-sensitive.
      {{push("[NUDGE] connect a client"), "nudge"},
       {push("[NUDGE] still not connected"), ""},
       {status(), ""},
       {push("[NUDGE] again"), "nudge"},
       {push("Plain news"), ""},
       {push("[nudge] lower case"), ""},
       {push(" [NUDGE] after a blank"), ""}},
      {{version("1.2.3"), ""},
       {version("1.2.4"), "version:1.2.4"},
       {version("1.2.4"), ""},
       {version("1.2.5"), "version:1.2.5"}},
      {{permissions({{"calendar", "granted"}}), ""},
       {permissions({{"calendar", "denied"}}),
        "lost:calendar granted \u2192 denied regressed "
        "denied:calendar"},
       {permissions({{"calendar", "denied"}}), ""},
       {permissions({{"calendar", "granted"}}), "restored"}},
      // Not determined to denied is a denial, not a regression.
      {{permissions({{"calendar", "notDetermined"}}), "ask:calendar"},
       {permissions({{"calendar", "denied"}}), "denied:calendar"}},
      // Granted to anything else is a regression; the request for undetermined keys is once.
      {{permissions({{"calendar", "granted"}, {"contacts", "granted"}}), ""},
       {permissions({{"calendar", "notDetermined"}, {"contacts", "granted"}}),
        "lost:calendar granted \u2192 notDetermined regressed ask:calendar"},
       {permissions({{"calendar", "notDetermined"}, {"contacts", "writeOnly"}}),
        "lost:contacts granted \u2192 writeOnly"}},
      // The first map: denials at once; automation is never asked for.
      {{permissions({{"contacts", "denied"},
                     {"automation", "notDetermined"},
                     {"reminders", "not_determined"}}),
        "denied:contacts ask:reminders"},
       {permissions({{"contacts", "denied"}, {"calendar", "notDetermined"}}), ""}},
      {{permissions({{"automation", "not_determined"}}), ""},
       {permissions({{"calendar", "notDetermined"}}), "ask:calendar"}},
      // A status without permissions leaves the last map to compare with; a missing key is not
      // lost.
      {{permissions({{"calendar", "granted"}}), ""},
       {status(), ""},
       {permissions({{"contacts", "granted"}}), ""},
       {permissions({{"calendar", "denied"}}), "denied:calendar"}},
      {{permissions({{"calendar", "granted"}}), ""},
       {status(), ""},
       {permissions({{"calendar", "denied"}}),
        "lost:calendar granted \u2192 denied regressed denied:calendar"}},
      // "unknown" (a server just started, that has not looked yet) neither loses nor restores
      // anything, nor asks; the word before it stands.
      {{permissions({{"calendar", "granted"}, {"contacts", "denied"}}), "denied:contacts"},
       {permissions({{"calendar", "unknown"}, {"contacts", "unknown"}}), ""},
       {permissions({{"calendar", "granted"}, {"contacts", "denied"}}), ""},
       {permissions({{"calendar", "unknown"}}), ""},
       {permissions({{"calendar", "notDetermined"}}),
        "lost:calendar granted \u2192 notDetermined regressed ask:calendar"}},
      {{permissions({{"calendar", "unknown"}, {"reminders", "unknown"}}), ""},
       {permissions({{"calendar", "granted"}, {"reminders", "notDetermined"}}), "ask:reminders"}},
  };
  for (std::size_t n = 0; n < sequences.size(); ++n) {
    StatusBookkeeping book;
    for (std::size_t i = 0; i < sequences[n].size(); ++i) {
      const auto& [given, expected] = sequences[n][i];
      const StatusEvents events = applyStatus(book, given);
      EXPECT_EQ(events.state, "connected");
      EXPECT_EQ(describe(events), expected) << "sequence " << n + 1 << ", status " << i + 1;
    }
  }
}

}  // namespace
}  // namespace tvrn
