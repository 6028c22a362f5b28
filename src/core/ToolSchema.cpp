#include "core/ToolSchema.h"

#include <utility>

namespace tvrn::ToolSchema {

using nlohmann::json;

json property(std::string_view type, std::string_view description) {
  return {{"type", type}, {"description", description}};
}

json stringList(std::string_view description) {
  return {{"type", "array"}, {"items", {{"type", "string"}}}, {"description", description}};
}

json schema(json properties, json required) {
  return {
      {"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
}

}  // namespace tvrn::ToolSchema
