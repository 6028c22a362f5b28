// Remembers which AI client most recently reported a tool call through the status server, for
// the heartbeat.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace tvrn {

class MCPClientTracker final {
 public:
  // Takes the name unless it is empty, "TVRN Tray" or "CLI", which say nothing about the client.
  void record(std::string_view client);
  // The last name taken; "" before any.
  std::string last() const;

 private:
  mutable std::mutex mutex_;  // guards client_
  std::string client_;
};

}  // namespace tvrn
