#include "bridges/JXARunnerProxy.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <system_error>
#include <vector>

#include "base/Dispatch.h"
#include "base/Utf8.h"
#include "bridges/CoProcessSupport.h"
#include "bridges/JXAScript.h"
#include "bridges/ScriptText.h"
#include "core/Logger.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"
#include "platform/RunningApps.h"
#include "platform/ScriptHost.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCategory = "jxa-runner";
constexpr std::string_view kRunnerName = "tavrin-jxa-runner";
constexpr std::size_t kStderrKept = 200;
// A runner whose output ended is normally on its way out; this long is waited for its exit
// status, so the failure names it rather than a time-out.
constexpr std::chrono::milliseconds kExitGrace{250};

std::string wholeSeconds(double seconds) {
  constexpr double kLargest = 1e15;
  return std::to_string(static_cast<long long>(std::clamp(seconds, -kLargest, kLargest)));
}

fs::path homeRunnerPath() { return Paths::localShare() / "bin" / kRunnerName; }

// Looked up on every call, so a runner installed while the system runs is used at once.
std::optional<fs::path> runnerBinaryPath() { return CoProcessSupport::findProgram(kRunnerName); }

bool isTrue(const nlohmann::json& reply, const char* member) {
  const auto found = reply.find(member);
  return found != reply.end() && found->is_boolean() && found->get<bool>();
}

bool isSlowApplication(std::string_view name) {
  return name == "Mail" || name == "Microsoft Outlook" || name == "Outlook";
}

std::string timeoutText(std::string_view script) {
  const std::string name = JXAScript::targetApplication(script);
  if (isSlowApplication(name)) {
    return name + " is not responding (30s timeout). " + name + " may be stuck syncing. " +
           "Open " + name + " and wait for it to finish syncing, then retry. " +
           "If you have Outlook installed, try outlook_search_emails or outlook_list_emails as "
           "alternatives.";
  }
  return "JXA script timed out — " + name + " is not responding";
}

}  // namespace

JXARunnerProxy::JXARunnerProxy(double timeoutSeconds, std::chrono::milliseconds replyMargin)
    : timeoutSeconds_(timeoutSeconds), replyMargin_(replyMargin) {}

void JXARunnerProxy::end() {
  std::lock_guard hold(lock_);
  process_.reset();  // ends and reaps it
  lastStderr_.clear();
}

JXAResult JXARunnerProxy::run(std::string_view script) {
  auto output = callRunner(JXAScript::wrap(script));
  if (!output) return fail(output.error());
  return JXAScript::parseOutput(output.value());
}

ToolResult JXARunnerProxy::runAsJSONValue(std::string_view script) {
  auto output = callRunner(JXAScript::wrap(script));
  if (!output) {
    const JXAError& error = output.error();
    switch (error.kind()) {
      case JXAError::Case::permissionDenied:
        return fail(
            ToolError::permissionDenied(JXAError::permissionDeniedMessage(error.payload())));
      case JXAError::Case::timeout:
        return fail(ToolError::executionFailed(timeoutText(script)));
      default:
        return fail(ToolError::executionFailed(error.description()));
    }
  }
  auto parsed = JXAScript::parseOutput(output.value());
  if (!parsed) return fail(ToolError::executionFailed(parsed.error().description()));
  return JXAScript::toToolResult(parsed.value(), script);
}

bool JXARunnerProxy::canRun() const {
  return runnerBinaryPath().has_value() || ScriptHost::isInstalled();
}

std::optional<std::string> JXARunnerProxy::runRaw(std::string_view script) {
  auto output = callRunner(script);
  if (!output) return std::nullopt;
  return std::move(output).value();
}

Result<std::string, JXAError> JXARunnerProxy::callRunner(std::string_view script) {
  const auto runner = runnerBinaryPath();
  if (!runner) return directOsascript(script);
  std::lock_guard hold(lock_);
  return exchange(*runner, script);
}

