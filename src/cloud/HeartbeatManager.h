// The heartbeat: every five minutes the process that holds the tunnel lock tells the back end
// it is alive, with the tool calls and errors since the last beat, and takes the back end's news
// (newest version, push message, manifest change) from the reply. Also the name of the AI client
// that launched this process, which the heartbeat and every tool-call report carry.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/ServerContext.h"
#include "platform/ProcessInfo.h"

namespace tvrn {

class HeartbeatManager final {
 public:
  // Waits that long unless `stop` is requested first; false when it was.
  using Wait = std::function<bool(std::chrono::milliseconds, std::stop_token)>;

  static constexpr std::chrono::seconds kInterval{300};

  // The heartbeat of one start of the server, for its `version`, carrying the counts of
  // `context`; `wait` stands in for the pause between beats.
  HeartbeatManager(std::string version, std::shared_ptr<ServerContext> context, Wait wait = {});
  // Stops the thread.
  ~HeartbeatManager();
  HeartbeatManager(const HeartbeatManager&) = delete;
  HeartbeatManager& operator=(const HeartbeatManager&) = delete;

  // Starts the thread: once this process holds the tunnel lock, a beat at once and then one
  // every interval. A second call does nothing.
  void startInBackground();

  // Ends the thread and waits for it.
  void stop();

  // One beat, on the calling thread, carrying the counts the context gathered since the last and
  // its last reporting client; the counts go back when it fails, so the next beat carries them.
  // When the back end says the manifest changed, and on every N-th beat of this heartbeat (the
  // manifest's "manifest_check_every_beats", else every beat), it runs the context's
  // `manifestCheck`. False when it failed; a stop request abandons it.
  [[nodiscard]] bool sendHeartbeat(std::stop_token stop = {});

  // "TVRN Tray" for a process started with "--daemon"; else the known AI client nearest among
  // the process's ancestors; else "CLI". Worked out once per process, on first use.
  static const std::string& aiClient();

  // When this process started serving, as 2025-01-31T09:05:00Z: fixed at the first call, which
  // the status server makes when it starts.
  static const std::string& startedAt();

  // The known AI client among these processes, nearest first: the first whose command name or
  // program name is one a client runs under.
  static std::optional<std::string> clientAmong(const std::vector<ProcessInfo::Entry>& processes);

 private:
  // Waits the interval unless stopped first; false when stopped.
  bool pause(std::stop_token stop);

  const std::string version_;
  const std::shared_ptr<ServerContext> context_;
  const Wait wait_;
  std::atomic<std::int64_t> beatsSent_{0};
  std::mutex mutex_;  // guards thread_; the pause waits on it
  std::condition_variable_any wake_;
  std::jthread thread_;
};

}  // namespace tvrn
