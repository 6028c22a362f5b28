// JSON text written straight from a value, for the replies sent on every call: the same bytes
// nlohmann::json's dump writes (strings escaped as it escapes them, non-ASCII text left as it
// is), without its byte-by-byte escaping. What this path does not cover (text that is not UTF-8,
// binary values) is left to nlohmann, so the text is always the one it would write.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tvrn::JSONText {

// Appends the text as a JSON string, quotes included. False, appending nothing, when the text
// is not valid UTF-8.
bool appendString(std::string& out, std::string_view text);
void appendInteger(std::string& out, std::int64_t value);
void appendInteger(std::string& out, std::uint64_t value);
// As nlohmann writes a double: the shortest form that reads back the same, null when not finite.
void appendDouble(std::string& out, double value);

// value.dump(indent) for indent >= 0, compact for -1; nothing when the value holds text that is
// not UTF-8 or a binary value.
std::optional<std::string> dump(const nlohmann::json& value, int indent = -1);

}  // namespace tvrn::JSONText
