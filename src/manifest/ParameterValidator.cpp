#include "manifest/ParameterValidator.h"

#include <string>
#include <string_view>

#include "base/Utf8.h"
#include "manifest/ManifestRunnerTexts.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;
using Converted = Result<nlohmann::json, ToolError>;

bool isTrueText(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text == "true" || text == "1";
}

// A comma-separated list: empty pieces dropped, then each piece trimmed of spaces and tabs, so a
// piece of only blanks stays as an empty string.
nlohmann::json splitList(std::string_view text) {
  nlohmann::json pieces = nlohmann::json::array();
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view piece = text.substr(start, end - start);
    if (!piece.empty()) {
      const std::size_t first = piece.find_first_not_of(" \t");
      piece = first == std::string_view::npos
                  ? std::string_view()
                  : piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
      pieces.push_back(std::string(piece));
    }
    start = end + 1;
  }
  return pieces;
}

nlohmann::json defaultValue(const ParamSpec& spec, const std::string& text) {
  switch (spec.type) {
    case ParamType::integer:
      return parseManifestInt(text).value_or(0);
    case ParamType::boolean:
      return isTrueText(text);
    default:
      return text;
  }
}

Converted invalid(const ParamSpec& spec, std::string expected) {
  return fail(ToolError::invalidParam(spec.name, std::move(expected)));
}

Converted convertText(const ParamSpec& spec, const JSONValue& value) {
  auto text = value.asString();
  if (!text) {
    return invalid(spec, std::string(spec.type == ParamType::email ? Texts::kExpectEmail
                                                                   : Texts::kExpectString));
  }
  if (spec.maxLength && static_cast<std::int64_t>(Utf8::characterCount(*text)) > *spec.maxLength) {
    return invalid(spec, Texts::expectMaxLength(*spec.maxLength));
  }
  return nlohmann::json(std::move(*text));
}

Converted convertInteger(const ParamSpec& spec, const JSONValue& value) {
  std::optional<std::int64_t> number = value.asInt();
  if (auto text = value.asString()) number = parseManifestInt(*text);
  if (!number) return invalid(spec, std::string(Texts::kExpectInteger));
  if (spec.min && *number < *spec.min) return invalid(spec, Texts::expectAtLeast(*spec.min));
  if (spec.max && *number > *spec.max) return invalid(spec, Texts::expectAtMost(*spec.max));
  return nlohmann::json(*number);
}

Converted convertBoolean(const ParamSpec& spec, const JSONValue& value) {
  if (auto flag = value.asBool()) return nlohmann::json(*flag);
  if (auto number = value.asInt()) return nlohmann::json(*number != 0);
  if (auto text = value.asString()) return nlohmann::json(isTrueText(*text));
  return invalid(spec, std::string(Texts::kExpectBoolean));
}

Converted convertArray(const ParamSpec& spec, const JSONValue& value) {
  if (value.asArray() != nullptr) return value.rawValue();
  if (auto text = value.asString()) return splitList(*text);
  return invalid(spec, std::string(Texts::kExpectArray));
}

Converted convert(const ParamSpec& spec, const JSONValue& value) {
  switch (spec.type) {
    case ParamType::string:
    case ParamType::email:
      return convertText(spec, value);
    case ParamType::integer:
      return convertInteger(spec, value);
    case ParamType::boolean:
      return convertBoolean(spec, value);
    case ParamType::array:
      return convertArray(spec, value);
  }
  return invalid(spec, std::string(Texts::kExpectString));
}

}  // namespace

Result<nlohmann::json, ToolError> ParameterValidator::validate(
    const std::optional<JSONValue>& raw, const std::vector<ParamSpec>& params) {
  const JSONValue::Object* arguments = raw ? raw->asObject() : nullptr;
  nlohmann::json result = nlohmann::json::object();
  for (const ParamSpec& spec : params) {
    const JSONValue* value = nullptr;
    if (arguments != nullptr) {
      auto found = arguments->find(spec.name);
      if (found != arguments->end() && found->second.kind() != JSONValue::Kind::nullValue) {
        value = &found->second;
      }
    }
    if (value == nullptr) {
      if (spec.required) return fail(ToolError::missingParam(spec.name));
      if (spec.defaultValue) result[spec.name] = defaultValue(spec, *spec.defaultValue);
      continue;
    }
    Converted converted = convert(spec, *value);
    if (!converted.ok()) return converted;
    result[spec.name] = std::move(converted.value());
  }
  if (arguments != nullptr) {
    for (const auto& [name, value] : *arguments) {
      if (!result.contains(name)) result[name] = value.rawValue();
    }
  }
  return result;
}

}  // namespace tvrn
