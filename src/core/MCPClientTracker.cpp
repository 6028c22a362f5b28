#include "core/MCPClientTracker.h"

namespace tvrn {

void MCPClientTracker::record(std::string_view client) {
  if (client.empty() || client == "TVRN Tray" || client == "CLI") return;
  std::lock_guard lock(mutex_);
  client_ = client;
}

std::string MCPClientTracker::last() const {
  std::lock_guard lock(mutex_);
  return client_;
}

}  // namespace tvrn
