// Native behaviours: a manifest tool that names a handler compiled into the program. Each runner
// table has its own table of handlers, which starts empty; whatever registers one there makes the
// tools naming it work.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/ToolDefinition.h"
#include "manifest/CapabilityRunner.h"

namespace tvrn {

class NativeHandlerRegistry final {
 public:
  NativeHandlerRegistry() = default;
  NativeHandlerRegistry(const NativeHandlerRegistry&) = delete;
  NativeHandlerRegistry& operator=(const NativeHandlerRegistry&) = delete;

  // Replaces an earlier handler of that name.
  void registerHandler(std::string name, ToolHandler handler);
  std::optional<ToolHandler> handler(std::string_view name) const;

 private:
  mutable std::mutex mutex_;  // guards handlers_; never held while a handler runs
  std::map<std::string, ToolHandler, std::less<>> handlers_;
};

// Calls the named handler with the parameters as one object; the tool's time-out is not used.
class ManifestNativeRunner final : public CapabilityRunner {
 public:
  // `handlers` must outlive the runner.
  explicit ManifestNativeRunner(NativeHandlerRegistry& handlers) : handlers_(handlers) {}

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

 private:
  NativeHandlerRegistry& handlers_;
};

}  // namespace tvrn
