#include "manifest/RunnerDispatch.h"

#include <array>
#include <shared_mutex>

#include "core/ToolResponse.h"
#include "manifest/ManifestAppleScriptRunner.h"
#include "manifest/ManifestCompositionRunners.h"
#include "manifest/ManifestFileRunners.h"
#include "manifest/ManifestHTTPRunners.h"
#include "manifest/ManifestNativeRunner.h"
#include "manifest/ManifestRunnerTexts.h"

namespace tvrn {
namespace {

using Kind = BehaviorSpec::Kind;
constexpr std::size_t kCaseCount = static_cast<std::size_t>(Kind::text) + 1;

class RunnerTable {
 public:
  RunnerTable() {
    set(Kind::httpLocal, std::make_shared<ManifestHTTPLocalRunner>());
    set(Kind::native, std::make_shared<ManifestNativeRunner>());
    set(Kind::httpRemote, std::make_shared<ManifestHTTPRemoteRunner>());
    set(Kind::applescript, std::make_shared<ManifestAppleScriptRunner>());
    set(Kind::sqlite, std::make_shared<ManifestSQLiteRunner>());
    set(Kind::plist, std::make_shared<ManifestPlistRunner>());
    set(Kind::compose, std::make_shared<ManifestComposeRunner>());
    set(Kind::parallel, std::make_shared<ManifestParallelRunner>());
    set(Kind::conditional, std::make_shared<ManifestConditionalRunner>());
    set(Kind::cache, std::make_shared<ManifestCacheRunner>());
  }

  static RunnerTable& shared() {
    static RunnerTable table;
    return table;
  }

  void set(Kind kind, std::shared_ptr<CapabilityRunner> runner) {
    std::unique_lock lock(mutex_);
    runners_[static_cast<std::size_t>(kind)] = std::move(runner);
  }

  std::shared_ptr<CapabilityRunner> get(Kind kind) const {
    std::shared_lock lock(mutex_);
    return runners_[static_cast<std::size_t>(kind)];
  }

 private:
  mutable std::shared_mutex mutex_;  // guards runners_; never held while a runner runs
  std::array<std::shared_ptr<CapabilityRunner>, kCaseCount> runners_;
};

}  // namespace

ToolResult RunnerDispatch::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                   std::int64_t timeoutMs, int depth) {
  if (depth > kMaxDepth) {
    return fail(ToolError::executionFailed(ManifestRunnerTexts::nestedTooDeep(kMaxDepth)));
  }
  if (const auto* text = behavior.as<BehaviorSpec::Text>()) return ToolResponse::text(text->text);
  auto runner = RunnerTable::shared().get(behavior.kind());
  if (!runner) {
    return fail(ToolError::executionFailed(std::string(ManifestRunnerTexts::kWrongBehavior)));
  }
  return runner->execute(behavior, params, timeoutMs, depth);
}

void RunnerDispatch::install(BehaviorSpec::Kind kind, std::shared_ptr<CapabilityRunner> runner) {
  RunnerTable::shared().set(kind, std::move(runner));
}

nlohmann::json jsonValueToRaw(const JSONValue& value) {
  const JSONValue* content = value["content"];
  const JSONValue* first = content != nullptr ? (*content)[std::int64_t{0}] : nullptr;
  const JSONValue* text = first != nullptr ? (*first)["text"] : nullptr;
  if (text == nullptr || !text->asString()) return value.rawValue();
  const std::string body = *text->asString();
  auto parsed = JSONValue::parseUntyped(body);
  if (parsed && (parsed->is_object() || parsed->is_array())) return std::move(*parsed);
  return body;
}

}  // namespace tvrn
