#include "core/ActivityTracker.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace tvrn::ActivityTracker {
namespace {

struct State {
  std::mutex lock;                   // guards buffer
  std::deque<ActivityEntry> buffer;  // newest first, at most kCapacity
};

State& state() {
  static State instance;
  return instance;
}

}  // namespace

void record(CallSource source, std::string_view tool) {
  ActivityEntry entry{std::chrono::system_clock::now(), source, std::string(tool)};
  State& s = state();
  std::lock_guard hold(s.lock);
  s.buffer.push_front(std::move(entry));
  while (s.buffer.size() > static_cast<std::size_t>(kCapacity)) s.buffer.pop_back();
}

std::optional<ActivityEntry> snapshot() {
  State& s = state();
  std::lock_guard hold(s.lock);
  if (s.buffer.empty()) return std::nullopt;
  return s.buffer.front();
}

std::vector<ActivityEntry> recentEntries(int limit) {
  State& s = state();
  std::lock_guard hold(s.lock);
  const auto count = std::min(s.buffer.size(), static_cast<std::size_t>(std::max(limit, 0)));
  return {s.buffer.begin(), s.buffer.begin() + static_cast<std::ptrdiff_t>(count)};
}

void resetForTests() {
  State& s = state();
  std::lock_guard hold(s.lock);
  s.buffer.clear();
}

}  // namespace tvrn::ActivityTracker
