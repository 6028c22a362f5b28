#include "core/ToolResponse.h"

#include <cmath>
#include <string>
#include <utility>

#include "core/JSONText.h"

namespace tvrn::ToolResponse {
namespace {

bool allNumbersFinite(const JSONValue& value) {
  if (const auto* number = std::get_if<double>(&value.storage())) return std::isfinite(*number);
  if (const auto* array = value.asArray()) {
    for (const auto& element : *array) {
      if (!allNumbersFinite(element)) return false;
    }
  }
  if (const auto* object = value.asObject()) {
    for (const auto& [key, member] : *object) {
      if (!allNumbersFinite(member)) return false;
    }
  }
  return true;
}

// Built member by member: an initializer list is copied from, so each level would copy the text
// once more, and a reply of megabytes would be held three times over.
JSONValue::Object textBlock(std::string s) {
  JSONValue::Object block;
  block.emplace("type", "text");
  block.emplace("text", std::move(s));
  return block;
}

JSONValue::Object textResult(std::string s) {
  JSONValue::Array content;
  content.emplace_back(textBlock(std::move(s)));
  JSONValue::Object result;
  result.emplace("content", std::move(content));
  return result;
}

// A result that cannot be sent as it is, as an error rather than an empty answer.
JSONValue unencodable(std::string_view why) {
  return error("the result could not be encoded: " + std::string(why));
}

}  // namespace

JSONValue text(std::string_view s) { return JSONValue(textResult(std::string(s))); }

JSONValue json(const JSONValue& value) {
  if (value.asArray() == nullptr && value.asObject() == nullptr) {
    return unencodable("it is not an object or array");
  }
  if (!allNumbersFinite(value)) return unencodable("it holds a number that is not finite");
  return printed(value.rawValue());
}

JSONValue printed(const nlohmann::json& value) {
  if (auto printed = JSONText::dump(value, 2)) return JSONValue(textResult(std::move(*printed)));
  try {
    return text(value.dump(2));
  } catch (const nlohmann::json::exception&) {
    return unencodable("it holds text that is not valid UTF-8");
  }
}

JSONValue printedText(std::string text) { return JSONValue(textResult(std::move(text))); }

JSONValue error(std::string_view message) {
  JSONValue::Object result = textResult("Error: " + std::string(message));
  result.emplace("isError", JSONValue(true));
  return JSONValue(std::move(result));
}

JSONValue withNote(JSONValue result, std::string_view note) {
  const JSONValue* content = result.asObject() ? result["content"] : nullptr;
  if (content == nullptr || content->asArray() == nullptr) return result;
  auto object = std::get<JSONValue::Object>(std::move(result).storage());
  auto& slot = object.find("content")->second;
  auto blocks = std::get<JSONValue::Array>(std::move(slot).storage());
  blocks.emplace_back(textBlock(std::string(note)));
  slot = JSONValue(std::move(blocks));
  return JSONValue(std::move(object));
}

JSONValue failure(JSONValue result) {
  if (result.asObject() == nullptr) return result;
  auto flagged = std::get<JSONValue::Object>(std::move(result).storage());
  flagged.insert_or_assign("isError", JSONValue(true));
  return JSONValue(std::move(flagged));
}

std::size_t textBytes(const JSONValue& result) {
  const JSONValue* content = result["content"];
  const JSONValue::Array* blocks = content != nullptr ? content->asArray() : nullptr;
  if (blocks == nullptr) return 0;
  std::size_t bytes = 0;
  for (const auto& block : *blocks) {
    const JSONValue* text = block["text"];
    if (text == nullptr) continue;
    if (const auto* string = std::get_if<std::string>(&text->storage())) bytes += string->size();
  }
  return bytes;
}

JSONValue answer(const JSONValue& value) {
  if (value.asArray() != nullptr || value.asObject() != nullptr) return json(value);
  if (const auto string = value.asString()) return text(*string);
  return text(value.rawValue().dump());
}

}  // namespace tvrn::ToolResponse
