#include "core/ToolSchema.h"

#include <utility>

namespace tvrn::ToolSchema {

using nlohmann::json;

json property(std::string_view type, std::string_view description) {
  return {{"type", type}, {"description", description}};
}

json path(std::string_view description) {
  json marked = property("string", description);
  marked[kPathKeyword] = true;
  return marked;
}

std::vector<std::string> pathArguments(const json& schema) {
  std::vector<std::string> names;
  const auto properties = schema.find("properties");
  if (!schema.is_object() || properties == schema.end() || !properties->is_object()) return names;
  for (const auto& [name, property] : properties->items()) {
    if (property.is_object() && property.value(kPathKeyword, false) == true) names.push_back(name);
  }
  return names;
}

json stringList(std::string_view description) {
  return {{"type", "array"}, {"items", {{"type", "string"}}}, {"description", description}};
}

json schema(json properties, json required) {
  return {
      {"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
}

}  // namespace tvrn::ToolSchema
