// Calendar days as text, for records that name a day rather than a moment.
#pragma once

#include <chrono>
#include <string>

namespace tvrn {

// The day `date` falls on in the current time zone, as "yyyy-MM-dd".
std::string iso8601Date(std::chrono::system_clock::time_point date);

}  // namespace tvrn
