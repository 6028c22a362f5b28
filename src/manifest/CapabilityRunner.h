// What runs one case of a manifest tool's behaviour. A runner answers a tool result built by
// ToolResponse or a ToolError whose text begins with the runner's word; it never logs or throws.
#pragma once

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "core/ToolDefinition.h"
#include "manifest/Manifest.h"

namespace tvrn {

class CapabilityRunner {
 public:
  virtual ~CapabilityRunner() = default;

  // `params` are the validated parameters (a JSON object), never changed; `timeoutMs` is the
  // calling tool's; `depth` is how deeply this behaviour is nested (the tool's own is 1), which
  // a runner that runs further behaviours passes on one higher. Another case of behaviour fails
  // with "wrong behavior" and runs nothing.
  virtual ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                             std::int64_t timeoutMs, int depth) = 0;
};

// A time-out where a runner needs one: below 1 ms, the manifest's default of 30000 ms; above a
// day, a day, so that a deadline computed from it never overflows the clock.
inline std::int64_t effectiveTimeoutMs(std::int64_t timeoutMs) {
  constexpr std::int64_t kDefaultTimeoutMs = 30000;
  constexpr std::int64_t kLongestMs = 24LL * 60 * 60 * 1000;
  return timeoutMs < 1 ? kDefaultTimeoutMs : std::min(timeoutMs, kLongestMs);
}

}  // namespace tvrn
