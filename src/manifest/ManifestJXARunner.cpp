#include "manifest/ManifestJXARunner.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "core/ToolResponse.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/TemplateEngine.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;

constexpr std::int64_t kShortLimitMs = 30000;
constexpr std::int64_t kMediumLimitMs = 60000;

// The parameters as `$params`, then the script; the script alone when they cannot be written.
std::string withParameterPrefix(const nlohmann::json& params, const std::string& script) {
  try {
    return "var $params = " + params.dump() + ";\n" + script;
  } catch (const nlohmann::json::exception&) {
    return script;  // text that is not valid UTF-8
  }
}

// The script as the body of a function whose value comes back as JSON text, and whose
// exception comes back as {"__error__": its text}.
std::string wrapForEvaluation(const std::string& script) {
  return "(function() {\n  try {\n    var result = (function() {\n      " + script +
         "\n    })();\n    return JSON.stringify(result);\n  } catch(e) {\n    return "
         "JSON.stringify({ __error__: e.toString() });\n  }\n})()";
}

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool containsAny(const std::string& text, std::initializer_list<std::string_view> words) {
  for (std::string_view word : words) {
    if (text.find(word) != std::string::npos) return true;
  }
  return false;
}

ToolResult fromResultText(const std::string& text) {
  const auto parsed = JSONValue::parseUntyped(text);
  if (!parsed || (!parsed->is_object() && !parsed->is_array())) return ToolResponse::text(text);
  if (parsed->is_object()) {
    const auto error = parsed->find("__error__");
    if (error != parsed->end() && error->is_string()) {
      const std::string& message = error->get_ref<const std::string&>();
      if (containsAny(lowerCase(message),
                      {"not allowed", "authorization", "access", "permission"})) {
        return fail(ToolError::permissionDenied(std::string(Texts::kAutomationRequiredStart) +
                                                message + ")"));
      }
      return fail(ToolError::executionFailed(std::string(Texts::kJXAPrefix) + message));
    }
  }
  return ToolResponse::json(anyToJSONValue(*parsed));
}

ToolResult interpret(const OsaEvaluation& evaluation) {
  using Kind = OsaEvaluation::Kind;
  switch (evaluation.kind) {
    case Kind::unavailable:
      return fail(ToolError::executionFailed(std::string(Texts::kOsaUnavailable)));
    case Kind::result:
      if (!evaluation.text.empty()) return fromResultText(evaluation.text);
      break;
    case Kind::error: {
      constexpr std::int64_t kEventNotPermitted = -1743;
      if (evaluation.number == kEventNotPermitted ||
          lowerCase(evaluation.message).find("not allowed") != std::string::npos) {
        return fail(ToolError::permissionDenied(std::string(Texts::kNeedsAutomation)));
      }
      return fail(
          ToolError::executionFailed(Texts::osaError(evaluation.number, evaluation.message)));
    }
    case Kind::nothing:
      break;
  }
  return fail(ToolError::permissionDenied(std::string(Texts::kSilentlyDenied)));
}

// What the caller and the evaluation thread share.
struct Evaluation {
  std::mutex mutex;  // guards result and abandoned
  std::condition_variable finished;
  std::optional<ToolResult> result;
  bool abandoned = false;
};

}  // namespace

ManifestJXARunner::ManifestJXARunner(Executors executors, bool inProcess, OsaEvaluator evaluator)
    : executors_(executors), inProcess_(inProcess), evaluator_(std::move(evaluator)) {}

bool ManifestJXARunner::inTrayContext() { return false; }

ToolResult ManifestJXARunner::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                      std::int64_t timeoutMs, int) {
  const auto* jxa = behavior.as<BehaviorSpec::Jxa>();
  if (jxa == nullptr) return fail(ToolError::executionFailed(std::string(Texts::kWrongBehavior)));
  const std::string script = withParameterPrefix(
      params,
      TemplateEngine::renderScript(jxa->script, params, TemplateEngine::ScriptSyntax::javaScript));
  if (inProcess_) return runInProcess(script, timeoutMs);
  return executorFor(timeoutMs).runAsJSONValue(script);
}

JXARunning& ManifestJXARunner::executorFor(std::int64_t timeoutMs) const {
  if (timeoutMs <= kShortLimitMs) return *executors_.upTo30s;
  if (timeoutMs <= kMediumLimitMs) return *executors_.upTo60s;
  return *executors_.longer;
}

ToolResult ManifestJXARunner::runInProcess(const std::string& script, std::int64_t timeoutMs) {
  if (const std::size_t running = leftovers_->load(); running >= kMaxLeftovers) {
    return fail(ToolError::executionFailed(Texts::jxaBusy(running)));
  }
  const std::int64_t limit = effectiveTimeoutMs(timeoutMs);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  auto evaluation = std::make_shared<Evaluation>();
  try {
    std::thread([evaluation, evaluator = evaluator_, wrapped = wrapForEvaluation(script),
                 leftovers = leftovers_] {
      ToolResult result = interpret(evaluator(wrapped));
      std::lock_guard lock(evaluation->mutex);
      if (evaluation->abandoned) {
        leftovers->fetch_sub(1);
        return;
      }
      evaluation->result = std::move(result);
      evaluation->finished.notify_one();
    }).detach();
  } catch (const std::system_error& error) {
    return fail(ToolError::executionFailed(std::string(Texts::kJXAPrefix) + error.what()));
  }
  std::unique_lock lock(evaluation->mutex);
  if (!evaluation->finished.wait_until(lock, deadline,
                                       [&] { return evaluation->result.has_value(); })) {
    evaluation->abandoned = true;
    leftovers_->fetch_add(1);
    return fail(ToolError::executionFailed(Texts::jxaTimedOut(limit)));
  }
  return std::move(*evaluation->result);
}

}  // namespace tvrn
