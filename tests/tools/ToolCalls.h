// Calling a tool family's tools the way a session does, and reading what they answer.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/ToolRegistry.h"

namespace tvrn::test {

inline ToolResult call(const ToolRegistry& registry, std::string_view name,
                       const nlohmann::json& arguments = nlohmann::json::object()) {
  return registry.dispatch(name, JSONValue::fromRaw(arguments));
}

// The result's text, or "failed: " and the error's text.
inline std::string textOf(const ToolResult& result) {
  if (!result) return "failed: " + result.error().description();
  return result.value().rawValue()["content"][0]["text"];
}

inline nlohmann::json jsonOf(const ToolResult& result) {
  return result ? nlohmann::json::parse(textOf(result)) : nlohmann::json();
}

}  // namespace tvrn::test
