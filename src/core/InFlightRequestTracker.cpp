#include "core/InFlightRequestTracker.h"

#include <algorithm>

namespace tvrn {

void InFlightRequestTracker::increment() {
  std::lock_guard hold(lock_);
  ++count_;
}

void InFlightRequestTracker::decrement() {
  bool nowIdle = false;
  {
    std::lock_guard hold(lock_);
    if (count_ > 0) --count_;
    nowIdle = count_ == 0;
  }
  if (nowIdle) idle_.notify_all();
}

int InFlightRequestTracker::count() const {
  std::lock_guard hold(lock_);
  return count_;
}

// Waiting on the condition releases the lock, so running calls can finish meanwhile, and the
// wait ends as soon as the last one does rather than at the next poll.
bool InFlightRequestTracker::drain(std::chrono::duration<double> timeout) {
  // Long enough to mean "for ever" while the deadline still fits the clock's range.
  constexpr std::chrono::duration<double> kLongest = std::chrono::hours(24 * 365 * 100);
  std::unique_lock hold(lock_);
  if (!(timeout.count() > 0)) return count_ == 0;
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::min(timeout, kLongest));
  return idle_.wait_until(hold, deadline, [this] { return count_ == 0; });
}

}  // namespace tvrn
