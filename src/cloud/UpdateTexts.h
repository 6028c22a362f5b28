// What an update check tells the user, line by line.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::UpdateTexts {

inline constexpr std::string_view unreachable =
    "Could not reach update server. Check your internet connection.";

inline std::string upToDate(const std::string& version) {
  return "TVRN server v" + version + " is up to date.";
}

inline std::string alreadyOnDisk(const std::string& disk, const std::string& running) {
  return "TVRN server v" + disk + " is already on disk (running v" + running +
         "). Restart your AI clients to apply.";
}

// A newer version found by a check that does not install (automatic updates are off).
inline std::string available(const std::string& version, const std::string& running) {
  return "TVRN server v" + version + " is available (running v" + running + ").";
}

// The answer of a check asked not to install.
inline std::string installable(const std::string& version, const std::string& running) {
  return available(version, running) + " Call update_tavrin to install.";
}

inline std::string downloading(const std::string& version) {
  return "Downloading v" + version + "...";
}

inline std::string serverUpdated(const std::string& version) {
  return "✓ Server updated to v" + version + ". Restart your AI clients to apply.";
}

inline std::string serverFailed(const std::string& error) {
  return "Server update failed: " + error;
}

inline std::string trayUpdated(const std::string& version) {
  return "✓ Tray updated to v" + version + ".";
}

inline std::string trayFailed(const std::string& error) { return "Tray update failed: " + error; }

// Whether a check's report tells of a failure: the update server could not be reached, or the
// new server could not be installed.
inline bool reportsFailure(std::string_view report) {
  const std::string failedLine = serverFailed("");
  if (report.starts_with(unreachable) || report.starts_with(failedLine)) return true;
  return report.find("\n" + failedLine) != std::string_view::npos;
}

inline constexpr std::string_view checkSkipped =
    "An update check is already running; this one is skipped";

}  // namespace tvrn::UpdateTexts
