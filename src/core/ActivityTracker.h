// The process's list of the newest tool calls, with when they were made, where they came from and
// which tool they named, for the status JSON and the environment-state tool.
#pragma once

#include <chrono>
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

namespace ActivityTracker {

// How many calls the list keeps; the oldest one is dropped beyond this.
inline constexpr int kCapacity = 20;

// Records a call, stamped now, at the front of the list.
void record(CallSource source, std::string_view tool);

// The newest call, if any was recorded.
std::optional<ActivityEntry> snapshot();

// Up to `limit` calls, newest first; a negative limit counts as 0.
std::vector<ActivityEntry> recentEntries(int limit = kCapacity);

// Tests only: empties the list, as in a fresh process.
void resetForTests();

}  // namespace ActivityTracker
}  // namespace tvrn
