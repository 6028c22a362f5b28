// The texts that tell the user a privacy permission is missing or stale, and how to restore it in
// System Settings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvrn::TCCMessages {

// A script was refused control of `application`.
std::string automationDenied(std::string_view application);
// `what` (e.g. "OneDrive folder") cannot be written without Full Disk Access.
std::string fullDiskAccessRequired(std::string_view what);
// `service` as System Settings names it, e.g. "Calendars".
std::string eventKitDenied(std::string_view service);
std::string staleTCC(std::string_view service);
// The services whose permissions were lost; no services give the empty text.
std::string startupBanner(const std::vector<std::string>& blocked);

extern const std::string_view calendarWriteOnly;
extern const std::string_view contactsDenied;
extern const std::string_view contactsNotDetermined;
extern const std::string_view calendarNotDetermined;
extern const std::string_view remindersNotDetermined;

}  // namespace tvrn::TCCMessages
