// What the Microsoft 365 handlers share in reading Graph's answers and their own arguments, and in
// putting argument text into Graph addresses without letting it change the address's shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Params.h"
#include "core/ToolDefinition.h"
#include "tools/m365/M365Graph.h"

namespace tvrn::M365Tools {

// The member when it is text; absent or of another type gives nothing.
std::optional<std::string> textOf(const nlohmann::json& object, const char* key);
std::string textOr(const nlohmann::json& object, const char* key, std::string_view fallback = "");
// The member when it is an object (an array), else an empty one.
const nlohmann::json& objectAt(const nlohmann::json& object, const char* key);
const nlohmann::json& arrayAt(const nlohmann::json& object, const char* key);

// The first `count` characters of an ISO 8601 moment with the "T" as a blank: 2025-03-04 09:15.
std::string shortMoment(std::string_view moment, std::size_t count);

// The objects of a Graph collection answer ({"value": [...]}), or nothing when it is not one.
std::optional<std::vector<nlohmann::json>> collection(const std::string& body);

ToolError failure(std::string_view text);

// A request body; text that is not UTF-8 is replaced rather than failing the call.
std::string jsonText(const nlohmann::json& value);

// The result of a GET of a collection: the request's failure, `malformed` when the answer is not
// a collection, `none` when it is empty, else the heading for the count and one block per item
// in Graph's order, separated by blank lines.
ToolResult listing(const GraphBody& answer, std::string_view malformed, std::string_view none,
                   const std::function<std::string(std::size_t)>& heading,
                   const std::function<std::string(const nlohmann::json&)>& block);

// An integer argument with its default, lowered to `most`; small and negative values stay.
std::int64_t boundedInt(std::string_view name, const Params::Arguments& arguments,
                        std::int64_t fallback, std::int64_t most);
// True only for the JSON boolean true: a text "true" or a 1 does not send or delete anything.
bool isTrue(std::string_view name, const Params::Arguments& arguments);

// The addresses of a comma-separated list, each trimmed of blanks and tabs, empty ones dropped.
std::vector<std::string> addressList(std::string_view text);

// A $search value: our own `field` prefix and the query inside double quotes, the query's
// backslashes and quotes escaped and all of it percent-encoded, so "&", "=" and "+" cannot split
// the address's query nor a quote end the phrase.
std::string quotedSearch(std::string_view field, std::string_view query);

}  // namespace tvrn::M365Tools
