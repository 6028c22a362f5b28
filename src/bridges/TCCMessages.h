// The texts that tell the user a privacy permission is missing or stale, and how to restore it:
// calendars, reminders and contacts where this system grants them (the tray's Permissions
// section, or the access file without the tray); Automation and Full Disk Access, which the
// script host reports, in System Settings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvrn::TCCMessages {

// Where a user of this system grants access to `service` (e.g. "Calendars"): the tray's
// Permissions section, then how to grant it without the tray.
std::string grantPlace(std::string_view service);

// A script was refused control of `application`.
std::string automationDenied(std::string_view application);
// `what` (e.g. "OneDrive folder") cannot be written without Full Disk Access.
std::string fullDiskAccessRequired(std::string_view what);
// `service` as the texts name it, e.g. "Calendars".
std::string eventKitDenied(std::string_view service);
std::string staleTCC(std::string_view service);
// The services whose permissions were lost; no services give the empty text.
std::string startupBanner(const std::vector<std::string>& blocked);

std::string calendarWriteOnly();
std::string contactsDenied();
std::string contactsNotDetermined();
std::string calendarNotDetermined();
std::string remindersNotDetermined();

}  // namespace tvrn::TCCMessages
