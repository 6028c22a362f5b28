#include "bridges/HelperProxy.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "base/Utf8.h"
#include "bridges/CoProcessSupport.h"
#include "bridges/JXARunner.h"
#include "core/Logger.h"
#include "core/ToolResponse.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr std::string_view kCategory = "helper";
constexpr std::string_view kProgramName = "tavrin-helper";
constexpr std::size_t kStderrCharacters = 200;

// Whether the value has a JSON form: no number that is not finite, no text that is not UTF-8.
bool encodable(const json& value) {
  switch (value.type()) {
    case json::value_t::number_float:
      return std::isfinite(value.get<double>());
    case json::value_t::string:
      return Utf8::isValid(value.get_ref<const std::string&>());
    case json::value_t::array:
      return std::all_of(value.begin(), value.end(), [](const json& v) { return encodable(v); });
    case json::value_t::object:
      for (const auto& [key, member] : value.items()) {
        if (!Utf8::isValid(key) || !encodable(member)) return false;
      }
      return true;
    default:
      return true;
  }
}

// Compact JSON text, or nothing when a value has no JSON form (a number that is not finite, text
// that is not UTF-8).
std::optional<std::string> encodeCompact(const json& value) {
  if (!encodable(value)) return std::nullopt;
  return value.dump();
}

json requestFor(std::string_view method, const json& args) {
  return json{{"method", method}, {"args", args.is_object() ? args : json::object()}};
}

// A reply whose "error" is text is a failure; every other reply, whole, is the answer.
Result<json, ToolError> readReply(json reply) {
  if (!reply.is_object()) reply = json::object();
  const auto error = reply.find("error");
  if (error == reply.end() || !error->is_string()) return reply;
  const auto permission = reply.find("permission");
  const bool missingPermission =
      permission != reply.end() && permission->is_boolean() && permission->get<bool>();
  std::string message = error->get<std::string>();
  if (missingPermission) return fail(ToolError::permissionDenied(std::move(message)));
  return fail(ToolError::executionFailed(std::move(message)));
}

// The reply's "result" as ToolResponse::json writes anyToJSONValue of it, without building the
// typed tree and taking it apart again for a value it prints. A value it refuses goes through
// it, so the refusal reads the same.
ToolResult resultText(json result) {
  if (!result.is_structured() || !typeAsJSONValue(result)) {
    return ToolResponse::json(anyToJSONValue(result));
  }
  return ToolResponse::printed(result);
}

}  // namespace

std::filesystem::path HelperProxy::helperBinaryPath() {
  return CoProcessSupport::findProgram(kProgramName)
      .value_or(CoProcessSupport::programCandidates(kProgramName).front());
}

HelperProxy::HelperProxy(InProcessDispatch inProcess, double timeoutSeconds)
    : inProcess_(std::move(inProcess)), timeoutSeconds_(timeoutSeconds) {}

void HelperProxy::end() {
  std::lock_guard hold(mutex_);
  process_.reset();  // ends and reaps it
  lastStderr_.clear();
}

ToolResult HelperProxy::call(std::string_view method, const std::optional<JSONValue>& params) {
  const bool isObject = params.has_value() && params->asObject() != nullptr;
  return callRaw(method, isObject ? params->rawValue() : json::object());
}

ToolResult HelperProxy::callArgs(std::string_view method, const json& args) {
  return callRaw(method, args);
}

std::optional<json> HelperProxy::callDict(std::string_view method, const json& args,
                                          double timeout) {
  Reply reply = callRawData(method, args, timeout);
  if (!reply.ok()) return std::nullopt;
  if (const auto printed = reply.value().find("printed");
      printed != reply.value().end() && printed->is_string()) {
    auto result = JSONValue::parseUntyped(printed->get_ref<const std::string&>());
    if (!result || !result->is_object()) return std::nullopt;
    return result;
  }
  const auto result = reply.value().find("result");
  if (result == reply.value().end() || !result->is_object()) return std::nullopt;
  return *result;
}

ToolResult HelperProxy::callRaw(std::string_view method, const json& args) {
  Reply reply = callRawData(method, args, 0);
  if (!reply.ok()) return fail(reply.error());
  json& answer = reply.value();
  if (const auto text = answer.find("text"); text != answer.end() && text->is_string()) {
    return ToolResponse::text(text->get<std::string>());
  }
  if (const auto printed = answer.find("printed"); printed != answer.end() && printed->is_string()) {
    return ToolResponse::printedText(std::move(printed->get_ref<std::string&>()));
  }
  if (const auto result = answer.find("result"); result != answer.end()) {
    return resultText(std::move(*result));
  }
  return fail(ToolError::executionFailed("tavrin-helper: unexpected response format"));
}

