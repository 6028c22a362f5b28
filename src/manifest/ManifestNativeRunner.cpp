#include "manifest/ManifestNativeRunner.h"

#include "bridges/JXARunner.h"
#include "manifest/ManifestRunnerTexts.h"

namespace tvrn {

void NativeHandlerRegistry::registerHandler(std::string name, ToolHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_.insert_or_assign(std::move(name), std::move(handler));
}

std::optional<ToolHandler> NativeHandlerRegistry::handler(std::string_view name) const {
  std::lock_guard lock(mutex_);
  auto found = handlers_.find(name);
  if (found == handlers_.end()) return std::nullopt;
  return found->second;
}

ToolResult ManifestNativeRunner::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                         std::int64_t, int) {
  const auto* native = behavior.as<BehaviorSpec::Native>();
  if (native == nullptr) {
    return fail(ToolError::executionFailed(std::string(ManifestRunnerTexts::kWrongBehavior)));
  }
  auto handler = handlers_.handler(native->handler);
  if (!handler || !*handler) {
    return fail(
        ToolError::executionFailed(ManifestRunnerTexts::nativeHandlerMissing(native->handler)));
  }
  JSONValue::Object arguments;
  if (params.is_object()) {
    for (const auto& [name, value] : params.items()) arguments.emplace(name, anyToJSONValue(value));
  }
  return (*handler)(JSONValue(std::move(arguments)));
}

}  // namespace tvrn
