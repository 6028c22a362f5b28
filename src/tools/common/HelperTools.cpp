#include "tools/common/HelperTools.h"

#include <utility>

#include "bridges/LocalData.h"
#include "core/ToolResponse.h"

namespace tvrn::HelperTools {
namespace {

// The service's own refusal of an argument of the wrong type, given before a preview as well, so
// that neither a preview nor a change reads such a value as absent.
std::optional<ToolError> refusedArgument(std::string_view method,
                                         const Params::Arguments& arguments) {
  if (!arguments || arguments->asObject() == nullptr) return std::nullopt;
  return LocalData::refusedArgument(method, arguments->rawValue());
}

}  // namespace

ToolHandler forwardTo(HelperProxy& helper, std::string method) {
  return [&helper, method = std::move(method)](const std::optional<JSONValue>& arguments) {
    if (auto refused = refusedArgument(method, arguments)) return ToolResult(fail(*refused));
    return helper.call(method, arguments);
  };
}

ToolHandler confirmedForward(HelperProxy& helper, std::string method, Preview preview) {
  return [&helper, method = std::move(method),
          preview = std::move(preview)](const Params::Arguments& arguments) -> ToolResult {
    if (auto refused = refusedArgument(method, arguments)) return fail(*refused);
    if (!Params::optionalBool("confirm", arguments, false)) {
      return ToolResponse::text(preview(arguments));
    }
    return helper.call(method, arguments);
  };
}

}  // namespace tvrn::HelperTools