Result<std::string, JXAError> JXARunnerProxy::exchange(const fs::path& runner,
                                                       std::string_view script) {
  Subprocess* process = launchIfNeeded(runner);
  if (process == nullptr) {
    std::string message = "tavrin-jxa-runner unavailable";
    if (!lastStderr_.empty()) message += " (" + lastStderr_ + ")";
    return fail(JXAError::scriptError(std::move(message)));
  }
  if (!Utf8::isValid(script)) {
    return fail(JXAError::scriptError("request encoding failed"));
  }
  const nlohmann::json request = {
      {"method", "run_jxa"},
      {"args", {{"script", std::string(script)}, {"timeout_seconds", timeoutSeconds_}}}};
  const auto deadline =
      SubprocessClock::now() + CoProcessSupport::waitOf(timeoutSeconds_) + replyMargin_;

  switch (process->write(request.dump() + "\n", deadline)) {
    case WriteStatus::written:
      break;
    case WriteStatus::timedOut:
      return fail(dropRunnerAfterSilence(true));
    case WriteStatus::brokenPipe:
    case WriteStatus::failed:
      return fail(dropRunnerAfterSilence(false));
  }

  const LineRead line = process->readLine(deadline);
  if (line.status != LineStatus::line) {
    return fail(dropRunnerAfterSilence(line.status == LineStatus::timedOut));
  }
  const nlohmann::json reply = nlohmann::json::parse(line.text, nullptr, false);
  if (!reply.is_object()) {
    process_->terminate();
    process_.reset();
    return fail(JXAError::scriptError("invalid runner response"));
  }

  const auto error = reply.find("error");
  if (error != reply.end() && error->is_string()) {
    if (isTrue(reply, "timed_out")) return fail(JXAError::timeout());
    if (isTrue(reply, "permission")) {
      return fail(JXAError::permissionDenied(JXAScript::targetApplication(script)));
    }
    return fail(JXAError::scriptError(error->get<std::string>()));
  }
  const auto output = reply.find("output");
  if (output != reply.end() && output->is_string()) return output->get<std::string>();
  return fail(JXAError::scriptError("runner response missing output"));
}

Subprocess* JXARunnerProxy::launchIfNeeded(const fs::path& runner) {
  if (process_ && process_->isRunning()) return process_.get();
  auto started = Subprocess::start(CoProcessSupport::spawnOf(runner));
  if (!started) {
    lastStderr_ = "Launch failed: " + started.error();
    Logger::warn(kCategory, "Cannot launch at " + runner.string() + ": " + started.error());
    return nullptr;
  }
  process_ = std::move(started).value();
  Logger::info(kCategory, "Co-process launched pid=" + std::to_string(process_->pid()) +
                              " timeout=" + wholeSeconds(timeoutSeconds_) + "s");
  return process_.get();
}

// The runner gave no reply: it is ended and forgotten, so the next call starts a fresh one.
JXAError JXARunnerProxy::dropRunnerAfterSilence(bool timedOut) {
  if (!timedOut) process_->waitForExit(SubprocessClock::now() + kExitGrace);
  captureStderr();
  const std::string suffix = lastStderr_.empty() ? "" : " — " + lastStderr_;
  std::string reason = " (timeout)";
  if (!process_->isRunning()) {
    const auto ended = process_->exitStatus();
    reason = " (exit " + std::to_string(ended ? ended->status : 0) + ")";
  }
  process_->terminate();
  process_.reset();
  return JXAError::scriptError("tavrin-jxa-runner crashed or timed out" + reason + suffix);
}

void JXARunnerProxy::captureStderr() {
  std::string tail = CoProcessSupport::stderrTail(*process_, kStderrKept);
  if (tail.empty()) return;
  lastStderr_ = std::move(tail);
  Logger::warn(kCategory, "stderr: " + lastStderr_);
}