HelperProxy::Reply HelperProxy::callRawData(std::string_view method, const json& args,
                                            double timeout) {
  if (inProcess_) {
    // Values in and out: nothing is written as text and read again inside the process.
    static const json kNoArgs = json::object();
    const json& given = args.is_object() ? args : kNoArgs;
    if (!encodable(given)) {
      return fail(ToolError::executionFailed("in-process helper: request encoding failed"));
    }
    return readReply(inProcess_(method, given));
  }
  std::lock_guard lock(mutex_);
  return exchangeLocked(requestFor(method, args), timeout);
}

HelperProxy::Reply HelperProxy::exchangeLocked(const json& request, double timeout) {
  if (!launchIfNeededLocked()) {
    std::string message = "tavrin-helper not available. The helper binary must be present at: " +
                          helperBinaryPath().string();
    if (!lastStderr_.empty()) message += "\nLast error: " + lastStderr_;
    return fail(ToolError::executionFailed(std::move(message)));
  }
  const auto line = encodeCompact(request);
  if (!line) return fail(ToolError::executionFailed("Cannot encode helper request"));

  const auto deadline =
      SubprocessClock::now() + CoProcessSupport::waitOf(timeout > 0 ? timeout : timeoutSeconds_);
  switch (process_->write(*line + "\n", deadline)) {
    case WriteStatus::written:
      break;
    case WriteStatus::timedOut:
      return disconnectedLocked(false);
    case WriteStatus::brokenPipe:  // the helper has gone: the same as a reply that never comes
    case WriteStatus::failed:
      return disconnectedLocked(true);
  }
  LineRead read = process_->readLine(deadline);
  if (read.status != LineStatus::line) {
    return disconnectedLocked(read.status != LineStatus::timedOut);
  }
  std::optional<json> reply = JSONValue::parseUntyped(read.text);
  if (!reply || !reply->is_object()) return invalidReplyLocked();
  return readReply(*std::move(reply));
}

bool HelperProxy::launchIfNeededLocked() {
  if (process_ && process_->isRunning()) return true;
  process_.reset();
  const auto path = helperBinaryPath();
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    lastStderr_ = "Binary not found at " + path.string();
    return false;
  }
  auto started = Subprocess::start(CoProcessSupport::spawnOf(path));
  if (!started.ok()) {
    lastStderr_ = "Launch failed: " + started.error();
    return false;
  }
  process_ = std::move(started).value();
  Logger::info(kCategory, "Co-process launched (PID " + std::to_string(process_->pid()) + ")");
  return true;
}

HelperProxy::Reply HelperProxy::disconnectedLocked(bool streamEnded) {
  // A helper that closed its streams is on its way out; give it a moment so its exit status and
  // last words are known.
  if (streamEnded) process_->waitForExit(SubprocessClock::now() + kTerminateGrace);
  captureStderrLocked();
  std::string reason = " (timeout)";
  if (!process_->isRunning()) {
    const auto exit = process_->exitStatus();
    reason = " (exit " + std::to_string(exit ? exit->status : 0) + ")";
  }
  process_.reset();  // ends and reaps it; the next call starts a new one
  return fail(ToolError::executionFailed("tavrin-helper crashed or disconnected" + reason +
                                         stderrSuffixLocked()));
}

HelperProxy::Reply HelperProxy::invalidReplyLocked() {
  captureStderrLocked();
  process_.reset();
  return fail(
      ToolError::executionFailed("tavrin-helper: invalid response JSON" + stderrSuffixLocked()));
}

void HelperProxy::captureStderrLocked() {
  if (!process_) return;
  std::string tail = CoProcessSupport::stderrTail(*process_, kStderrCharacters);
  if (tail.empty()) return;
  lastStderr_ = std::move(tail);
  Logger::warn(kCategory, "stderr: " + lastStderr_);
}

std::string HelperProxy::stderrSuffixLocked() const {
  return lastStderr_.empty() ? std::string() : " — " + lastStderr_;
}

}  // namespace tvrn
