// The loopback HTTP server of the status and settings routes (127.0.0.1 and [::1], a thread per
// connection) and the writer that keeps status.json fresh for the tray.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ServerContext.h"
#include "status/LoopbackListener.h"
#include "status/StatusConnection.h"
#include "status/StatusDocument.h"
#include "status/StatusRouteTable.h"

namespace tvrn {

class StatusServer final {
 public:
  static constexpr std::chrono::seconds kStatusFileInterval{5};
  static constexpr std::size_t kMaxBodyBytes = StatusConnection::kMaxBodyBytes;

  struct Options {
    // A port held by another program is tried every 250 ms for 5 s, then every 5 s.
    LoopbackListener::Timing binding;
    // The request line, headers and body all arrive within this of connecting.
    std::chrono::milliseconds requestDeadline{10000};
    // How often status.json is written when nothing asks for it sooner.
    std::chrono::milliseconds statusFileInterval = kStatusFileInterval;
    // Who made a connection's peer socket; only the user's own (and root's) are served.
    LoopbackListener::PeerOwner peerOwner = SocketOwner::ofLoopbackPeer;
  };

  // The server reports the activity of `context`, and adds to it the calls other processes
  // report; without one it keeps a context of its own.
  explicit StatusServer(std::string version, std::shared_ptr<ServerContext> context = {});
  StatusServer(std::string version, Options options, std::shared_ptr<ServerContext> context = {});
  ~StatusServer();  // stops, as stop() does
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Starts both listeners and the status-file writer on threads of their own and returns at
  // once. The port is TVRN_STATUS_PORT's, else 8765. An address whose port another program
  // holds keeps being tried until it is free, while the other address already answers.
  void start();
  // Ends the listeners (requests under way finish) and the writer, and waits for their threads.
  // A writer that has been keeping status.json leaves a last one that says the server stopped.
  void stop();

  // The loopback addresses ("127.0.0.1", "::1") this server listens on now; none while other
  // programs hold the port on both. Any thread.
  std::vector<std::string> boundHosts() const;

  // What the status says changed (the services behind a permission, say): status.json is
  // written again now rather than at the next interval, when this process keeps it. Any thread.
  void statusChanged();

  // The status JSON written atomically (0600) to status.json in the application-support folder.
  [[nodiscard]] static bool writeStatusFile(
      const std::string& version, const ServerContext& context,
      StatusDocument::ServerState state = StatusDocument::ServerState::connected);

 private:
  void writeStatusFiles(std::stop_token stop);
  void addRoutes(StatusRouteTable& routes);

  const std::string version_;
  const Options options_;
  const std::shared_ptr<ServerContext> context_;
  int port_ = 0;
  StatusRouteTable routes_;
  std::vector<std::unique_ptr<LoopbackListener>> listeners_;
  static constexpr const char* kHosts[] = {"127.0.0.1", "::1"};
  std::array<std::atomic<bool>, std::size(kHosts)> bound_{};  // by kHosts' index
  std::atomic<bool> writingStatusFile_{false};  // the writer holds the tunnel lock
  std::mutex changedMutex_;                     // guards changed_
  std::condition_variable_any wakeWriter_;
  bool changed_ = false;  // since the writer last began a write
  std::jthread writer_;
};

}  // namespace tvrn
