// JXA behaviours: the script, its values escaped for JavaScript string literals and preceded by
// the parameters as `$params`, run by one of the three JXA executors chosen by the tool's
// time-out, or, in the tray's own process, evaluated in-process on a thread of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "bridges/JXARunner.h"
#include "manifest/CapabilityRunner.h"
#include "platform/OsaEvaluator.h"

namespace tvrn {

class ManifestJXARunner final : public CapabilityRunner {
 public:
  // The executors for tool time-outs up to 30000 ms, up to 60000 ms, and longer.
  struct Executors {
    JXARunning* upTo30s;
    JXARunning* upTo60s;
    JXARunning* longer;
  };

  // In-process evaluations that outlived their time-out keep their threads until they end; this
  // many of them still running refuse further calls rather than pile up.
  static constexpr std::size_t kMaxLeftovers = 8;

  // The executors must outlive the runner; `inProcess` is normally inTrayContext() and
  // `evaluator` platformOsaEvaluator().
  ManifestJXARunner(Executors executors, bool inProcess, OsaEvaluator evaluator);

  // Whether the process runs as the tray application; a Linux program has no application
  // bundle, so never.
  static bool inTrayContext();

  ToolResult execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                     std::int64_t timeoutMs, int depth) override;

  // In-process evaluations still running past their time-out.
  std::size_t leftovers() const { return leftovers_->load(); }

 private:
  JXARunning& executorFor(std::int64_t timeoutMs) const;
  ToolResult runInProcess(const std::string& script, std::int64_t timeoutMs);

  const Executors executors_;
  const bool inProcess_;
  const OsaEvaluator evaluator_;
  // Shared with the evaluation threads, which may outlive the runner.
  std::shared_ptr<std::atomic<std::size_t>> leftovers_ =
      std::make_shared<std::atomic<std::size_t>>(0);
};

}  // namespace tvrn
