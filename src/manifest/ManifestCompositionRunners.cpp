#include "manifest/ManifestCompositionRunners.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "bridges/JXARunner.h"
#include "bridges/TCCStatusChecker.h"
#include "core/JSONValue.h"
#include "core/ToolResponse.h"
#include "manifest/EngineVersion.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/ManifestSignatureVerifier.h"
#include "manifest/ManifestStore.h"
#include "manifest/RunnerDispatch.h"
#include "manifest/TemplateEngine.h"
#include "platform/Paths.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;

ToolResult wrongBehavior() {
  return fail(ToolError::executionFailed(std::string(Texts::kWrongBehavior)));
}

std::string dumpReplacing(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The steps started so far in one tool call, shared by the threads of its parallel steps.
struct StepBudget {
  std::atomic<int> started{0};
};

thread_local std::shared_ptr<StepBudget> currentBudget;

// Gives this thread the call's budget: the one it already has, the one handed over, or a new one
// for the outermost steps of a call; the previous one comes back at the end.
class BudgetScope {
 public:
  explicit BudgetScope(std::shared_ptr<StepBudget> handedOver = nullptr)
      : previous_(currentBudget) {
    if (handedOver) {
      currentBudget = std::move(handedOver);
    } else if (!currentBudget) {
      currentBudget = std::make_shared<StepBudget>();
    }
  }
  ~BudgetScope() { currentBudget = previous_; }
  BudgetScope(const BudgetScope&) = delete;
  BudgetScope& operator=(const BudgetScope&) = delete;

 private:
  std::shared_ptr<StepBudget> previous_;
};

// The step's parameters: its template filled with each value escaped as the inside of a JSON
// string literal, so a value can never add members or break the object. Anything but an object
// leaves the step without parameters.
nlohmann::json stepParams(const ComposeStep& step, const nlohmann::json& params) {
  TemplateVars escaped;
  for (const auto& [name, value] : TemplateEngine::vars(params)) {
    const std::string literal = dumpReplacing(value);
    escaped.emplace(name, literal.substr(1, literal.size() - 2));
  }
  auto parsed = JSONValue::parseUntyped(TemplateEngine::render(step.params, escaped));
  if (parsed && parsed->is_object()) return std::move(*parsed);
  return nlohmann::json::object();
}

std::optional<BehaviorSpec> toolBehavior(const ManifestStore* tools, const std::string& name) {
  if (tools == nullptr) return std::nullopt;
  const auto manifest = tools->manifest();
  if (!manifest) return std::nullopt;
  for (const ToolSpec& tool : manifest->tools) {
    if (tool.name == name) return tool.behavior;
  }
  return std::nullopt;
}

// Where the steps find their tools, and the table their behaviours run through.
struct StepTools {
  const RunnerTable& runners;
  const ManifestStore* store;
};

// Runs one step as its tool's behaviour alone (no validation, confirmation or permission of the
// step's tool); nothing when the manifest in `tools` has no such tool.
std::optional<ToolResult> runStep(const StepTools& tools, const ComposeStep& step,
                                  const nlohmann::json& params, std::int64_t timeoutMs, int depth) {
  const nlohmann::json stepParameters = stepParams(step, params);
  const auto behavior = toolBehavior(tools.store, step.tool);
  if (!behavior) return std::nullopt;
  if (++currentBudget->started > kMaxComposedSteps) {
    return fail(ToolError::executionFailed(Texts::tooManySteps(kMaxComposedSteps)));
  }
  return tools.runners.execute(*behavior, stepParameters, timeoutMs, depth + 1);
}

ToolResult combined(const nlohmann::json& table) {
  return ToolResponse::json(anyToJSONValue(table));
}

ToolResult runSequential(const StepTools& tools, const std::vector<ComposeStep>& steps,
                         const nlohmann::json& params, std::int64_t timeoutMs, int depth) {
  nlohmann::json table = nlohmann::json::object();
  for (const ComposeStep& step : steps) {
    auto result = runStep(tools, step, params, timeoutMs, depth);
    if (!result) continue;
    if (!result->ok()) return std::move(*result);
    table[step.tool] = jsonValueToRaw(result->value());
  }
  return combined(table);
}

ToolResult runParallel(const StepTools& tools, const std::vector<ComposeStep>& steps,
                       const nlohmann::json& params, PartialFailurePolicy policy,
                       std::int64_t timeoutMs, int depth) {
  std::vector<std::optional<ToolResult>> slots(steps.size());
  std::vector<std::thread> threads;
  threads.reserve(steps.size());
  const std::shared_ptr<StepBudget> budget = currentBudget;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    auto run = [&, i, budget] {
      BudgetScope scope(budget);
      slots[i] = runStep(tools, steps[i], params, timeoutMs, depth);
    };
    try {
      threads.emplace_back(run);
    } catch (const std::system_error&) {
      run();  // no thread to be had: the step runs here, after the ones already started
    }
  }
  for (std::thread& thread : threads) thread.join();

  nlohmann::json table = nlohmann::json::object();
  std::map<std::string, std::string> errors;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (!slots[i]) continue;
    const ToolResult& result = *slots[i];
    if (result.ok()) {
      table[steps[i].tool] = jsonValueToRaw(result.value());
    } else if (policy == PartialFailurePolicy::abort) {
      return result;
    } else {
      errors[steps[i].tool] = result.error().description();
    }
  }
  for (const auto& [tool, description] : errors) table[tool] = {{"error", description}};
  return combined(table);
}

