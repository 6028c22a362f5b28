// What both script runners do around a run: wrapping the caller's script so its value comes back
// as JSON text, naming the application it addresses, and reading the value it gave back.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "bridges/JXARunner.h"
#include "core/ToolDefinition.h"

namespace tvrn::JXAScript {

// The script as the body of an inner function whose value comes back as JSON text, and whose
// exceptions come back as {"__error__": text}.
std::string wrap(std::string_view script);

// The application the script first addresses as Application('Name') (either quote, at either
// end), or "the target app" when it addresses none that way.
std::string targetApplication(std::string_view script);

// The output as a JSON object or array; anything else (a bare string or number, text that is not
// JSON, nesting past JSONValue::maxDepth) is a jsonParseError with the output's beginning.
JXAResult parseOutput(std::string_view output);

// A parsed script value as a tool's result: an "__error__" text becomes the Automation-permission
// error for the application `script` addresses when it reads as a denial, else "JXA: " + text.
ToolResult toToolResult(const nlohmann::json& value, std::string_view script);

}  // namespace tvrn::JXAScript
