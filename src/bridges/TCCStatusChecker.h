// The state of the calendar, reminder and contact permissions in the words the whole system
// shares: "granted", "writeOnly", "denied", "restricted", "notDetermined" and "unknown". A grant
// once seen is remembered in tcc-cache.json, so a later "notDetermined" still reads "granted".
#pragma once

#include <map>
#include <string>

namespace tvrn {

// Keyed "calendar", "reminders" and "contacts", each holding a status word (or whatever other
// word the helper answered).
using PermissionStatusMap = std::map<std::string, std::string>;

namespace TCCStatusChecker {

// Asks the helper bridge's scanner instance (waiting up to 2 s), else the platform. Blocks its
// caller; safe on any thread.
PermissionStatusMap currentStatus();

// Logs one line on the contacts permission (category "tcc"); asks for nothing and writes no file.
void runStartupCheck();

}  // namespace TCCStatusChecker
}  // namespace tvrn
