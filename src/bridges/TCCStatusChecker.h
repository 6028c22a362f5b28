// The state of the calendar, reminder and contact permissions in the words the whole system
// shares: "granted", "writeOnly", "denied", "restricted", "notDetermined" and "unknown". A grant
// once seen is remembered in tcc-cache.json, so a later "notDetermined" still reads "granted".
#pragma once

#include <functional>
#include <map>
#include <string>

namespace tvrn {

// Keyed "calendar", "reminders" and "contacts", each holding a status word (or whatever other
// word the helper answered).
using PermissionStatusMap = std::map<std::string, std::string>;
// Where a caller reads the current statuses from; start-up hands in the checker below.
using PermissionSource = std::function<PermissionStatusMap()>;

class HelperProxy;
class PrivacyGate;

namespace TCCStatusChecker {

// Asks `helper` (waiting up to 2 s), else `gate`. Blocks its caller; safe on any thread.
PermissionStatusMap currentStatus(HelperProxy& helper, const PrivacyGate& gate);

// Logs one line (category "tcc"): a warning when the contacts permission `gate` records needs the
// user, else the three permissions' words ("OK" when all are granted); asks for nothing and
// writes no file.
void runStartupCheck(const PrivacyGate& gate);

}  // namespace TCCStatusChecker
}  // namespace tvrn
