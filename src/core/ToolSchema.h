// The pieces every tool family builds its input schemas from, so a family states its parameters
// in a line each instead of spelling out JSON-Schema objects.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn::ToolSchema {

// {"type": type, "description": description}.
nlohmann::json property(std::string_view type, std::string_view description);
// A string property that names a file or folder: marked so with kPathKeyword, so the registry
// refuses control characters in it (a NUL would end the name early, past every check made of the
// whole text) whatever the argument is called. The mark stays in the server: the listing clients
// see leaves it out, as some clients refuse a schema holding a keyword they do not know.
nlohmann::json path(std::string_view description);
inline constexpr const char* kPathKeyword = "x-tavrin-path";
// The names of the properties of `schema` marked as paths.
std::vector<std::string> pathArguments(const nlohmann::json& schema);
// A property holding an array of strings.
nlohmann::json stringList(std::string_view description);
// An object schema with these properties and the names in `required`.
nlohmann::json schema(nlohmann::json properties, nlohmann::json required);

}  // namespace tvrn::ToolSchema
