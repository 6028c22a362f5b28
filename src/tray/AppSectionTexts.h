// The fixed English texts of the popover's app section and footer.
#pragma once

#include <string_view>

namespace tvrn::AppSectionTexts {

inline constexpr std::string_view kSettings = "Settings";
inline constexpr std::string_view kRestartTail = " ready — restart your AI clients";
inline constexpr std::string_view kAvailableTail = " available";
inline constexpr std::string_view kRequiredMiddle = " required (";
inline constexpr std::string_view kRequiredTail = " releases behind)";
inline constexpr std::string_view kInstall = "Install";
inline constexpr std::string_view kUpdateNow = "Update Now";
inline constexpr std::string_view kStuckWarning =
    "Auto-update may be stuck. If 'Update Now' doesn't apply within a few minutes, reinstall: ";

// Then the port, and the popover's or a request's tail.
inline constexpr std::string_view kStatusServerWaits = "The status server is waiting for port ";
inline constexpr std::string_view kWaitsNoticeTail =
    ", held by another program: Settings and auto-update are off until it is free.";
inline constexpr std::string_view kNothingSent = "; nothing was sent.";

inline constexpr std::string_view kNudgeShown = "tray_nudge_shown";
inline constexpr std::string_view kUpdateStarted = "tray_update_started";

// Where a report goes when the back end cannot take it.
inline constexpr std::string_view kSupportAddress = "support@tavrin.invalid";
inline constexpr std::string_view kMailSubjectPrefix = "Bug Report — TVRN v";
inline constexpr std::string_view kMailBodyPlaceholder = "(describe the issue here)";

}  // namespace tvrn::AppSectionTexts
