// The pieces every tool family builds its input schemas from, so a family states its parameters
// in a line each instead of spelling out JSON-Schema objects.
#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

namespace tvrn::ToolSchema {

// {"type": type, "description": description}.
nlohmann::json property(std::string_view type, std::string_view description);
// A property holding an array of strings.
nlohmann::json stringList(std::string_view description);
// An object schema with these properties and the names in `required`.
nlohmann::json schema(nlohmann::json properties, nlohmann::json required);

}  // namespace tvrn::ToolSchema
