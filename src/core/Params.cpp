#include "core/Params.h"

#include <algorithm>
#include <cctype>

namespace tvrn::Params {
namespace {

const JSONValue* member(std::string_view name, const Arguments& arguments) {
  return arguments ? (*arguments)[name] : nullptr;
}

std::optional<std::string> stringMember(std::string_view name, const Arguments& arguments) {
  const JSONValue* value = member(name, arguments);
  return value ? value->asString() : std::nullopt;
}

}  // namespace

size_t spaceLengthAt(std::string_view text, size_t at) {
  static const std::string_view kSpaces[] = {
      "\t", " ", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005",
      "\u2006", "\u2007", "\u2008", "\u2009", "\u200A", "\u202F", "\u205F", "\u3000"};
  for (std::string_view space : kSpaces) {
    if (text.substr(at, space.size()) == space) return space.size();
  }
  return 0;
}

bool isBlank(std::string_view text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t length = spaceLengthAt(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::optional<ToolError> pathWithControlCharacter(const Arguments& arguments,
                                                  const std::vector<std::string>& paths) {
  for (std::string_view name : paths) {
    const std::optional<std::string> value = stringMember(name, arguments);
    // Blank is the readers' own refusal ("non-empty string"), tabs and all.
    if (!value || isBlank(*value)) continue;
    for (std::size_t at = 0; at < value->size(); ++at) {
      const auto byte = static_cast<unsigned char>((*value)[at]);
      // U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
      const auto next = at + 1 < value->size() ? static_cast<unsigned char>((*value)[at + 1]) : 0;
      const bool c1 = byte == 0xC2 && next >= 0x80 && next <= 0x9F;
      if (byte < 0x20 || byte == 0x7F || c1) {
        return ToolError::invalidParam(std::string(name), "a path without control characters");
      }
    }
  }
  return std::nullopt;
}

Result<std::string, ToolError> require(std::string_view name, const Arguments& arguments) {
  std::optional<std::string> value = stringMember(name, arguments);
  if (!value) return fail(ToolError::missingParam(std::string(name)));
  if (isBlank(*value)) return fail(ToolError::invalidParam(std::string(name), "non-empty string"));
  return *value;
}

std::string optional(std::string_view name, const Arguments& arguments,
                     std::string_view fallback) {
  return stringMember(name, arguments).value_or(std::string(fallback));
}

bool optionalBool(std::string_view name, const Arguments& arguments, bool fallback) {
  const JSONValue* value = member(name, arguments);
  if (value == nullptr) return fallback;
  if (auto flag = value->asBool()) return *flag;
  if (auto number = value->asInt()) return *number != 0;
  if (auto text = value->asString()) {
    std::string lower = *text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "true" || *text == "1";
  }
  return fallback;
}

std::int64_t optionalInt(std::string_view name, const Arguments& arguments,
                         std::int64_t fallback) {
  const JSONValue* value = member(name, arguments);
  return value ? value->asInt().value_or(fallback) : fallback;
}

Result<std::pair<std::string, std::string>, ToolError> requireOneOf(
    const std::vector<std::string>& names, const Arguments& arguments) {
  for (const auto& name : names) {
    std::optional<std::string> value = stringMember(name, arguments);
    if (value && !value->empty()) return std::make_pair(name, *value);
  }
  std::string joined;
  for (size_t i = 0; i < names.size(); ++i) joined += (i == 0 ? "" : " or ") + names[i];
  return fail(ToolError::missingParam(joined));
}

ToolResult withRequired(std::string_view name, const Arguments& arguments,
                        const std::function<ToolResult(const std::string&)>& body) {
  auto value = require(name, arguments);
  if (!value) return fail(value.error());
  return body(value.value());
}

ToolResult withRequired2(
    std::string_view first, std::string_view second, const Arguments& arguments,
    const std::function<ToolResult(const std::string&, const std::string&)>& body) {
  return withRequired(first, arguments, [&](const std::string& a) {
    return withRequired(second, arguments, [&](const std::string& b) { return body(a, b); });
  });
}

ToolResult withRequired3(
    std::string_view first, std::string_view second, std::string_view third,
    const Arguments& arguments,
    const std::function<ToolResult(const std::string&, const std::string&, const std::string&)>&
        body) {
  return withRequired2(first, second, arguments, [&](const std::string& a, const std::string& b) {
    return withRequired(third, arguments, [&](const std::string& c) { return body(a, b, c); });
  });
}

}  // namespace tvrn::Params
