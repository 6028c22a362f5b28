// Property lists, XML or binary, as untyped JSON: dictionaries become objects, arrays arrays,
// dates ISO 8601 UTC text, data Base64 text, integers and reals numbers, booleans booleans.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace tvrn::PlistReader {

// The list held in the bytes; nothing when they are neither an XML nor a binary property list.
std::optional<nlohmann::json> parse(std::string_view bytes);

// The list in the file; nothing when the file is missing, unreadable or not a property list.
std::optional<nlohmann::json> readFile(const std::filesystem::path& file);

}  // namespace tvrn::PlistReader