Result<std::string, JXAError> JXARunnerProxy::directOsascript(std::string_view script) const {
  const CompletedProcess done = ScriptHost::run(ScriptHost::ScriptLanguage::javaScript, script,
                                                CoProcessSupport::waitOf(timeoutSeconds_));
  if (!done.launched) return fail(JXAError::scriptError("cannot launch osascript"));
  if (done.timedOut) return fail(JXAError::timeout());

  std::string output = ScriptText::decodeTrimmed(done.standardOutput);
  const std::string errorText = ScriptText::decodeTrimmed(done.standardError);
  if (done.exit.status == 0 && !done.exit.signalled) {
    if (output.empty()) {
      return fail(JXAError::permissionDenied(JXAScript::targetApplication(script)));
    }
    return output;
  }
  std::string message = errorText.empty() ? std::move(output) : errorText;
  if (looksLikeTCCDenial(message)) {
    return fail(JXAError::permissionDenied(JXAScript::targetApplication(script)));
  }
  if (message.empty()) message = "osascript exited " + std::to_string(done.exit.status);
  return fail(JXAError::scriptError(std::move(message)));
}

namespace {

constexpr std::string_view kWarmCategory = "jxa-warm";
constexpr std::string_view kWarmedMark = "warmed2";

struct WarmUpProbe {
  std::string_view name;
  std::string_view bundleId;
  std::string_view script;
};

constexpr std::array<WarmUpProbe, 6> kWarmUpProbes{{
    {"Mail", "com.apple.mail", "Application('Mail').mailboxes().length"},
    {"Notes", "com.apple.Notes", "Application('Notes').notes().length"},
    {"Safari", "com.apple.Safari", "Application('Safari').windows().length"},
    {"Messages", "com.apple.MobileSMS", "Application('Messages').chats().length"},
    {"Microsoft Outlook", "com.microsoft.Outlook", "Application('Microsoft Outlook').name()"},
    {"System Events", "com.apple.systemevents", "Application('System Events').processes().length"},
}};

fs::path warmSentinelPath() { return Paths::localShare() / ".jxa-runner-warmed"; }

// A sentinel that is missing, foreign or older than the runner means a runner the user has not
// granted Automation to yet.
bool needsWarming(const fs::path& runner, const fs::path& sentinel) {
  const auto mark = FileStore::read(sentinel);
  if (!mark || ScriptText::decodeTrimmed(*mark) != kWarmedMark) return true;
  std::error_code sentinelError;
  std::error_code runnerError;
  const auto warmedAt = fs::last_write_time(sentinel, sentinelError);
  const auto installedAt = fs::last_write_time(runner, runnerError);
  return sentinelError || runnerError || warmedAt < installedAt;
}

void probeRunningApplications(JXARunnerProxy& prober) {
  std::vector<std::string> failed;
  for (const WarmUpProbe& probe : kWarmUpProbes) {
    if (!RunningApps::isRunning(probe.bundleId)) continue;
    const std::string name(probe.name);
    if (auto answer = prober.runRaw(probe.script)) {
      Logger::info(kWarmCategory, name + " answered: " + *answer);
    } else {
      Logger::warn(kWarmCategory, name + " did not respond");
      failed.push_back(name);
    }
  }
  if (!FileStore::writeAtomic(warmSentinelPath(), std::string(kWarmedMark))) {
    Logger::warn(kWarmCategory, "Could not write the warm-up sentinel; the next start warms again");
  }
  if (failed.empty()) {
    Logger::info(kWarmCategory, "All Automation permissions confirmed — sentinel written (v2)");
    return;
  }
  std::string names;
  for (const std::string& name : failed) names += (names.empty() ? "" : ", ") + name;
  Logger::info(kWarmCategory, "Warmup partial (" + names +
                                  " did not respond) — sentinel written, TCC will be requested on "
                                  "first use");
}

}  // namespace

void JXARunnerProxy::warmPermissionsIfNeeded(JXARunnerProxy& prober,
                                             std::chrono::milliseconds delay) {
  const fs::path runner = homeRunnerPath();
  std::error_code error;
  if (!fs::is_regular_file(runner, error) || !needsWarming(runner, warmSentinelPath())) return;
  Logger::info(kWarmCategory,
               "Warming JXA runner Automation permissions (first run or new binary)");
  Dispatch::after(delay, [&prober] { probeRunningApplications(prober); });
}

}  // namespace tvrn
