#include "tools/common/HelperTools.h"

#include <utility>

#include "core/ToolResponse.h"

namespace tvrn::HelperTools {

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
