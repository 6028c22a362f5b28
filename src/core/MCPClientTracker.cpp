#include "core/MCPClientTracker.h"

#include <mutex>

namespace tvrn::MCPClientTracker {
namespace {

std::mutex mutex;  // guards client
std::string client;

}  // namespace

void record(std::string_view name) {
  if (name.empty() || name == "TVRN Tray" || name == "CLI") return;
  std::lock_guard lock(mutex);
  client = name;
}

std::string last() {
  std::lock_guard lock(mutex);
  return client;
}

}  // namespace tvrn::MCPClientTracker
