// Running JavaScript-for-Automation scripts: the interface tool families are handed, the failures
// every runner shares, and the plain runner that starts one script-host process per script.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "base/Result.h"
#include "core/JSONValue.h"
#include "core/Timeouts.h"
#include "core/ToolDefinition.h"

namespace tvrn {

// Why a script run failed.
class JXAError {
 public:
  enum class Case { scriptError, jsonParseError, permissionDenied, timeout };

  static JXAError scriptError(std::string message);
  // Keeps only the first 200 characters of the output.
  static JXAError jsonParseError(std::string_view output);
  // `target` is the application that refused to be controlled.
  static JXAError permissionDenied(std::string target);
  static JXAError timeout();

  // The Automation-permission text for an application.
  static std::string permissionDeniedMessage(std::string_view application);

  Case kind() const { return case_; }
  // The message, the output's beginning or the target; empty for timeout.
  const std::string& payload() const { return payload_; }
  std::string description() const;

  bool operator==(const JXAError&) const = default;

 private:
  JXAError(Case kind, std::string payload) : case_(kind), payload_(std::move(payload)) {}

  Case case_;
  std::string payload_;
};

// The parsed result of a script (an object or an array), or why there is none.
using JXAResult = Result<nlohmann::json, JXAError>;

// What a check or a section that needs scripts says, once, where none can run.
inline constexpr std::string_view kScriptsUnavailable = "not available on this system";

// How tool families run a script: `run` gives the script's value untouched (an object holding
// "__error__" included); `runAsJSONValue` gives a value ready for a tool result, or a tool error.
class JXARunning {
 public:
  virtual ~JXARunning() = default;

  virtual JXAResult run(std::string_view script) = 0;
  virtual ToolResult runAsJSONValue(std::string_view script) = 0;
  // Whether scripts can run here at all; by default, whether the script host is installed.
  virtual bool canRun() const;
};

// Whether an error text says the Automation permission was refused (case-insensitive).
bool looksLikeTCCDenial(std::string_view text);

// An untyped value as a JSONValue: a float with an integral value becomes an int, and every
// member is kept.
JSONValue anyToJSONValue(const nlohmann::json& value);
// Types an untyped value's numbers in place as anyToJSONValue types them (a whole float becomes an
// integer, an unsigned integer beyond int64 a float) and turns a value JSON has no case for into
// its text, so the value prints as its converted form would. False at a number that is not finite.
bool typeAsJSONValue(nlohmann::json& value);

// Each script in a new script-host process of its own; no state besides the time-out, so runs may
// overlap on different threads.
class JXARunner final : public JXARunning {
 public:
  explicit JXARunner(double timeoutSeconds = Timeouts::jxaDefault)
      : timeoutSeconds_(timeoutSeconds) {}

  double timeoutSeconds() const { return timeoutSeconds_; }

  JXAResult run(std::string_view script) override;
  ToolResult runAsJSONValue(std::string_view script) override;

 private:
  Result<std::string, JXAError> execute(std::string_view wrappedScript) const;

  const double timeoutSeconds_;
};

}  // namespace tvrn
