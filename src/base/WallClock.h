// The time of day that token expiries and sign-in windows are measured against: the system clock,
// or a moment a test fixes so that a boundary can be hit to the fraction of a second.
#pragma once

#include <chrono>

namespace tvrn::WallClock {

using TimePoint = std::chrono::system_clock::time_point;

TimePoint now();
// now() as seconds since 1970, with the fraction.
double secondsSince1970();

// From now on now() answers `moment` until the system clock is put back.
void fixAt(TimePoint moment);
void fixAt(double secondsSince1970);
void useSystemClock();

}  // namespace tvrn::WallClock
