#include "bridges/JXARunner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>

#include "base/Utf8.h"
#include "bridges/CoProcessSupport.h"
#include "bridges/JXAScript.h"
#include "bridges/ScriptText.h"
#include "bridges/TCCMessages.h"
#include "platform/ScriptHost.h"

namespace tvrn {
namespace {

constexpr std::size_t kParseErrorExcerpt = 200;

// The float as an int when converting it to a signed 64-bit integer and back loses nothing.
std::optional<std::int64_t> integralValue(double value) {
  // 2^63 is exactly representable; anything from it upwards (or NaN) has no int64 form.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(value >= -kLimit && value < kLimit)) return std::nullopt;
  const auto integer = static_cast<std::int64_t>(value);
  if (static_cast<double>(integer) != value) return std::nullopt;
  return integer;
}

}  // namespace

JXAError JXAError::scriptError(std::string message) {
  return JXAError(Case::scriptError, std::move(message));
}

JXAError JXAError::jsonParseError(std::string_view output) {
  return JXAError(Case::jsonParseError, Utf8::firstCharacters(output, kParseErrorExcerpt));
}

JXAError JXAError::permissionDenied(std::string target) {
  return JXAError(Case::permissionDenied, std::move(target));
}

JXAError JXAError::timeout() { return JXAError(Case::timeout, {}); }

std::string JXAError::permissionDeniedMessage(std::string_view application) {
  return TCCMessages::automationDenied(application);
}

std::string JXAError::description() const {
  switch (case_) {
    case Case::scriptError:
      return payload_;
    case Case::jsonParseError:
      return "JXA JSON parse error: " + payload_;
    case Case::permissionDenied:
      return permissionDeniedMessage(payload_);
    case Case::timeout:
      return "JXA script timed out";
  }
  return payload_;
}

bool looksLikeTCCDenial(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (std::string_view phrase :
       {"not allowed", "access denied", "no approval received", "not authorized"}) {
    if (lowered.find(phrase) != std::string::npos) return true;
  }
  return false;
}

JSONValue anyToJSONValue(const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null:
      return JSONValue();
    case Type::boolean:
      return JSONValue(value.get<bool>());
    case Type::number_integer:
      return JSONValue(value.get<std::int64_t>());
    case Type::number_unsigned: {
      const auto unsignedValue = value.get<std::uint64_t>();
      if (unsignedValue <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return JSONValue(static_cast<std::int64_t>(unsignedValue));
      }
      return JSONValue(static_cast<double>(unsignedValue));
    }
    case Type::number_float: {
      const double floating = value.get<double>();
      if (auto integer = integralValue(floating)) return JSONValue(*integer);
      return JSONValue(floating);
    }
    case Type::string:
      return JSONValue(value.get_ref<const std::string&>());
    case Type::array: {
      JSONValue::Array elements;
      elements.reserve(value.size());
      for (const auto& element : value) elements.push_back(anyToJSONValue(element));
      return JSONValue(std::move(elements));
    }
    case Type::object: {
      JSONValue::Object members;
      for (const auto& [name, member] : value.items())
        members.emplace(name, anyToJSONValue(member));
      return JSONValue(std::move(members));
    }
    case Type::binary:
    case Type::discarded:
      break;
  }
  // Anything JSON has no case for is kept as its text.
  return JSONValue(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

bool typeAsJSONValue(nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::number_float: {
      const double floating = value.get<double>();
      if (!std::isfinite(floating)) return false;
      if (const auto integer = integralValue(floating)) value = *integer;
      return true;
    }
    case Type::number_unsigned:
      if (value.get<std::uint64_t>() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        value = static_cast<double>(value.get<std::uint64_t>());
      }
      return true;
    case Type::array:
    case Type::object:
      return std::all_of(value.begin(), value.end(),
                         [](nlohmann::json& member) { return typeAsJSONValue(member); });
    case Type::binary:
    case Type::discarded:
      value = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return true;
    default:
      return true;
  }
}

bool JXARunning::canRun() const { return ScriptHost::isInstalled(); }

JXAResult JXARunner::run(std::string_view script) {
  auto output = execute(JXAScript::wrap(script));
  if (!output) return fail(output.error());
  return JXAScript::parseOutput(output.value());
}

ToolResult JXARunner::runAsJSONValue(std::string_view script) {
  auto output = execute(JXAScript::wrap(script));
  if (!output) {
    const JXAError& error = output.error();
    if (error.kind() == JXAError::Case::permissionDenied) {
      return fail(ToolError::permissionDenied(JXAError::permissionDeniedMessage(error.payload())));
    }
    return fail(ToolError::executionFailed(error.description()));
  }
  auto parsed = JXAScript::parseOutput(output.value());
  if (!parsed) return fail(ToolError::executionFailed(parsed.error().description()));
  return JXAScript::toToolResult(parsed.value(), script);
}

Result<std::string, JXAError> JXARunner::execute(std::string_view wrappedScript) const {
  const CompletedProcess done =
      ScriptHost::run(ScriptHost::ScriptLanguage::javaScript, wrappedScript,
                      CoProcessSupport::waitOf(timeoutSeconds_));
  if (!done.launched)
    return fail(JXAError::scriptError("Cannot launch osascript: " + done.launchError));
  if (done.timedOut) return fail(JXAError::timeout());

  std::string output = ScriptText::decodeTrimmed(done.standardOutput);
  const std::string errorText = ScriptText::decodeTrimmed(done.standardError);
  if (done.exit.status != 0 || done.exit.signalled) {
    std::string message = errorText.empty() ? output : errorText;
    if (looksLikeTCCDenial(message)) {
      return fail(JXAError::permissionDenied(JXAScript::targetApplication(wrappedScript)));
    }
    if (message.empty()) {
      message = "osascript exited with code " + std::to_string(done.exit.status);
    }
    return fail(JXAError::scriptError(std::move(message)));
  }
  // An Automation refusal can end the script silently, with nothing printed.
  if (output.empty()) {
    return fail(JXAError::permissionDenied(JXAScript::targetApplication(wrappedScript)));
  }
  return output;
}

}  // namespace tvrn
