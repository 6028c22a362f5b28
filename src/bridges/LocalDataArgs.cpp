#include "bridges/LocalDataArgs.h"

namespace tvrn::LocalData {
namespace {

const nlohmann::json* member(const nlohmann::json& args, std::string_view key) {
  if (!args.is_object()) return nullptr;
  auto found = args.find(key);
  return found == args.end() ? nullptr : &*found;
}

}  // namespace

std::optional<std::string> stringArg(const nlohmann::json& args, std::string_view key) {
  const auto* value = member(args, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::string stringArgOrEmpty(const nlohmann::json& args, std::string_view key) {
  return stringArg(args, key).value_or(std::string());
}

std::optional<bool> boolArg(const nlohmann::json& args, std::string_view key) {
  const auto* value = member(args, key);
  if (value == nullptr || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<std::int64_t> intArg(const nlohmann::json& args, std::string_view key) {
  const auto* value = member(args, key);
  if (value == nullptr || !value->is_number_integer()) return std::nullopt;
  if (value->is_number_unsigned()) {
    const auto raw = value->get<std::uint64_t>();
    return raw > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(raw);
  }
  return value->get<std::int64_t>();
}

std::optional<std::vector<std::string>> stringListArg(const nlohmann::json& args,
                                                      std::string_view key) {
  const auto* value = member(args, key);
  if (value == nullptr || !value->is_array()) return std::nullopt;
  std::vector<std::string> list;
  for (const auto& element : *value) {
    if (!element.is_string()) return std::nullopt;
    list.push_back(element.get<std::string>());
  }
  return list;
}

bool confirmed(const nlohmann::json& args) { return boolArg(args, "confirm").value_or(false); }

std::optional<MistypedArg> mistypedArg(const nlohmann::json& args,
                                       std::span<const TypedArg> expected) {
  for (const auto& [key, type] : expected) {
    const auto* value = member(args, key);
    if (value == nullptr || value->is_null()) continue;
    switch (type) {
      case ArgType::string:
        if (!value->is_string()) return MistypedArg{std::string(key), "string"};
        break;
      case ArgType::integer:
        if (!value->is_number_integer()) return MistypedArg{std::string(key), "integer"};
        break;
      case ArgType::stringList:
        if (!stringListArg(args, key)) return MistypedArg{std::string(key), "array of strings"};
        break;
    }
  }
  return std::nullopt;
}

}  // namespace tvrn::LocalData
