// Helper behaviours: one call of the automation helper bridge, which applies its own time-out.
#pragma once

#include "manifest/CapabilityRunner.h"

namespace tvrn {

class ManifestHelperRunner final : public CapabilityRunner {
 public:
  // The method is sent as written, with the parameters as its arguments.
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;
};

}  // namespace tvrn
