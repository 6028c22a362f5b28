// What manifest tools answer and log: the runners' failure texts, the validator's expectations,
// the pipeline's confirmation line and the dispatcher's log lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tvrn::ManifestRunnerTexts {

inline constexpr std::string_view kLogCategory = "manifest";

// Every runner
inline constexpr std::string_view kWrongBehavior = "wrong behavior";

inline std::string nestedTooDeep(int limit) {
  return "Behavior nesting deeper than " + std::to_string(limit) + " levels";
}

// Native handlers
inline std::string nativeHandlerMissing(std::string_view name) {
  return "native handler '" + std::string(name) + "' not registered";
}

// JXA
inline constexpr std::string_view kOsaUnavailable = "JavaScript OSA language unavailable";
inline constexpr std::string_view kJXAPrefix = "JXA: ";
inline constexpr std::string_view kAutomationRequiredStart =
    "Automation permission required for this tool. Go to System Settings \u2192 Privacy & "
    "Security \u2192 Automation and enable access for TavrinTray. (";
inline constexpr std::string_view kSilentlyDenied =
    "Automation permission may have been silently denied. Go to System Settings \u2192 Privacy "
    "& Security \u2192 Automation and enable access for TavrinTray.";
inline constexpr std::string_view kNeedsAutomation =
    "TavrinTray needs Automation access. Go to System Settings \u2192 Privacy & Security \u2192 "
    "Automation and enable the required app for TavrinTray.";

inline std::string jxaTimedOut(std::int64_t timeoutMs) {
  return "JXA: timed out after " + std::to_string(timeoutMs) + "ms";
}

inline std::string jxaBusy(std::size_t running) {
  return "JXA: busy \u2014 " + std::to_string(running) +
         " earlier scripts are still running past their time-out";
}

inline std::string osaError(std::int64_t number, std::string_view message) {
  return "OSA error " + std::to_string(number) + ": " + std::string(message);
}

// AppleScript
inline constexpr std::string_view kLaunchFailed = "osascript launch failed: ";
inline constexpr std::string_view kAppleScriptPrefix = "AppleScript: ";

inline std::string appleScriptTimedOut(std::int64_t timeoutMs) {
  return "AppleScript: timed out after " + std::to_string(timeoutMs) + "ms";
}

// HTTP
inline constexpr std::string_view kHTTPError = "HTTP error: ";
inline constexpr std::string_view kLocalInvalidURL = "http_local: invalid URL: ";
inline constexpr std::string_view kRemoteInvalidURL = "http_remote: invalid URL: ";
inline constexpr std::string_view kRemoteLoopback =
    "http_remote: localhost URLs must use http_local behavior";

// SQLite and property lists
inline constexpr std::string_view kSqlitePrefix = "sqlite: ";
inline constexpr std::string_view kSelectOnly = "sqlite: only SELECT queries are allowed";
inline constexpr std::string_view kCannotOpen = "cannot open";
inline constexpr std::string_view kPrepareFailed = "prepare failed";

inline std::string outsideAllowed(std::string_view runner, std::string_view path) {
  return std::string(runner) + ": path '" + std::string(path) +
         "' is outside the allowed directories";
}
inline std::string plistNotFound(std::string_view path) {
  return "plist file not found: " + std::string(path);
}
inline std::string plistCannotParse(std::string_view path) {
  return "plist: cannot parse " + std::string(path);
}
inline std::string keyPathNotFound(std::string_view keyPath) {
  return "plist key path '" + std::string(keyPath) + "' not found";
}

// Composition
inline std::string tooManySteps(int limit) {
  return "Too many composed steps in one call (more than " + std::to_string(limit) + ")";
}

// Validation and the pipeline
inline constexpr std::string_view kExpectString = "string";
inline constexpr std::string_view kExpectEmail = "email";
inline constexpr std::string_view kExpectInteger = "integer";
inline constexpr std::string_view kExpectBoolean = "boolean";
inline constexpr std::string_view kExpectArray = "array";

inline std::string expectAtLeast(std::int64_t min) { return "value >= " + std::to_string(min); }
inline std::string expectAtMost(std::int64_t max) { return "value <= " + std::to_string(max); }
inline std::string expectMaxLength(std::int64_t length) {
  return "max " + std::to_string(length) + " characters";
}

inline std::string defaultPreview(std::string_view tool) {
  return "Run " + std::string(tool) + "?";
}
inline constexpr std::string_view kConfirmHint = "\n\nCall again with confirm: true to proceed.";

// The dispatcher's log lines
inline constexpr std::string_view kNoRegistry =
    "ManifestToolDispatcher: no registry set \u2014 skipping apply";

inline std::string skippingTool(std::string_view name, std::string_view capability) {
  return "Skipping '" + std::string(name) + "': capability '" + std::string(capability) +
         "' not in manifest capabilities block";
}

inline std::string applied(int registered, int skipped) {
  return "Applied manifest: " + std::to_string(registered) + " tools registered, " +
         std::to_string(skipped) + " skipped";
}

}  // namespace tvrn::ManifestRunnerTexts
