// The services list's fixed texts: what every language shows in English, and the pages that
// offer an app that is not installed.
#pragma once

#include <string_view>

namespace tvrn::ServiceRowTexts {

inline constexpr std::string_view kOpen = "Open →";
inline constexpr std::string_view kGet = "Get →";
inline constexpr std::string_view kUpgrade = "Upgrade →";
inline constexpr std::string_view kEnable = "Enable →";
inline constexpr std::string_view kSettings = "Settings →";
inline constexpr std::string_view kWriteOnly = "Write-only — full access needed";
inline constexpr std::string_view kVPNHeading = "VPN";
inline constexpr std::string_view kMessagingHeading = "Messaging";
inline constexpr std::string_view kErrorBadge = "ERROR";
inline constexpr std::string_view kEllipsis = "…";

inline constexpr std::string_view kOmniFocusPage =
    "https://apps.apple.com/app/omnifocus-4/id1542143627";
inline constexpr std::string_view kTeamsPage =
    "https://www.microsoft.com/microsoft-teams/download-app";
inline constexpr std::string_view kOneDrivePage = "https://apps.apple.com/app/onedrive/id823766827";
inline constexpr std::string_view kSlackPage = "https://slack.com/downloads/mac";
inline constexpr std::string_view kNordVPNPage =
    "https://apps.apple.com/app/nordvpn-vpn-fast-secure/id905953485";

inline constexpr std::string_view kCalendarsPane =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Calendars";
inline constexpr std::string_view kContactsPane =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Contacts";
inline constexpr std::string_view kRemindersPane =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Reminders";

// The Outlook row.
inline constexpr std::string_view kOutlook = "Outlook";
inline constexpr std::string_view kConnectedPrefix = "Connected · ";
inline constexpr std::string_view kConnectedViaM365 = "Connected via Microsoft 365";
inline constexpr std::string_view kOutlookInstalled =
    "Installed · connect via M365 for full access";
inline constexpr std::string_view kNotInMail = " not in Mail.app";
inline constexpr std::string_view kAddToMail = "Add to Mail.app →";

// The WhatsApp row.
inline constexpr std::string_view kWhatsApp = "WhatsApp";
// The warning sign before it is drawn as a symbol: an emoji needs a font the desktop may lack.
inline constexpr std::string_view kUnofficial =
    "Unofficial client (Wacli) — may violate WhatsApp ToS";
inline constexpr std::string_view kScanQR = "Scan QR with your phone to connect";
inline constexpr std::string_view kConnect = "Connect";

}  // namespace tvrn::ServiceRowTexts
