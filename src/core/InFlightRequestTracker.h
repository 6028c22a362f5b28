// The number of tool calls one server is running right now, so that the self-updater can wait
// for a quiet moment before it replaces binaries and restarts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tvrn {

class InFlightRequestTracker final {
 public:
  InFlightRequestTracker() = default;

  void increment();
  // Never goes below 0: an unmatched decrement leaves the count at 0.
  void decrement();
  int count() const;

  // Waits until no call is running or the time-out has passed; true when the count is 0. Calls
  // that start meanwhile are not held back. A time-out of 0 or less answers at once.
  bool drain(std::chrono::duration<double> timeout = std::chrono::seconds(45));

  InFlightRequestTracker(const InFlightRequestTracker&) = delete;
  InFlightRequestTracker& operator=(const InFlightRequestTracker&) = delete;

 private:
  mutable std::mutex lock_;       // guards count_
  std::condition_variable idle_;  // notified when count_ reaches 0
  int count_ = 0;
};

}  // namespace tvrn
