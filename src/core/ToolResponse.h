// Builders of MCP tool results: an object whose "content" list holds one text block, and for a
// failure the "isError" flag beside it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/JSONValue.h"

namespace tvrn::ToolResponse {

// {"content": [{"type": "text", "text": s}]}
JSONValue text(std::string_view s);

// The value as pretty-printed JSON text. A value that cannot be written so (not an object or
// array, a number that is not finite, text that is not valid UTF-8) is never passed off as an
// empty answer: the result is an error() that names why.
JSONValue json(const JSONValue& value);

// The same for a tree already in nlohmann's form (a reader that builds a large one directly).
JSONValue printed(const nlohmann::json& value);
// The result of text that is already such a value, printed so: text() without copying it.
JSONValue printedText(std::string text);

// A failed call as a result: "Error: " followed by the message, flagged "isError": true so a
// client tells it from an answer without reading the text. Every failure a client receives as a
// tool result is built here.
JSONValue error(std::string_view message);

// The result with one more text block after its own, for a note on how it was made; a result
// without a "content" list is left as it is.
JSONValue withNote(JSONValue result, std::string_view note);

// A failure a tool answers in its own words (a text or JSON result): flagged "isError": true
// like any other, its text left exactly as it is.
JSONValue failure(JSONValue result);

// The bytes of a result's text blocks, before escaping: about what its reply takes.
std::size_t textBytes(const JSONValue& result);

// A value of any kind as text: an object or array as json() writes it, a string as itself, any
// other value (a number, true, false, null) as its JSON text.
JSONValue answer(const JSONValue& value);

}  // namespace tvrn::ToolResponse
