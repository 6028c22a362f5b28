// The heartbeat: every five minutes the process that holds the tunnel lock tells the back end
// it is alive, with the tool calls and errors since the last beat, and takes the back end's news
// (newest version, push message, manifest change) from the reply. Also the name of the AI client
// that launched this process, which the heartbeat and every tool-call report carry.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/ServerContext.h"
#include "platform/ProcessInfo.h"

namespace tvrn {

class HeartbeatManager final {
 public:
  // Waits that long unless `stop` is requested first; false when it was.
  using Wait = std::function<bool(std::chrono::milliseconds, std::stop_token)>;

  static constexpr std::chrono::seconds kInterval{300};

  // Starts the heartbeat's thread for the running server's `version`, carrying the counts of
  // `context`: once this process holds the tunnel lock, a beat at once and then one every
  // interval. A second call does nothing.
  static void startInBackground(std::string version, std::shared_ptr<ServerContext> context,
                                Wait wait = {});

  // Ends the thread and waits for it.
  static void stop();

  // One beat, on the calling thread, carrying the counts `context` gathered since the last and
  // its last reporting client; the counts go back when it fails, so the next beat carries them.
  // When the back end says the manifest changed, and on every N-th beat (the manifest's
  // "manifest_check_every_beats", else every beat), it runs the context's `manifestCheck`.
  // False when it failed; a stop request abandons it.
  [[nodiscard]] static bool sendHeartbeat(const std::string& version, ServerContext& context,
                                          std::stop_token stop = {});

  // "TVRN Tray" for a process started with "--daemon"; else the known AI client nearest among
  // the process's ancestors; else "CLI". Worked out once per process, on first use.
  static const std::string& aiClient();

  // When this process started serving, as 2025-01-31T09:05:00Z: fixed at the first call, which
  // the status server makes when it starts.
  static const std::string& startedAt();

  // The known AI client among these processes, nearest first: the first whose command name or
  // program name is one a client runs under.
  static std::optional<std::string> clientAmong(const std::vector<ProcessInfo::Entry>& processes);
};

}  // namespace tvrn
