// Readers of a tool call's typed arguments, producing the standard "missing" and "invalid"
// errors. Every shape of bad input becomes a ToolError or the default, never a fault.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ToolDefinition.h"

namespace tvrn::Params {

using Arguments = std::optional<JSONValue>;

// The string as sent (untrimmed); missingParam when absent or not a string, invalidParam
// ("non-empty string") when blank.
Result<std::string, ToolError> require(std::string_view name, const Arguments& arguments);

// The string when present as a string (the empty string included), else the fallback.
std::string optional(std::string_view name, const Arguments& arguments, std::string_view fallback);

// bool as is; int true when non-zero; string true for "true" in any case or "1"; else fallback.
bool optionalBool(std::string_view name, const Arguments& arguments, bool fallback);

// An int value as is; anything else (a double, a numeric string) gives the fallback.
std::int64_t optionalInt(std::string_view name, const Arguments& arguments, std::int64_t fallback);

// The first of the names present as a non-empty string, with its value.
Result<std::pair<std::string, std::string>, ToolError> requireOneOf(
    const std::vector<std::string>& names, const Arguments& arguments);

// Reads required arguments by the rule of require, in order; the first failure is returned
// without running the body.
ToolResult withRequired(std::string_view name, const Arguments& arguments,
                        const std::function<ToolResult(const std::string&)>& body);
ToolResult withRequired2(
    std::string_view first, std::string_view second, const Arguments& arguments,
    const std::function<ToolResult(const std::string&, const std::string&)>& body);
ToolResult withRequired3(
    std::string_view first, std::string_view second, std::string_view third,
    const Arguments& arguments,
    const std::function<ToolResult(const std::string&, const std::string&, const std::string&)>&
        body);

// invalidParam naming the first of the `paths` arguments whose text holds a control character
// (U+0000 to U+001F, U+007F to U+009F): the system ends a name at a NUL, so "x\u0000.docx" would
// be the file "x", past every check made of the whole text. Nothing when each of them is clean.
std::optional<ToolError> pathWithControlCharacter(const Arguments& arguments,
                                                  const std::vector<std::string>& paths);

// The UTF-8 length of a space separator (Unicode Zs) or tab starting at `at`, or 0.
size_t spaceLengthAt(std::string_view text, size_t at);

// Blank: nothing left after trimming space separators and tabs (line breaks are not trimmed).
bool isBlank(std::string_view text);

}  // namespace tvrn::Params
