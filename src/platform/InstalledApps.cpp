#include "platform/InstalledApps.h"

#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/Paths.h"

namespace tvrn::InstalledApps {

std::vector<std::filesystem::path> folders() {
  std::vector<std::filesystem::path> result{Paths::underHome("Applications")};
  const char* extra = std::getenv("TVRN_APP_DIRS");
  std::string_view rest = extra == nullptr ? std::string_view() : std::string_view(extra);
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    if (!entry.empty()) result.emplace_back(entry);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return result;
}

std::optional<std::filesystem::path> find(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  const std::string bundle = std::string(name) + ".app";
  for (const auto& folder : folders()) {
    std::error_code error;
    const auto candidate = folder / bundle;
    if (std::filesystem::exists(std::filesystem::symlink_status(candidate, error))) {
      return candidate;
    }
  }
  return std::nullopt;
}

bool isInstalled(std::string_view name) { return find(name).has_value(); }

}  // namespace tvrn::InstalledApps
