// The texts of the tray's notifications (fixed English, not following the language menu).
#pragma once

#include <array>
#include <string_view>

namespace tvrn::NotificationTexts {

inline constexpr std::string_view kClaudeDownloadURL = "https://claude.ai/download";

struct NudgeClient {
  std::string_view id;
  std::string_view name;
  std::string_view restartHint;
};

// In the order of preference when several clients were seen.
inline constexpr std::array<NudgeClient, 6> kNudgeClients{{
    {"claude", "Claude Desktop", "Quit and reopen Claude Desktop, then start a new chat."},
    {"cursor", "Cursor", "Restart Cursor and switch to Agent mode in the chat panel."},
    {"claude-code", "Claude Code", "Run `claude` in Terminal — tools appear automatically."},
    {"windsurf", "Windsurf", "Restart Windsurf to activate TVRN tools."},
    {"vscode", "VS Code", "Restart VS Code to activate TVRN tools."},
    {"zed", "Zed", "Restart Zed to activate TVRN tools."},
}};

inline constexpr std::string_view kReadyTitle = "TVRN is ready — one step left";
inline constexpr std::string_view kReadyFallbackHint = "Restart your AI client to connect.";
inline constexpr std::string_view kReadyTail =
    " Then try: \"Read my latest emails\" or \"What's on my calendar?\"";
inline constexpr std::string_view kConnectTitle = "Connect TVRN to ";
inline constexpr std::string_view kUnknownClient = "your AI client";
inline constexpr std::string_view kConnectTail =
    " is installed but not connected. Open the TVRN menu bar icon → Settings to finish setup.";
inline constexpr std::string_view kRunningTitle = "TVRN is running";
// Above the reason a start was refused, which names what is wrong and what to do.
inline constexpr std::string_view kStartRefusedTitle = "TVRN could not start";
inline constexpr std::string_view kInstallClaudeHead = "Install Claude Desktop at ";
inline constexpr std::string_view kInstallClaudeTail =
    ", then restart it — TVRN connects automatically.";

inline constexpr std::string_view kApprovalTitle = "TVRN — approval requested";
inline constexpr std::string_view kUnknownApprovalClient = "An MCP client";
inline constexpr std::string_view kApprovalTail =
    " wants to access your Mac apps. Open the TVRN menu bar to Approve or Deny.";

inline constexpr std::string_view kRegressionTitle = "TVRN — permissions lost after update";
inline constexpr std::string_view kRegressionBody =
    "Calendar, Contacts or Reminders access was reset. Open the TVRN menu bar icon to re-grant "
    "access.";

inline constexpr std::string_view kDeniedTitleHead = "TVRN — ";
inline constexpr std::string_view kDeniedTitleTail = " access blocked";
inline constexpr std::string_view kDeniedBody =
    "Open System Settings → Privacy & Security to re-enable access.";

inline constexpr std::string_view kPermissionTitle = "Grant TVRN access to unlock all features";
inline constexpr std::string_view kPermissionHead = "Grant TVRN access to ";
inline constexpr std::string_view kPermissionTail =
    " so your AI can read your calendar, contacts, and reminders.";

inline constexpr std::string_view kConfiguredTitle = "TVRN connected to ";
inline constexpr std::string_view kConfiguredTail = " Then ask: \"What's on my calendar today?\"";

struct ConfiguredHint {
  std::string_view name;
  std::string_view hint;
};
inline constexpr std::array<ConfiguredHint, 6> kConfiguredHints{{
    {"Claude Desktop", "Quit and reopen Claude Desktop."},
    {"Claude Code", "Run `claude` in your terminal."},
    {"Cursor", "Restart Cursor, then switch to Agent mode."},
    {"Windsurf", "Restart Windsurf."},
    {"VS Code", "Restart VS Code."},
    {"Zed", "Restart Zed."},
}};

struct SettingsPage {
  std::string_view service;
  std::string_view url;
};
inline constexpr std::string_view kSecuritySettingsURL =
    "x-apple.systempreferences:com.apple.preference.security";
inline constexpr std::array<SettingsPage, 3> kSettingsPages{{
    {"calendar", "x-apple.systempreferences:com.apple.preference.security?Privacy_Calendars"},
    {"reminders", "x-apple.systempreferences:com.apple.preference.security?Privacy_Reminders"},
    {"contacts", "x-apple.systempreferences:com.apple.preference.security?Privacy_Contacts"},
}};

}  // namespace tvrn::NotificationTexts
