// Helper behaviours: one call of the automation helper bridge, which applies its own time-out.
#pragma once

#include "bridges/HelperProxy.h"
#include "manifest/CapabilityRunner.h"

namespace tvrn {

class ManifestHelperRunner final : public CapabilityRunner {
 public:
  // `helper` must outlive the runner.
  explicit ManifestHelperRunner(HelperProxy& helper) : helper_(helper) {}

  // The method is sent to the helper as written, with the parameters as its arguments.
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

 private:
  HelperProxy& helper_;
};

}  // namespace tvrn
