#include "bridges/HelperTools.h"

#include <utility>

#include "core/ToolResponse.h"

namespace tvrn::HelperTools {

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

ToolHandler forwardTo(HelperProxy& helper, std::string method) {
  return [&helper, method = std::move(method)](const std::optional<JSONValue>& arguments) {
    return helper.call(method, arguments);
  };
}

ToolHandler confirmedForward(HelperProxy& helper, std::string method, Preview preview) {
  return [&helper, method = std::move(method),
          preview = std::move(preview)](const Params::Arguments& arguments) -> ToolResult {
    if (!Params::optionalBool("confirm", arguments, false)) {
      return ToolResponse::text(preview(arguments));
    }
    return helper.call(method, arguments);
  };
}

}  // namespace tvrn::HelperTools
