// Builders of MCP tool results: an object whose "content" list holds one text block.
#pragma once

#include <string_view>

#include "core/JSONValue.h"

namespace tvrn::ToolResponse {

// {"content": [{"type": "text", "text": s}]}
JSONValue text(std::string_view s);

// The value as pretty-printed JSON text; "{}" when it is not an object or array, holds a number
// that is not finite, or holds text that is not valid UTF-8.
JSONValue json(const JSONValue& value);

// A failed call as a result: "Error: " followed by the message.
JSONValue error(std::string_view message);

}  // namespace tvrn::ToolResponse
