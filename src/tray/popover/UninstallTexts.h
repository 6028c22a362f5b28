// The fixed English texts of the uninstall panel.
#pragma once

namespace tvrn::UninstallTexts {

inline constexpr const char* kTitle = "Uninstall TVRN";
inline constexpr const char* kPrompt = "Why are you uninstalling? (helps us improve)";
inline constexpr const char* kCancel = "Cancel";
inline constexpr const char* kUninstall = "Uninstall";

}  // namespace tvrn::UninstallTexts
