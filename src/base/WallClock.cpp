#include "base/WallClock.h"

#include <atomic>
#include <cstdint>

namespace tvrn::WallClock {
namespace {

using Ticks = std::chrono::system_clock::duration;

std::atomic<bool> fixed{false};
std::atomic<Ticks::rep> fixedTicks{0};  // since 1970, read only while `fixed` is set

}  // namespace

TimePoint now() {
  if (fixed.load(std::memory_order_acquire)) {
    return TimePoint(Ticks(fixedTicks.load(std::memory_order_relaxed)));
  }
  return std::chrono::system_clock::now();
}

double secondsSince1970() {
  return std::chrono::duration<double>(now().time_since_epoch()).count();
}

void fixAt(TimePoint moment) {
  fixedTicks.store(moment.time_since_epoch().count(), std::memory_order_relaxed);
  fixed.store(true, std::memory_order_release);
}

void fixAt(double seconds) {
  fixAt(TimePoint(std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(seconds))));
}

void useSystemClock() { fixed.store(false, std::memory_order_release); }

}  // namespace tvrn::WallClock
