// Runs scripts through a long-lived script-runner co-process (one per instance, one request line
// and one reply line per script), or through the script host, one process per script, when no
// runner program is installed.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/Result.h"
#include "bridges/JXARunner.h"
#include "core/ToolDefinition.h"
#include "platform/Subprocess.h"

namespace tvrn {

class JXARunnerProxy final : public JXARunning {
 public:
  // How much longer than the script's own time-out the runner is given to answer, so that the
  // runner's own time-out report arrives before the proxy gives up on it.
  static constexpr std::chrono::milliseconds kReplyMargin{5000};

  explicit JXARunnerProxy(double timeoutSeconds,
                          std::chrono::milliseconds replyMargin = kReplyMargin);
  JXARunnerProxy(const JXARunnerProxy&) = delete;
  JXARunnerProxy& operator=(const JXARunnerProxy&) = delete;

  double timeoutSeconds() const { return timeoutSeconds_; }

  JXAResult run(std::string_view script) override;
  ToolResult runAsJSONValue(std::string_view script) override;
  // A runner program is installed, or else the script host.
  bool canRun() const override;
  // The output of the bare script, neither wrapped nor parsed; nothing on any failure.
  std::optional<std::string> runRaw(std::string_view script);

  // When the runner installed under the user's home is new (or has never been warmed), probes
  // each running scriptable application through `prober` after `delay`, so the Automation
  // prompts appear now rather than in the middle of a tool call, and records that in a sentinel
  // file. `prober` must outlive the probe.
  static void warmPermissionsIfNeeded(JXARunnerProxy& prober,
                                      std::chrono::milliseconds delay = std::chrono::seconds(5));

  // Ends the runner, if one runs, and forgets its last error output; a later script starts a new
  // one from the environment of that moment. Shutdown ends the server's runners so.
  void end();

 private:
  Result<std::string, JXAError> callRunner(std::string_view script);
  Result<std::string, JXAError> exchange(const std::filesystem::path& runner,
                                         std::string_view script);
  Subprocess* launchIfNeeded(const std::filesystem::path& runner);
  JXAError dropRunnerAfterSilence(bool timedOut);
  void captureStderr();
  Result<std::string, JXAError> directOsascript(std::string_view script) const;

  const double timeoutSeconds_;
  const std::chrono::milliseconds replyMargin_;

  std::mutex lock_;  // held for a whole exchange; guards process_ and lastStderr_
  std::unique_ptr<Subprocess> process_;
  std::string lastStderr_;
};

}  // namespace tvrn
