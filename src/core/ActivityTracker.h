// The newest tool calls of one server, with when they were made, where they came from and which
// tool they named, for the status JSON and the environment-state tool.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/CallSource.h"

namespace tvrn {

struct ActivityEntry {
  std::chrono::system_clock::time_point at;
  CallSource source;
  std::string tool;
};

class ActivityTracker final {
 public:
  // How many calls the list keeps; the oldest one is dropped beyond this.
  static constexpr int kCapacity = 20;

  // Records a call, stamped now, at the front of the list.
  void record(CallSource source, std::string_view tool);
  // The newest call, if any was recorded.
  std::optional<ActivityEntry> snapshot() const;
  // Up to `limit` calls, newest first; a negative limit counts as 0.
  std::vector<ActivityEntry> recentEntries(int limit = kCapacity) const;

 private:
  mutable std::mutex mutex_;           // guards entries_
  std::deque<ActivityEntry> entries_;  // newest first, at most kCapacity
};

}  // namespace tvrn
