// The one entry that carries out a manifest tool's behaviour: it hands each case to the runner
// its table holds for it. The tool call's thread runs it, and so do runners of nested behaviours.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <shared_mutex>

#include "core/ToolDefinition.h"
#include "manifest/CapabilityRunner.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestNativeRunner.h"

namespace tvrn {

// The runner in charge of each case of behaviour, for the tools of one server: start-up builds
// one per start and installs in it the runners that need the server's parts, so two servers (or
// two tests) never run each other's. The runners that nest behaviours run them through the table
// that holds them.
class RunnerTable final {
 public:
  // Behaviours that run behaviours (and tools whose steps name each other) could nest without
  // end; deeper than this a call fails.
  static constexpr int kMaxDepth = 16;

  // The http_local, native (with this table's handlers), http_remote, applescript, sqlite,
  // plist, compose and parallel (whose steps find no tool), conditional (which sees no
  // permission granted) and cache cases start with their own runners; the jxa and helper cases,
  // which need the server's co-processes, have none until start-up installs them with the
  // server's manifest store, clients and permission status.
  RunnerTable();
  RunnerTable(const RunnerTable&) = delete;
  RunnerTable& operator=(const RunnerTable&) = delete;

  // Runs the behaviour with the validated parameters; `depth` as CapabilityRunner::execute. A
  // text behaviour answers its text as written; a case without a runner fails "wrong behavior".
  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth = 1) const;

  // Puts a runner in charge of a case from now on (start-up, tests); null removes it.
  void install(BehaviorSpec::Kind kind, std::shared_ptr<CapabilityRunner> runner);

  // The handlers this table's native runner calls.
  NativeHandlerRegistry& nativeHandlers() { return nativeHandlers_; }

 private:
  static constexpr std::size_t kCaseCount = static_cast<std::size_t>(BehaviorSpec::Kind::text) + 1;

  NativeHandlerRegistry nativeHandlers_;
  mutable std::shared_mutex mutex_;  // guards runners_; never held while a runner runs
  std::array<std::shared_ptr<CapabilityRunner>, kCaseCount> runners_;
};

// A runner's result as a plain value for combining several: the text of its first content block
// read as a JSON object or array, else that text; any other value as it is.
nlohmann::json jsonValueToRaw(const JSONValue& value);

}  // namespace tvrn
