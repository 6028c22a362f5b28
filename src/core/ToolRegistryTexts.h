// The tool registry's fixed data: the refusal texts a client sees and the setting that ends an
// introductory tool's listing.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::ToolRegistryTexts {

inline std::string unknownTool(std::string_view name) { return "tool '" + std::string(name) + "'"; }

inline std::string disabledByPolicy(std::string_view name) {
  return "'" + std::string(name) + "' is disabled by your organisation's IT policy";
}

inline std::string notAllowedReadOnly(std::string_view name) {
  return "'" + std::string(name) + "' is not allowed in read-only mode";
}

// While a settings file cannot be used: `unreadable` names it and why ("<file> does not parse
// (line 3, column 1: ...)"); what it says of read-only mode is unknown, so changes are refused.
inline std::string settingsUnreadable(std::string_view unreadable) {
  return "Tavrin's settings file " + std::string(unreadable) +
         "; until it is mended, tools that write, delete or send are refused.";
}

inline std::string serviceDisabled(std::string_view service) {
  return "'" + std::string(service) +
         "' service is disabled. Enable it in TVRN Settings \u2192 Services.";
}

inline std::string noLongerAvailable(std::string_view name) {
  return "tool '" + std::string(name) + "' is no longer available";
}

inline constexpr std::string_view kRemovedDescription = "[removed]";

// An introductory tool is listed only until this setting records the first tool call.
inline constexpr std::string_view kFirstToolCallKey = "first_tool_call_at";

}  // namespace tvrn::ToolRegistryTexts
