// How the personal-data services read a request's arguments: a value counts only when it has the
// expected JSON type, otherwise it is absent.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvrn::LocalData {

// The text as sent (never trimmed), when `key` holds a string.
std::optional<std::string> stringArg(const nlohmann::json& args, std::string_view key);
// The text, or the empty text when absent.
std::string stringArgOrEmpty(const nlohmann::json& args, std::string_view key);
std::optional<bool> boolArg(const nlohmann::json& args, std::string_view key);
// Only a JSON integer counts (not a boolean, a fraction or a numeric text).
std::optional<std::int64_t> intArg(const nlohmann::json& args, std::string_view key);
// An array whose every element is a string; any other value, or any other element, is absent.
std::optional<std::vector<std::string>> stringListArg(const nlohmann::json& args,
                                                      std::string_view key);
// "confirm" given as the boolean true; the text "true" is no confirmation.
bool confirmed(const nlohmann::json& args);

}  // namespace tvrn::LocalData
