// Behaviours that run other behaviours: compose runs other tools of the manifest one after
// another, parallel runs them at once, conditional picks a branch by a condition, cache keeps a
// successful inner result for a while. Each nested behaviour runs one level deeper.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridges/TCCStatusChecker.h"
#include "manifest/CapabilityRunner.h"
#include "manifest/ManifestStore.h"

namespace tvrn {

class RunnerTable;

// At most this many steps start in one tool call, however its compose and parallel behaviours
// nest, so tools that name each other cannot multiply threads without end.
inline constexpr int kMaxComposedSteps = 256;

// Steps in order; the first failure ends the call with that failure.
class ManifestComposeRunner final : public CapabilityRunner {
 public:
  // The steps name tools of the manifest in `tools` (which must outlive the runner); without a
  // store no step names a tool. They run through `runners`, the table that holds this runner.
  explicit ManifestComposeRunner(const RunnerTable& runners, const ManifestStore* tools = nullptr)
      : runners_(runners), tools_(tools) {}

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

 private:
  const RunnerTable& runners_;
  const ManifestStore* const tools_;
};

// Every step on a thread of its own; the results merge in step order. Under "abort" the first
// failure in step order is the answer, under "include_errors" each failure becomes an object
// {"error": description} under its tool's name.
class ManifestParallelRunner final : public CapabilityRunner {
 public:
  // As ManifestComposeRunner's.
  explicit ManifestParallelRunner(const RunnerTable& runners, const ManifestStore* tools = nullptr)
      : runners_(runners), tools_(tools) {}

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

 private:
  const RunnerTable& runners_;
  const ManifestStore* const tools_;
};

class ManifestConditionalRunner final : public CapabilityRunner {
 public:
  // "tcc:" conditions read the statuses from `permissions`; without one, every service reads
  // "notDetermined". The branch taken runs through `runners`, the table that holds this runner.
  explicit ManifestConditionalRunner(const RunnerTable& runners, PermissionSource permissions = {});

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

  // "tcc:service[=status]", "param:name=value", "file_exists:path", "engine_gte:version";
  // any other text is false.
  static bool evaluateCondition(std::string_view condition, const nlohmann::json& params,
                                const PermissionSource& permissions);

 private:
  const RunnerTable& runners_;
  const PermissionSource permissions_;
};

class ManifestCacheRunner final : public CapabilityRunner {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxEntries = 1000;

  // The inner behaviour runs through `runners`, the table that holds this runner.
  explicit ManifestCacheRunner(const RunnerTable& runners,
                               std::function<Clock::time_point()> now = &Clock::now);

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

  std::size_t size() const;

 private:
  struct CacheEntry {
    JSONValue result;
    Clock::time_point expiresAt;
  };

  void store(const std::string& key, const JSONValue& result, Clock::time_point expiresAt);

  const RunnerTable& runners_;
  const std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;  // guards cache_; never held while a behaviour runs
  std::unordered_map<std::string, CacheEntry> cache_;
};

}  // namespace tvrn
