// The texts of the environment-state tool.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tvrn::StateTexts {

inline constexpr std::string_view kDescription =
    "Returns a structured snapshot of the TVRN environment: server/tray/teams-proxy versions, "
    "detected AI client, cloud relay state, TCC permission states (Calendar/Reminders/Contacts), "
    "and a compact summary of which services (Mail/Calendar/Contacts/Teams/OneDrive/Reminders/"
    "Notes) are reachable. Fast (<500ms), passive — never prompts the user, never opens app "
    "windows, never touches the network. Call this when you need to verify the environment is "
    "healthy before attempting a tool, or to understand what's installed and accessible. For "
    "reporting failures, use `report_problem` instead — it captures this same snapshot plus logs "
    "and submits to the team.";

inline std::string updateAdvice(const std::string& version, const std::string& latest,
                                std::int64_t behind) {
  return "You're on v" + version + " — v" + latest + " is available (" + std::to_string(behind) +
         " releases). Say 'update Tavrin' to install.";
}

inline constexpr std::string_view kHelperUnavailable = "helper_unavailable";

}  // namespace tvrn::StateTexts
