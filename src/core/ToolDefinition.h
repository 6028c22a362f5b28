// The vocabulary every tool is written in: its effect class, its definition with the handler that
// runs it, and the errors a handler fails with.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Result.h"
#include "core/JSONValue.h"
#include "core/RawValue.h"

namespace tvrn {

// What a tool does to the user's data; only readOnly tools run in read-only mode.
enum class ToolKind { readOnly, write, destructive, send };

std::string_view toRaw(ToolKind kind);
template <>
std::optional<ToolKind> fromRaw<ToolKind>(std::string_view raw);

// A handler's failure. The text a client sees is description().
class ToolError {
 public:
  enum class Case {
    missingParam,
    invalidParam,
    executionFailed,
    permissionDenied,
    notFound,
    resourceNotFound
  };

  static ToolError missingParam(std::string name);
  static ToolError invalidParam(std::string name, std::string expected);
  static ToolError executionFailed(std::string message);
  static ToolError permissionDenied(std::string message);
  static ToolError notFound(std::string what);
  static ToolError resourceNotFound(std::string what);

  Case kind() const { return case_; }
  // The payload: the parameter name, message or missing thing.
  const std::string& payload() const { return payload_; }
  // invalidParam's expected text; empty for the other cases.
  const std::string& expected() const { return expected_; }
  std::string description() const;

  bool operator==(const ToolError&) const = default;

 private:
  ToolError(Case kind, std::string payload, std::string expected = {})
      : case_(kind), payload_(std::move(payload)), expected_(std::move(expected)) {}

  Case case_;
  std::string payload_;
  std::string expected_;
};

using ToolResult = Result<JSONValue, ToolError>;
using ToolHandler = std::function<ToolResult(const std::optional<JSONValue>& arguments)>;

struct ToolDefinition {
  std::string name;
  std::string description;
  // A JSON-Schema object of plain values.
  nlohmann::json inputSchema;
  ToolKind kind = ToolKind::readOnly;
  ToolHandler handler;
  // The word of the disabled-services setting that turns this tool off; empty for none.
  // Defaulted, so a family that sets it through ToolRegistry::ServiceScope may leave it out.
  std::string service = {};
  // Listed only until the first tool call has been recorded, and never counted as a call
  // itself: the tool that greets a new user.
  bool introductory = false;
};

}  // namespace tvrn
