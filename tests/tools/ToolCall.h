// Calling a tool family's tool as a session would, and reading what comes back.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::test {

inline ToolResult callTool(const ToolRegistry& registry, const std::string& name,
                           const nlohmann::json& arguments = nlohmann::json::object()) {
  return registry.dispatch(name, JSONValue::fromRaw(arguments));
}

// The text of a successful result; the failure's text, marked, otherwise.
inline std::string textOf(const ToolResult& result) {
  if (!result.ok()) return "FAILED: " + result.error().description();
  return result.value().rawValue()["content"][0]["text"].get<std::string>();
}

// The JSON a successful result carries; null when it failed or holds no JSON.
inline nlohmann::json jsonOf(const ToolResult& result) {
  if (!result.ok()) return nullptr;
  return nlohmann::json::parse(textOf(result), nullptr, false);
}

}  // namespace tvrn::test
