// JSON-RPC 2.0 between the line transport and the session: requests are only ever parsed from
// a received line, replies are only ever built, already serialised, by JSONRPCResponse.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Result.h"
#include "core/JSONValue.h"
#include "core/MCPTransport.h"

namespace tvrn {

// A request id: a string or a 64-bit integer. A string id never equals an integer id, even when
// its text spells the number.
class JSONRPCID {
 public:
  enum class Kind { stringValue, intValue };

  JSONRPCID(std::string value) : value_(std::move(value)) {}
  JSONRPCID(std::int64_t value) : value_(value) {}

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  std::optional<std::string> asString() const;
  std::optional<std::int64_t> asInt() const;
  // The payload itself, as a JSON string or number.
  nlohmann::json rawValue() const;

  bool operator==(const JSONRPCID&) const = default;

 private:
  std::variant<std::string, std::int64_t> value_;
};

struct JSONRPCRequest {
  std::string jsonrpc;          // never examined; any string is accepted
  std::optional<JSONRPCID> id;  // absent (missing or null) for a notification, which gets no reply
  std::string method;
  std::optional<JSONValue> params;  // absent when missing or null
};

namespace JSONRPCError {
inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
inline constexpr int internalError = -32603;
}  // namespace JSONRPCError

// Each builder returns one compact JSON object without a line end, its members in the order
// "jsonrpc", then "id" or "method", then "result", "error" or "params". Invalid UTF-8 in any text
// becomes U+FFFD, so every reply is one valid JSON line.
namespace JSONRPCResponse {

// `expected`: about how many bytes the result's text takes, so the reply is made at its size
// rather than copied as it grows.
std::string result(const JSONRPCID& id, const JSONValue& result, std::size_t expected = 0);
// The same with the result already written as compact JSON text.
std::string encodedResult(const JSONRPCID& id, std::string_view result);
// "id" is always present: null when the id is absent. The error holds "code" and "message" only.
std::string error(const std::optional<JSONRPCID>& id, int code, std::string_view message);
std::string notification(std::string_view method, const JSONValue& params);

}  // namespace JSONRPCResponse

namespace RequestParser {

// One received message as a request. Anything malformed (not JSON, nested too deep, not an
// object, a missing or ill-typed member, an id that is neither string nor integer) is
// encodingFailed, which the session answers with "Parse error" and a null id.
Result<JSONRPCRequest, TransportError> parse(std::string_view bytes);

}  // namespace RequestParser

}  // namespace tvrn
