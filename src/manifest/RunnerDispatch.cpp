#include "manifest/RunnerDispatch.h"

#include "core/ToolResponse.h"
#include "manifest/ManifestAppleScriptRunner.h"
#include "manifest/ManifestCompositionRunners.h"
#include "manifest/ManifestFileRunners.h"
#include "manifest/ManifestHTTPRunners.h"
#include "manifest/ManifestNativeRunner.h"
#include "manifest/ManifestRunnerTexts.h"

namespace tvrn {

RunnerTable::RunnerTable() {
  using Kind = BehaviorSpec::Kind;
  install(Kind::httpLocal, std::make_shared<ManifestHTTPLocalRunner>());
  install(Kind::native, std::make_shared<ManifestNativeRunner>(nativeHandlers_));
  install(Kind::httpRemote, std::make_shared<ManifestHTTPRemoteRunner>());
  install(Kind::applescript, std::make_shared<ManifestAppleScriptRunner>());
  install(Kind::sqlite, std::make_shared<ManifestSQLiteRunner>());
  install(Kind::plist, std::make_shared<ManifestPlistRunner>());
  install(Kind::compose, std::make_shared<ManifestComposeRunner>(*this));
  install(Kind::parallel, std::make_shared<ManifestParallelRunner>(*this));
  install(Kind::conditional, std::make_shared<ManifestConditionalRunner>(*this));
  install(Kind::cache, std::make_shared<ManifestCacheRunner>(*this));
}

ToolResult RunnerTable::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                std::int64_t timeoutMs, int depth) const {
  if (depth > kMaxDepth) {
    return fail(ToolError::executionFailed(ManifestRunnerTexts::nestedTooDeep(kMaxDepth)));
  }
  if (const auto* text = behavior.as<BehaviorSpec::Text>()) return ToolResponse::text(text->text);
  std::shared_ptr<CapabilityRunner> runner;
  {
    std::shared_lock lock(mutex_);
    runner = runners_[static_cast<std::size_t>(behavior.kind())];
  }
  if (!runner) {
    return fail(ToolError::executionFailed(std::string(ManifestRunnerTexts::kWrongBehavior)));
  }
  return runner->execute(behavior, params, timeoutMs, depth);
}

void RunnerTable::install(BehaviorSpec::Kind kind, std::shared_ptr<CapabilityRunner> runner) {
  std::unique_lock lock(mutex_);
  runners_[static_cast<std::size_t>(kind)] = std::move(runner);
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
