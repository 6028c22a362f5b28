// A client of one long-lived messaging co-process (slack-proxy, teams-proxy): started on first
// use, asked one JSON request line per call and read one JSON reply line back under a time-out,
// and started afresh on the next call after it crashed, hung or answered something unreadable.
#pragma once

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/ToolDefinition.h"
#include "platform/Subprocess.h"
#include "tools/messaging/CoProcessProxyTexts.h"

namespace tvrn {

class CoProcessProxy final {
 public:
  CoProcessProxy(const CoProcessProxyTexts& texts, double timeoutSeconds);
  CoProcessProxy(const CoProcessProxy&) = delete;
  CoProcessProxy& operator=(const CoProcessProxy&) = delete;

  // One exchange: {"method": method, "args": args} out, the reply's "result" (null when absent)
  // back. Every failure is executionFailed with one of the client's texts. Calls run one at a
  // time; a caller waits for the exchange before it.
  ToolResult call(std::string_view method, const nlohmann::json& args);

  const CoProcessProxyTexts& texts() const { return texts_; }

  // Ends the co-process, if one runs, and forgets its last error output; a later call starts a
  // new one from the environment of that moment. Shutdown ends the server's co-processes so.
  void end();

 private:
  ToolResult exchange(std::string_view method, const nlohmann::json& args);
  Subprocess* launchIfNeeded();
  std::string proxyBinaryPath() const;
  ToolError dropAfterSilence(bool stillRunningMeansTimeout);
  ToolError dropAfterBadReply();
  void captureStderr();

  const CoProcessProxyTexts& texts_;
  const double timeoutSeconds_;

  std::mutex lock_;  // held for a whole exchange; guards process_ and lastStderr_
  std::unique_ptr<Subprocess> process_;
  std::string lastStderr_;
};

}  // namespace tvrn
