#include "tools/messaging/CoProcessProxy.h"

#include <chrono>
#include <utility>

#include "bridges/CoProcessSupport.h"
#include "bridges/JXARunner.h"
#include "core/Logger.h"

namespace tvrn {
namespace {

using nlohmann::json;

constexpr std::size_t kStderrKept = 200;
// A co-process whose output ended is normally on its way out; this long is waited for its exit
// status, so the failure names it rather than a time-out.
constexpr std::chrono::milliseconds kExitGrace{250};

// Members in the order the co-processes document: "method" first, then "args".
std::optional<std::string> requestLine(std::string_view method, const json& args) {
  try {
    return "{\"method\":" + json(method).dump() + ",\"args\":" + args.dump() + "}\n";
  } catch (const json::type_error&) {
    return std::nullopt;  // text that is not UTF-8
  }
}

}  // namespace

CoProcessProxy::CoProcessProxy(const CoProcessProxyTexts& texts, double timeoutSeconds)
    : texts_(texts), timeoutSeconds_(timeoutSeconds) {}

ToolResult CoProcessProxy::call(std::string_view method, const json& args) {
  std::lock_guard hold(lock_);
  return exchange(method, args);
}

ToolResult CoProcessProxy::exchange(std::string_view method, const json& args) {
  Subprocess* process = launchIfNeeded();
  if (process == nullptr) {
    std::string message = texts_.notAvailable + proxyBinaryPath();
    if (!lastStderr_.empty()) message += "\nLast error: " + lastStderr_;
    return fail(ToolError::executionFailed(std::move(message)));
  }
  const auto line = requestLine(method, args.is_object() ? args : json::object());
  if (!line) return fail(ToolError::executionFailed(texts_.cannotEncode));

  // One deadline bounds the whole exchange, however the reply is split into writes.
  const auto deadline = SubprocessClock::now() + CoProcessSupport::waitOf(timeoutSeconds_);
  switch (process->write(*line, deadline)) {
    case WriteStatus::written:
      break;
    case WriteStatus::brokenPipe:
      return fail(dropAfterSilence(false));
    case WriteStatus::timedOut:
      return fail(dropAfterSilence(true));
    case WriteStatus::failed:
      return fail(ToolError::executionFailed(texts_.pipeError));
  }

  const LineRead reply = process->readLine(deadline);
  switch (reply.status) {
    case LineStatus::line:
      break;
    case LineStatus::endOfStream:
      return fail(dropAfterSilence(false));
    case LineStatus::timedOut:
      return fail(dropAfterSilence(true));
    case LineStatus::failed:
      return fail(dropAfterBadReply());
  }

  const json answer = json::parse(reply.text, nullptr, false);
  if (!answer.is_object()) return fail(dropAfterBadReply());
  if (const auto error = answer.find("error"); error != answer.end() && error->is_string()) {
    return fail(ToolError::executionFailed(texts_.errorPrefix + error->get<std::string>()));
  }
  const auto result = answer.find("result");
  return anyToJSONValue(result != answer.end() ? *result : json());
}

Subprocess* CoProcessProxy::launchIfNeeded() {
  if (process_ && process_->isRunning()) return process_.get();
  const auto program = CoProcessSupport::findProgram(texts_.program);
  if (!program) {
    lastStderr_ = "Binary not found at " + proxyBinaryPath();
    return nullptr;
  }
  auto started = Subprocess::start(CoProcessSupport::spawnOf(*program));
  if (!started) {
    lastStderr_ = kCoProcessLaunchFailed + started.error();
    return nullptr;
  }
  process_ = std::move(started).value();
  Logger::info(texts_.category,
               "Co-process launched (PID " + std::to_string(process_->pid()) + ")");
  return process_.get();
}

// Looked up afresh each time, so a program installed while the system runs is used at once.
std::string CoProcessProxy::proxyBinaryPath() const {
  if (const auto program = CoProcessSupport::findProgram(texts_.program)) return program->string();
  return CoProcessSupport::programCandidates(texts_.program).front().string();
}

// No reply came: the co-process is ended and forgotten, so the next call starts a fresh one.
ToolError CoProcessProxy::dropAfterSilence(bool timedOut) {
  if (!timedOut) process_->waitForExit(SubprocessClock::now() + kExitGrace);
  captureStderr();
  std::string reason = " (timeout)";
  if (!process_->isRunning()) {
    const auto ended = process_->exitStatus();
    reason = " (exit " + std::to_string(ended ? ended->status : kUnknownExit.status) + ")";
  }
  process_->terminate();
  process_.reset();
  std::string message = texts_.crashed + reason;
  if (!lastStderr_.empty()) message += " — " + lastStderr_;
  return ToolError::executionFailed(std::move(message));
}

ToolError CoProcessProxy::dropAfterBadReply() {
  captureStderr();
  process_->terminate();
  process_.reset();
  std::string message = texts_.invalidReply;
  if (!lastStderr_.empty()) message += " — " + lastStderr_;
  return ToolError::executionFailed(std::move(message));
}

// Only what the error pipe holds now; a co-process that is still running is not waited for.
void CoProcessProxy::captureStderr() {
  std::string tail = CoProcessSupport::stderrTail(*process_, kStderrKept);
  if (tail.empty()) return;
  lastStderr_ = std::move(tail);
  Logger::warn(texts_.category, "stderr: " + lastStderr_);
}

void CoProcessProxy::end() {
  std::lock_guard hold(lock_);
  process_.reset();  // ends and reaps it
  lastStderr_.clear();
}

}  // namespace tvrn
