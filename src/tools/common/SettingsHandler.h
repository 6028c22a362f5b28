// A tool handler that reads the settings its registry was given rather than the user's: families
// bind their handlers to `registry.context().settings` when they register them.
#pragma once

#include <utility>

#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn {

// `handler(settings, arguments)` as a tool handler; `settings` must outlive the tool.
template <typename Handler>
ToolHandler withSettings(const ConfigManager& settings, Handler handler) {
  return [&settings, handler = std::move(handler)](const Params::Arguments& arguments) {
    return handler(settings, arguments);
  };
}

}  // namespace tvrn
