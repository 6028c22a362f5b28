// The fixed English texts of the uninstall panel.
#pragma once

#include <string>

namespace tvrn::UninstallTexts {

inline constexpr const char* kTitle = "Uninstall TVRN";
inline constexpr const char* kPrompt = "Why are you uninstalling? (helps us improve)";
// `folder` as Uninstaller::keptDataFolder() writes it.
inline std::string keptData(const std::string& folder) {
  return "Your calendars, reminders and contacts stay in " + folder + ".";
}
inline constexpr const char* kCancel = "Cancel";
inline constexpr const char* kUninstall = "Uninstall";

}  // namespace tvrn::UninstallTexts
