// AppleScript behaviours: the script, its values escaped for AppleScript string literals, run by
// the script host in a process of its own and ended once the tool's time-out has passed.
#pragma once

#include <cstdint>
#include <string_view>

#include "manifest/CapabilityRunner.h"

namespace tvrn {

class ManifestAppleScriptRunner final : public CapabilityRunner {
 public:
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

  // Runs an already rendered script: its trimmed output, or its trimmed error output (else its
  // exit status) as the failure. A time-out below 1 ms counts as 30000 ms.
  static ToolResult runAppleScript(std::string_view script, std::int64_t timeoutMs);
};

}  // namespace tvrn
