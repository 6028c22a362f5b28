// How the personal-data services read a request's arguments: a value counts only when it has the
// expected JSON type, otherwise it is absent.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
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

// The JSON type an argument that carries a change, or picks what is changed, must have.
enum class ArgType { string, integer, stringList };

struct TypedArg {
  std::string_view key;
  ArgType type;
};

// An argument given with another type than it must have, and that type as a schema names it
// ("string", "integer", "array of strings").
struct MistypedArg {
  std::string key;
  std::string expected;
};

// The first of `expected` that is given with another type. Absent and null are not given: clients
// send null for "not given". A change never goes ahead on a value it would otherwise have to read
// as absent, which would make the reply claim what did not happen.
std::optional<MistypedArg> mistypedArg(const nlohmann::json& args,
                                       std::span<const TypedArg> expected);

}  // namespace tvrn::LocalData
