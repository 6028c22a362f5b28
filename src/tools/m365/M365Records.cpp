#include "tools/m365/M365Records.h"

#include <algorithm>

#include "base/PercentEncoding.h"
#include "base/Strings.h"
#include "base/Utf8.h"
#include "core/ToolResponse.h"

namespace tvrn::M365Tools {

using nlohmann::json;

std::optional<std::string> textOf(const json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::string textOr(const json& object, const char* key, std::string_view fallback) {
  return textOf(object, key).value_or(std::string(fallback));
}

const json& objectAt(const json& object, const char* key) {
  static const json empty = json::object();
  if (!object.is_object()) return empty;
  const auto found = object.find(key);
  return found != object.end() && found->is_object() ? *found : empty;
}

const json& arrayAt(const json& object, const char* key) {
  static const json empty = json::array();
  if (!object.is_object()) return empty;
  const auto found = object.find(key);
  return found != object.end() && found->is_array() ? *found : empty;
}

std::string shortMoment(std::string_view moment, std::size_t count) {
  std::string text = Utf8::firstCharacters(moment, count);
  std::replace(text.begin(), text.end(), 'T', ' ');
  return text;
}

std::optional<std::vector<json>> collection(const std::string& body) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  const auto value = parsed.find("value");
  if (value == parsed.end() || !value->is_array()) return std::nullopt;
  std::vector<json> items;
  for (const auto& item : *value) {
    if (!item.is_object()) return std::nullopt;
    items.push_back(item);
  }
  return items;
}

ToolError failure(std::string_view text) { return ToolError::executionFailed(std::string(text)); }

std::string jsonText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

ToolResult listing(const GraphBody& answer, std::string_view malformed, std::string_view none,
                   const std::function<std::string(std::size_t)>& heading,
                   const std::function<std::string(const json&)>& block) {
  if (!answer) return fail(answer.error());
  const auto items = collection(answer.value());
  if (!items) return fail(failure(malformed));
  if (items->empty()) return ToolResponse::text(none);
  std::vector<std::string> blocks;
  for (const auto& item : *items) blocks.push_back(block(item));
  return ToolResponse::text(heading(items->size()) + Strings::joined(blocks, "\n\n"));
}

std::int64_t boundedInt(std::string_view name, const Params::Arguments& arguments,
                        std::int64_t fallback, std::int64_t most) {
  return std::min(Params::optionalInt(name, arguments, fallback), most);
}

bool isTrue(std::string_view name, const Params::Arguments& arguments) {
  if (!arguments) return false;
  const JSONValue* value = (*arguments)[name];
  return value != nullptr && value->asBool() == true;
}

std::vector<std::string> addressList(std::string_view text) {
  std::vector<std::string> addresses;
  for (;;) {
    const auto comma = text.find(',');
    std::string_view piece = text.substr(0, comma);
    const auto first = piece.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
      piece = piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
      addresses.emplace_back(piece);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return addresses;
}

std::string quotedSearch(std::string_view field, std::string_view query) {
  std::string escaped;
  for (const char ch : query) {
    if (ch == '\\' || ch == '"') escaped += '\\';
    escaped += ch;
  }
  return "%22" + std::string(field) + PercentEncoding::queryValue(escaped) + "%22";
}

}  // namespace tvrn::M365Tools
