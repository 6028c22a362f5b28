// The named waiting limits, in seconds, shared by every call that waits on something outside
// the process: scripts, helper co-processes, external programs, network requests, downloads.
// Entries with equal values are still separate, so one kind of wait can change alone.
#pragma once

namespace tvrn::Timeouts {

inline constexpr double jxaDefault = 30;
inline constexpr double jxaMedium = 60;
inline constexpr double jxaSlow = 90;
inline constexpr double jxaServiceScan = 4;
inline constexpr double permissionProbe = 5;
inline constexpr double jxaDiagnostic = 8;
inline constexpr double jxaDiagnosticLong = 10;
inline constexpr double officeSubprocess = 15;
inline constexpr double networkFireAndForget = 1;
inline constexpr double networkShort = 5;
inline constexpr double networkStockAPI = 7;
inline constexpr double networkDefault = 10;
inline constexpr double networkMedium = 15;
inline constexpr double networkLong = 30;
inline constexpr double teamsProxy = 120;
inline constexpr double tunnelStream = 60;
inline constexpr double downloadLong = 120;
inline constexpr double messagesDatabase = 15;
inline constexpr double outlookProgram = 5;

}  // namespace tvrn::Timeouts
