#include "bridges/LocalDataArgs.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

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

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  if (part.empty()) return false;
  int status = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(part.data()), part.size(),
                    PCRE2_LITERAL | PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &status,
                    &offset, nullptr);
  if (code == nullptr) return false;
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  const bool found =
      match != nullptr && pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                                      0, 0, match, nullptr) >= 0;
  pcre2_match_data_free(match);
  pcre2_code_free(code);
  return found;
}

}  // namespace tvrn::LocalData
