// Calendar days as text, for records that name a day rather than a moment.
#pragma once

#include <chrono>
#include <string>

namespace tvrn {

// The day `date` falls on in the current time zone, as "yyyy-MM-dd".
std::string iso8601Date(std::chrono::system_clock::time_point date);

// The local midnight that begins the day `days` after the one holding `now`; the C library
// places it, so a day that daylight saving makes 23 or 25 hours long ends where it really ends.
std::chrono::system_clock::time_point localMidnight(std::chrono::system_clock::time_point now,
                                                    int days);

}  // namespace tvrn
