// What the Slack, Teams and WhatsApp tools share in turning a call into their client's
// arguments and their client's answer into a tool result.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::MessagingToolSupport {

// Adds the string argument `name` to `args` when it is given and not empty.
void addIfGiven(nlohmann::json& args, const char* name, const Params::Arguments& arguments);

// The "limit" argument when it is an integer (passed on as it is, unbounded), else `fallback`.
std::int64_t limitOf(const Params::Arguments& arguments, std::int64_t fallback = 50);

// A client's answer as text: an object or array as pretty-printed JSON, a string as itself, any
// other value as its JSON text; a failure unchanged.
ToolResult asAnswer(ToolResult outcome);

}  // namespace tvrn::MessagingToolSupport
