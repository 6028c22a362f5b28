// Which applications are installed, by bundle name: "<Name>.app" under ~/Applications and the
// folders listed in TVRN_APP_DIRS (colon-separated), searched in that order.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tvrn::InstalledApps {

// The folders searched, in order, worked out from the environment at each call.
std::vector<std::filesystem::path> folders();

// The first "<name>.app" item (file or folder) found; nothing when none exists.
std::optional<std::filesystem::path> find(std::string_view name);

bool isInstalled(std::string_view name);

}  // namespace tvrn::InstalledApps
