// Handlers for the tool families answered through the helper bridge: they hand a call to the
// helper at once, or only once it is confirmed.
#pragma once

#include <functional>
#include <string>

#include "bridges/HelperProxy.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::HelperTools {

// The helper's service reads the arguments, applies the defaults and answers; the tool only
// names the method.
ToolHandler forwardTo(HelperProxy& helper, std::string method);

// A write runs only when the caller repeats it with confirm: true; until then the caller gets
// `preview`'s text and nothing reaches the service.
using Preview = std::function<std::string(const Params::Arguments&)>;
ToolHandler confirmedForward(HelperProxy& helper, std::string method, Preview preview);

}  // namespace tvrn::HelperTools
