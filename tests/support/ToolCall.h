// Calling a tool family's tool as a session would, and reading what comes back.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/ToolRegistry.h"

namespace tvrn::test {

inline ToolResult callTool(const ToolRegistry& registry, std::string_view name,
                           const nlohmann::json& arguments = nlohmann::json::object()) {
  return registry.dispatch(name, JSONValue::fromRaw(arguments));
}

// The text of a successful result; "failed: " and the error's text otherwise.
inline std::string textOf(const ToolResult& result) {
  if (!result.ok()) return "failed: " + result.error().description();
  return result.value().rawValue()["content"][0]["text"].get<std::string>();
}

// Whether a result the tool answered is flagged as a failure ("isError": true).
inline bool flaggedAsError(const ToolResult& result) {
  return result.ok() && result.value().rawValue().value("isError", false);
}

// The JSON a successful result carries; null when it failed or holds no JSON.
inline nlohmann::json jsonOf(const ToolResult& result) {
  if (!result.ok()) return nullptr;
  nlohmann::json parsed = nlohmann::json::parse(textOf(result), nullptr, false);
  return parsed.is_discarded() ? nlohmann::json() : parsed;
}

}  // namespace tvrn::test
