// What the tool families answered through the helper bridge share: the pieces of their input
// schemas, and handlers that hand a call to the helper at once or only once it is confirmed.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "bridges/HelperProxy.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::HelperTools {

// {"type": type, "description": description}.
nlohmann::json property(std::string_view type, std::string_view description);
// A property holding an array of strings.
nlohmann::json stringList(std::string_view description);
// An object schema with these properties and the names in `required`.
nlohmann::json schema(nlohmann::json properties, nlohmann::json required);

// The helper's service reads the arguments, applies the defaults and answers; the tool only
// names the method.
ToolHandler forwardTo(HelperProxy& helper, std::string method);

// A write runs only when the caller repeats it with confirm: true; until then the caller gets
// `preview`'s text and nothing reaches the service.
using Preview = std::function<std::string(const Params::Arguments&)>;
ToolHandler confirmedForward(HelperProxy& helper, std::string method, Preview preview);

}  // namespace tvrn::HelperTools
