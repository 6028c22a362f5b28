// The popover's fixed English texts: those that do not follow the language menu (proper names,
// button labels and the relay's states). Translated texts live in the tray's string table.
#pragma once

#include <array>
#include <string_view>

#include "tray/NotificationTexts.h"

namespace tvrn::PopoverTexts {

inline constexpr std::string_view kTitle = "TVRN";
inline constexpr std::string_view kVersionPrefix = "v";

inline constexpr std::string_view kRegressedTitle = "Permissions lost after update";
inline constexpr std::string_view kRegressedReopen = "Open System Settings to re-grant access";
inline constexpr std::string_view kRegressedRestore = "Tap Grant Access to restore ";
inline constexpr std::string_view kGrantAccess = "Grant Access";
inline constexpr std::string_view kSystemSettings = "System Settings";
inline constexpr std::string_view kSystemSettingsArrow = "System Settings →";

inline constexpr std::string_view kUpdatedTo = "Updated to v";
inline constexpr std::string_view kRestartClaudeHint = "Restart Claude Desktop to reconnect.";
inline constexpr std::string_view kNewConversationHint =
    "Start a new conversation in your AI client to reconnect.";
inline constexpr std::string_view kRestartClaude = "Restart Claude Desktop";

inline constexpr std::string_view kPendingApprovals = "Pending approvals";
inline constexpr std::string_view kUnknownClient = "Unknown client";
inline constexpr std::string_view kWantsAccess = "wants to access your Mac apps";
inline constexpr std::string_view kDeny = "Deny";
inline constexpr std::string_view kApprove = "Approve";

inline constexpr std::string_view kFix = "Fix →";

inline constexpr std::string_view kCloudRelay = "Cloud Relay";
inline constexpr std::string_view kRelayForwarding = "On · forwarding";
inline constexpr std::string_view kRelayOff = "Off";
inline constexpr std::string_view kRelayConnecting = "Connecting…";
inline constexpr std::string_view kRelayNotConnected = "Not connected";

inline constexpr std::string_view kRestart = "Restart";

struct PermissionRow {
  std::string_view key;
  std::string_view label;
  std::string_view url;
};
// In the order the section lists them.
inline constexpr std::array<PermissionRow, 4> kPermissionRows{{
    {"calendar", "Calendar", NotificationTexts::kSettingsPages[0].url},
    {"reminders", "Reminders", NotificationTexts::kSettingsPages[1].url},
    {"contacts", "Contacts", NotificationTexts::kSettingsPages[2].url},
    {"automation", "Automation",
     "x-apple.systempreferences:com.apple.preference.security?Privacy_Automation"},
}};

}  // namespace tvrn::PopoverTexts