ToolResult runSteps(const StepTools& tools, const std::vector<ComposeStep>& steps,
                    const nlohmann::json& params, bool parallel, PartialFailurePolicy policy,
                    std::int64_t timeoutMs, int depth) {
  BudgetScope scope;
  return parallel ? runParallel(tools, steps, params, policy, timeoutMs, depth)
                  : runSequential(tools, steps, params, timeoutMs, depth);
}

std::string expandTilde(std::string path) {
  if (path.starts_with('~')) path.replace(0, 1, Paths::home().string());
  return path;
}

std::string trimEquals(std::string_view text) {
  while (text.starts_with('=')) text.remove_prefix(1);
  while (text.ends_with('=')) text.remove_suffix(1);
  return std::string(text);
}

// The text split at its first "=", empty pieces dropped.
std::vector<std::string> splitAtFirstEquals(std::string_view text) {
  std::vector<std::string> pieces;
  const auto equals = text.find('=');
  const std::string_view before = text.substr(0, equals);
  if (!before.empty()) pieces.emplace_back(before);
  if (equals != std::string_view::npos && equals + 1 < text.size()) {
    pieces.emplace_back(text.substr(equals + 1));
  }
  return pieces;
}

bool tccCondition(std::string_view rest, const PermissionSource& permissions) {
  if (rest.empty() || rest.front() == '=') return false;  // no service named
  const auto pieces = splitAtFirstEquals(rest);
  const std::string expected = pieces.size() > 1 ? trimEquals(pieces[1]) : "granted";
  const auto statuses = permissions ? permissions() : PermissionStatusMap();
  const auto found = statuses.find(pieces[0]);
  return (found != statuses.end() ? found->second : "notDetermined") == expected;
}

bool paramCondition(std::string_view rest, const nlohmann::json& params) {
  if (rest.empty() || rest.front() == '=') return false;
  const auto pieces = splitAtFirstEquals(rest);
  if (pieces.size() != 2) return false;
  std::string actual;
  if (params.is_object()) {
    if (const auto found = params.find(pieces[0]); found != params.end()) {
      actual = found->is_string() ? found->get<std::string>() : found->dump();
    }
  }
  return actual == trimEquals(pieces[1]);
}

// The behaviour written out in full, every case with its kind and every field, nested ones
// included: two different behaviours never write alike.
nlohmann::json describe(const BehaviorSpec& behavior) {
  using B = BehaviorSpec;
  const auto steps = [](const std::vector<ComposeStep>& list) {
    nlohmann::json out = nlohmann::json::array();
    for (const ComposeStep& step : list) out.push_back({step.tool, step.params});
    return out;
  };
  const auto fields = std::visit(
      [&](const auto& value) -> nlohmann::json {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, B::Jxa> || std::is_same_v<T, B::AppleScript>) {
          return {value.script};
        } else if constexpr (std::is_same_v<T, B::Helper>) {
          return {value.method};
        } else if constexpr (std::is_same_v<T, B::HttpLocal>) {
          return {value.baseURL, value.httpMethod, value.path};
        } else if constexpr (std::is_same_v<T, B::Compose>) {
          return {steps(value.steps)};
        } else if constexpr (std::is_same_v<T, B::Native>) {
          return {value.handler};
        } else if constexpr (std::is_same_v<T, B::Parallel>) {
          return {steps(value.steps), toRaw(value.onPartialFailure)};
        } else if constexpr (std::is_same_v<T, B::Sqlite>) {
          return {value.dbPath, value.query};
        } else if constexpr (std::is_same_v<T, B::Conditional>) {
          return {value.condition, describe(value.then),
                  value.elseBehavior ? describe(*value.elseBehavior) : nlohmann::json()};
        } else if constexpr (std::is_same_v<T, B::HttpRemote>) {
          return {value.url, value.httpMethod, value.headers, value.timeoutMs};
        } else if constexpr (std::is_same_v<T, B::Plist>) {
          return {value.path, value.operation,
                  value.keyPath ? nlohmann::json(*value.keyPath) : nlohmann::json()};
        } else if constexpr (std::is_same_v<T, B::Cache>) {
          return {value.ttlSeconds, describe(value.inner)};
        } else {
          return {value.text};
        }
      },
      behavior.cases());
  return {static_cast<int>(behavior.kind()), fields};
}

}  // namespace

