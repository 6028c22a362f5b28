#include "core/JSONRPC.h"

#include <utility>

#include "core/JSONText.h"

namespace tvrn {
namespace {

// The envelope keeps its members in the order they are added.
using Envelope = nlohmann::ordered_json;

std::string serialise(const Envelope& message) {
  // Replacing invalid UTF-8 means serialising cannot fail, so no reply is ever lost.
  return message.dump(-1, ' ', false, Envelope::error_handler_t::replace);
}

Envelope untyped(const JSONValue& value) { return Envelope(value.rawValue()); }

// A member as the request reads it: absent when missing or null.
std::optional<JSONValue> present(std::optional<JSONValue>&& member) {
  if (member && member->kind() == JSONValue::Kind::nullValue) return std::nullopt;
  return std::move(member);
}

std::optional<std::string> stringMember(std::optional<JSONValue>&& member) {
  if (!member || member->kind() != JSONValue::Kind::stringValue) return std::nullopt;
  return std::get<std::string>(std::move(*member).storage());
}

// An id is an integer or a string; any other JSON type fails the whole request.
std::optional<JSONRPCID> idFrom(JSONValue&& value) {
  if (auto number = value.asInt()) return JSONRPCID(*number);
  if (value.kind() == JSONValue::Kind::stringValue) {
    return JSONRPCID(std::get<std::string>(std::move(value).storage()));
  }
  return std::nullopt;
}

// A reply's members up to its result: {"jsonrpc":"2.0","id":<id>,"result":
std::string resultOpening(const JSONRPCID& id, std::size_t expected = 0) {
  constexpr std::string_view kOpening = "{\"jsonrpc\":\"2.0\",\"id\":";
  std::string message;
  // Room for the id, the text with escapes of about one byte in four, and the line feed that
  // frames the reply.
  if (expected > 0) message.reserve(kOpening.size() + 64 + expected + expected / 4);
  message += kOpening;
  if (const auto number = id.asInt()) {
    JSONText::appendInteger(message, *number);
  } else if (!JSONText::appendString(message, *id.asString())) {
    message += serialise(Envelope(id.rawValue()));
  }
  message += ",\"result\":";
  return message;
}

}  // namespace

std::optional<std::string> JSONRPCID::asString() const {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return std::nullopt;
}

std::optional<std::int64_t> JSONRPCID::asInt() const {
  if (const auto* number = std::get_if<std::int64_t>(&value_)) return *number;
  return std::nullopt;
}

nlohmann::json JSONRPCID::rawValue() const {
  return std::visit([](const auto& payload) { return nlohmann::json(payload); }, value_);
}

namespace JSONRPCResponse {

std::string result(const JSONRPCID& id, const JSONValue& result, std::size_t expected) {
  std::string message = resultOpening(id, expected);
  result.encodeTo(message);
  message += '}';
  return message;
}

std::string encodedResult(const JSONRPCID& id, std::string_view result) {
  std::string message = resultOpening(id);
  message += result;
  message += '}';
  return message;
}

std::string error(const std::optional<JSONRPCID>& id, int code, std::string_view message) {
  Envelope reply;
  reply["jsonrpc"] = "2.0";
  reply["id"] = id ? Envelope(id->rawValue()) : Envelope(nullptr);
  reply["error"]["code"] = code;
  reply["error"]["message"] = message;
  return serialise(reply);
}

std::string notification(std::string_view method, const JSONValue& params) {
  Envelope message;
  message["jsonrpc"] = "2.0";
  message["method"] = method;
  message["params"] = untyped(params);
  return serialise(message);
}

}  // namespace JSONRPCResponse

namespace RequestParser {

Result<JSONRPCRequest, TransportError> parse(std::string_view bytes) {
  const auto malformed = fail(TransportError::encodingFailed);
  // Only these members are kept; the envelope object itself is never built.
  static constexpr std::string_view names[] = {"jsonrpc", "id", "method", "params"};
  std::optional<JSONValue> members[std::size(names)];
  if (!JSONValue::decodeMembers(bytes, names, members)) return malformed;
  auto& [jsonrpc, id, method, params] = members;

  JSONRPCRequest request;
  std::optional<std::string> version = stringMember(std::move(jsonrpc));
  if (!version) return malformed;
  request.jsonrpc = std::move(*version);
  if (std::optional<JSONValue> given = present(std::move(id))) {
    request.id = idFrom(std::move(*given));
    if (!request.id) return malformed;
  }
  std::optional<std::string> name = stringMember(std::move(method));
  if (!name) return malformed;
  request.method = std::move(*name);
  request.params = present(std::move(params));
  return request;
}

}  // namespace RequestParser

}  // namespace tvrn
