// One loopback address of the status server: binds it (again and again while another program
// holds the port), accepts connections and serves each on a thread of its own. Connections are
// capped; past the cap the one that has waited longest without finishing its request makes room,
// so quiet or slow peers can never take every place from the tray and the reports. Who made the
// peer's socket is asked as soon as a connection is accepted: another user's (or one nobody can
// tell, RequestGuard::strangerRefusal) is refused there and then, unread, and never takes a place
// or a thread, so however many of them come, the user's own connections keep theirs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "base/Result.h"
#include "core/LogThrottle.h"
#include "platform/SocketOwner.h"

namespace tvrn {

class LoopbackListener final {
 public:
  struct Timing {
    // While the port is taken it is tried this often for the patience, then every laterRetry.
    std::chrono::milliseconds bindRetry{250};
    std::chrono::milliseconds bindPatience{5000};
    std::chrono::milliseconds laterRetry{5000};
  };
  static constexpr std::size_t kMaxConnections = 128;

  // Handed to the serving function: the connected socket of one of the user's own programs, and
  // a call that tells the listener the request has been read, so the connection is no longer the
  // one to drop for a newcomer.
  struct Connection {
    int socket;
    std::function<void()> requestRead;
  };
  using Serve = std::function<void(const Connection&)>;
  // Answers a stranger's connection on the accepting thread, at once and without reading it or
  // waiting for anything; the listener closes it then.
  using Refuse = std::function<void(int socket)>;
  // Who made the peer's socket of an accepted connection.
  using PeerOwner = std::function<Result<uid_t, std::string>(int socket)>;

  LoopbackListener(std::string host, int port, Timing timing, Serve serve, Refuse refuse,
                   PeerOwner peerOwner = SocketOwner::ofLoopbackPeer);
  ~LoopbackListener();  // stops, as stop() does
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // Binds and accepts on a thread of its own; returns at once. `onBound` runs once, on that
  // thread, when the address is first bound.
  void start(std::function<void()> onBound);
  // Ends accepting and every connection still reading its request, then waits for the requests
  // under way to be answered.
  void stop();

 private:
  struct Open {
    int socket;
    bool reading = true;  // has not finished sending its request
  };

  void run();
  int bindWithRetries();
  bool waitBeforeRetry(std::chrono::milliseconds delay);
  void acceptLoop(int listening);
  bool refusedAsStranger(int socket);
  bool admit(int socket);
  void serveOn(std::list<Open>::iterator open);
  std::string where() const;

  const std::string host_;
  const int port_;
  const Timing timing_;
  const Serve serve_;
  const Refuse refuse_;
  const PeerOwner peerOwner_;
  LogThrottle strangers_{"status", LogThrottle::Level::warn};
  std::function<void()> onBound_;
  std::thread thread_;

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  bool stopping_ = false;
  int listening_ = -1;
  std::list<Open> open_;  // oldest first
};

}  // namespace tvrn
