#include "manifest/ManifestHelperRunner.h"

#include "manifest/ManifestRunnerTexts.h"

namespace tvrn {

ToolResult ManifestHelperRunner::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                         std::int64_t, int) {
  const auto* helper = behavior.as<BehaviorSpec::Helper>();
  if (helper == nullptr) {
    return fail(ToolError::executionFailed(std::string(ManifestRunnerTexts::kWrongBehavior)));
  }
  return helper_.callArgs(helper->method, params);
}

}  // namespace tvrn
