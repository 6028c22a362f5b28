// The relay to the back end: while the user holds a relay token, one WebSocket to the back end
// stays open, over which cloud-hosted AI agents send MCP requests that the relay session answers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "core/ConfigManager.h"
#include "core/LogThrottle.h"

namespace tvrn {

class MCPServer;

class CloudTunnel final {
 public:
  // Turns the bytes of one relayed JSON-RPC request into the bytes of its reply.
  using RequestHandler = std::function<std::string(std::string_view request)>;
  // Waits that long unless `stop` is requested first; false when it was.
  using Wait = std::function<bool(std::chrono::milliseconds, std::stop_token)>;

  struct Options {
    std::chrono::milliseconds pingInterval = std::chrono::seconds(30);
    std::chrono::milliseconds silenceLimit{0};  // Timeouts::tunnelStream when left at zero
    std::chrono::milliseconds tokenCheckInterval = std::chrono::seconds(30);
    Wait wait;  // between connection attempts and token checks; real time when unset
    // Answers each relayed request; unset, every request gets the no-reply answer.
    RequestHandler handler;
    // Where the relay token is read ("cloud_token"); it must outlive the tunnel. Unset: there is
    // no token, and no session starts.
    const ConfigManager* settings = nullptr;
  };

  static constexpr std::size_t kMaxConcurrentRequests = 4;
  // Requests taken from the back end and not yet answered on the wire: running, waiting to run,
  // or with their reply waiting to be sent. While this many are held no further frame is read,
  // so a back end that stops reading makes the relay hold at most this many replies, never drop
  // one; when it has read nothing for the silence limit, the session ends.
  static constexpr std::size_t kMaxHeldRequests = 16;
  static constexpr std::chrono::seconds kFirstRetryDelay{1};
  static constexpr std::chrono::seconds kMaxRetryDelay{60};

  CloudTunnel();
  explicit CloudTunnel(Options options);
  ~CloudTunnel();
  CloudTunnel(const CloudTunnel&) = delete;
  CloudTunnel& operator=(const CloudTunnel&) = delete;

  // A handler that has `server` answer relayed requests; it keeps only a weak reference, so the
  // owner decides how long the session lives.
  static RequestHandler answeredBy(const std::shared_ptr<MCPServer>& server);

  // Starts the tunnel's thread: it waits for the tunnel lock, then keeps a session up while the
  // settings hold a relay token ("tvrn-..."). A second call does nothing.
  void startInBackground();

  // Ends the session (the state file then says not connected) and joins the thread.
  void stop();

  bool isConnected() const { return connected_; }

  // What the session under way holds for the back end (see kMaxHeldRequests); zero between
  // sessions.
  struct Backlog {
    std::size_t requests = 0;
    std::size_t replyBytes = 0;  // of replies made and not yet sent whole
  };
  Backlog backlog() const;

  // The wait before the next connection attempt after one that waited `delay`: doubled, at most
  // a minute.
  static std::chrono::seconds nextRetryDelay(std::chrono::seconds delay);

 private:
  class Session;

  void run(std::stop_token stop);
  // One session with this token; true when it got connected.
  bool runSession(const std::string& token, std::stop_token stop);
  bool pause(std::chrono::milliseconds duration, std::stop_token stop);
  Options options_;
  std::atomic<bool> connected_{false};
  mutable std::mutex mutex_;  // guards session_ and thread_
  std::condition_variable_any wake_;
  Session* session_ = nullptr;  // the session under way, for stop()
  // A back end that sends frames the relay cannot read has them counted, not logged each.
  LogThrottle droppedFrames_{"tunnel", LogThrottle::Level::warn};
  std::jthread thread_;
};

}  // namespace tvrn
