#include "core/ActivityTracker.h"

#include <algorithm>

namespace tvrn {

void ActivityTracker::record(CallSource source, std::string_view tool) {
  ActivityEntry entry{std::chrono::system_clock::now(), source, std::string(tool)};
  std::lock_guard hold(mutex_);
  entries_.push_front(std::move(entry));
  while (entries_.size() > static_cast<std::size_t>(kCapacity)) entries_.pop_back();
}

std::optional<ActivityEntry> ActivityTracker::snapshot() const {
  std::lock_guard hold(mutex_);
  if (entries_.empty()) return std::nullopt;
  return entries_.front();
}

std::vector<ActivityEntry> ActivityTracker::recentEntries(int limit) const {
  std::lock_guard hold(mutex_);
  const auto count = std::min(entries_.size(), static_cast<std::size_t>(std::max(limit, 0)));
  return {entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(count)};
}

}  // namespace tvrn
