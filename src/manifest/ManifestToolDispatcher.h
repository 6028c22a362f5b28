// Puts a manifest's tools into the server's tool registry, each running through the execution
// pipeline. Tools a later manifest no longer offers stay registered as "[removed]" tombstones.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/ToolRegistry.h"
#include "manifest/Manifest.h"
#include "manifest/RunnerDispatch.h"
#include "platform/HttpClient.h"

namespace tvrn {

class ManifestToolDispatcher final {
 public:
  ManifestToolDispatcher() = default;
  ManifestToolDispatcher(const ManifestToolDispatcher&) = delete;
  ManifestToolDispatcher& operator=(const ManifestToolDispatcher&) = delete;

  // Start-up sets it once its built-in tools are registered, before any manifest is applied.
  // A new registry starts with no manifest tools: the next apply withdraws nothing from it.
  void setRegistry(std::shared_ptr<ToolRegistry> registry);
  std::shared_ptr<ToolRegistry> registry() const;

  // The runners this dispatcher's tools run their behaviours on: its own, with the default ones
  // from the start; start-up installs those that need the server's parts.
  RunnerTable& runners() { return *runners_; }

  // Tombstones the tools the last apply registered, then registers every tool whose capability
  // the manifest declares (a native one only where no built-in tool has its name), and logs the
  // counts. Without a registry nothing changes. Sessions may call and list tools meanwhile.
  void apply(const Manifest& manifest);

  // The JSON-Schema object of a tool's parameters.
  static nlohmann::json inputSchema(const ToolSpec& spec);
  static ToolKind kind(const ToolSpec& spec);

 private:
  // One apply at a time, so each starts from the names the one before it registered; a tool
  // two overlapping applies registered would otherwise never be withdrawn.
  std::mutex applyMutex_;
  mutable std::mutex mutex_;  // guards registry_ and registeredNames_, never held across a call
  std::shared_ptr<ToolRegistry> registry_;
  std::set<std::string> registeredNames_;
  // Shared with the registered tools, which a session may still call after the dispatcher went.
  const std::shared_ptr<RunnerTable> runners_ = std::make_shared<RunnerTable>();
  // Where its tools' telemetry events go; shared with them, as the runners.
  const std::shared_ptr<BackgroundPoster> telemetry_ = std::make_shared<BackgroundPoster>();
};

}  // namespace tvrn