ToolResult ManifestComposeRunner::execute(const BehaviorSpec& behavior,
                                          const nlohmann::json& params, std::int64_t timeoutMs,
                                          int depth) {
  const auto* compose = behavior.as<BehaviorSpec::Compose>();
  if (compose == nullptr) return wrongBehavior();
  return runSteps({runners_, tools_}, compose->steps, params, false, PartialFailurePolicy::abort,
                  timeoutMs, depth);
}

ToolResult ManifestParallelRunner::execute(const BehaviorSpec& behavior,
                                           const nlohmann::json& params, std::int64_t timeoutMs,
                                           int depth) {
  const auto* parallel = behavior.as<BehaviorSpec::Parallel>();
  if (parallel == nullptr) return wrongBehavior();
  return runSteps({runners_, tools_}, parallel->steps, params, true, parallel->onPartialFailure,
                  timeoutMs, depth);
}

ToolResult ManifestConditionalRunner::execute(const BehaviorSpec& behavior,
                                              const nlohmann::json& params, std::int64_t timeoutMs,
                                              int depth) {
  const auto* conditional = behavior.as<BehaviorSpec::Conditional>();
  if (conditional == nullptr) return wrongBehavior();
  if (evaluateCondition(conditional->condition, params, permissions_)) {
    return runners_.execute(conditional->then, params, timeoutMs, depth + 1);
  }
  if (conditional->elseBehavior) {
    return runners_.execute(*conditional->elseBehavior, params, timeoutMs, depth + 1);
  }
  return ToolResponse::text("");
}

ManifestConditionalRunner::ManifestConditionalRunner(const RunnerTable& runners,
                                                     PermissionSource permissions)
    : runners_(runners), permissions_(std::move(permissions)) {}

bool ManifestConditionalRunner::evaluateCondition(std::string_view condition,
                                                  const nlohmann::json& params,
                                                  const PermissionSource& permissions) {
  const auto after = [&](std::string_view prefix) -> std::optional<std::string_view> {
    if (!condition.starts_with(prefix)) return std::nullopt;
    return condition.substr(prefix.size());
  };
  if (const auto rest = after("tcc:")) return tccCondition(*rest, permissions);
  if (const auto rest = after("param:")) return paramCondition(*rest, params);
  if (const auto rest = after("file_exists:")) {
    std::error_code ignored;
    return std::filesystem::exists(expandTilde(std::string(*rest)), ignored);
  }
  if (const auto rest = after("engine_gte:")) return compareVersions(kEngineVersion, *rest) >= 0;
  return false;
}

ManifestCacheRunner::ManifestCacheRunner(const RunnerTable& runners,
                                         std::function<Clock::time_point()> now)
    : runners_(runners), now_(std::move(now)) {}

std::size_t ManifestCacheRunner::size() const {
  std::lock_guard lock(mutex_);
  return cache_.size();
}

ToolResult ManifestCacheRunner::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                        std::int64_t timeoutMs, int depth) {
  const auto* cache = behavior.as<BehaviorSpec::Cache>();
  if (cache == nullptr) return wrongBehavior();
  const std::string key = dumpReplacing(describe(cache->inner)) + hexEncode(dumpReplacing(params));
  {
    std::lock_guard lock(mutex_);
    if (const auto found = cache_.find(key);
        found != cache_.end() && found->second.expiresAt > now_()) {
      return found->second.result;
    }
  }
  ToolResult result = runners_.execute(cache->inner, params, timeoutMs, depth + 1);
  if (result.ok() && cache->ttlSeconds > 0) {
    // Beyond a century the clock's range could overflow; no entry needs to live that long.
    constexpr std::int64_t kLongestSeconds = 100LL * 365 * 24 * 60 * 60;
    store(key, result.value(),
          now_() + std::chrono::seconds(std::min(cache->ttlSeconds, kLongestSeconds)));
  }
  return result;
}

void ManifestCacheRunner::store(const std::string& key, const JSONValue& result,
                                Clock::time_point expiresAt) {
  std::lock_guard lock(mutex_);
  const auto now = now_();
  std::erase_if(cache_, [&](const auto& entry) { return entry.second.expiresAt <= now; });
  if (!cache_.contains(key) && cache_.size() >= kMaxEntries) {
    cache_.erase(std::min_element(cache_.begin(), cache_.end(), [](const auto& a, const auto& b) {
      return a.second.expiresAt < b.second.expiresAt;
    }));
  }
  cache_.insert_or_assign(key, CacheEntry{result, expiresAt});
}

}  // namespace tvrn
