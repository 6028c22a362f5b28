// How the tray turns two consecutive server statuses into one-shot events (activity pulse,
// set-up nudge, new version, permission changes): a plain function over what the monitor
// remembers, so the monitor only delivers what it returns.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tray/ServerStatus.h"

namespace tvrn {

// What the monitor remembers of earlier statuses; it lasts for the process.
struct StatusBookkeeping {
  std::optional<std::string> lastActivityAt;
  std::optional<std::string> lastPushMessage;
  std::optional<std::string> prevVersion;
  // The last permissions map a status carried; a status without one leaves it.
  std::optional<std::map<std::string, std::string>> prevPermissions;
  std::set<std::string> tccRegressedKeys;  // keys that went from "granted" to something else
  std::set<std::string> tccDeniedKeys;     // keys currently "denied"
  bool tccRegressed = false;
  bool didAutoRequestTCC = false;  // the not-determined keys are asked for once per process
};

// The events of one status, in the order the monitor delivers them.
struct StatusEvents {
  std::string state;                          // the server's state word, at every status
  std::optional<std::string> activitySource;  // a new tool call: its source
  bool nudge = false;                         // a set-up nudge appeared
  std::optional<std::string> newVersion;      // the server's version changed to this
  std::vector<std::string> regressionLines;   // one line per permission lost, for the log
  bool tccRegressed = false;                  // a granted permission was lost (rising edge)
  std::set<std::string> newlyDenied;          // keys that became "denied"
  bool tccRestored = false;                   // no key is denied any more
  std::set<std::string> notDetermined;        // keys never asked for; asked once, later
};

inline constexpr std::string_view kNudgePrefix = "[NUDGE]";

// Records the status in `book` and returns what changed since the statuses before it.
StatusEvents applyStatus(StatusBookkeeping& book, const ServerStatus& status);

}  // namespace tvrn
