// The loopback HTTP server of the status and settings routes (127.0.0.1 and [::1], one thread
// each) and the writer that keeps status.json fresh for the tray.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tvrn {

class StatusServer final {
 public:
  // A port held by another program is tried again for this long before giving up.
  static constexpr std::chrono::seconds kBindPatience{5};
  static constexpr std::chrono::milliseconds kBindRetry{250};
  static constexpr std::chrono::seconds kStatusFileInterval{5};
  static constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

  explicit StatusServer(std::string version);
  ~StatusServer();  // stops, as stop() does
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // Starts both listeners and the status-file writer on threads of their own and returns at
  // once. The port is TVRN_STATUS_PORT's, else 8765.
  void start();
  // Ends the listeners (requests under way finish) and the writer, and waits for their threads.
  void stop();

  // The status JSON written atomically (0600) to status.json in the application-support folder.
  static bool writeStatusFile(const std::string& version);

 private:
  struct Listener;
  void listen(Listener& listener);
  void writeStatusFiles(std::stop_token stop);
  void addRoutes(httplib::Server& server);

  const std::string version_;
  int port_ = 0;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::mutex mutex_;  // guards stopping_
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::jthread writer_;
};

}  // namespace tvrn
