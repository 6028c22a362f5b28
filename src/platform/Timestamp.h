// Moments as the system writes them into its records and file names: UTC, to the second.
#pragma once

#include <chrono>
#include <string>

namespace tvrn::Timestamp {

// 2025-01-31T09:05:00Z.
std::string iso8601UTC(std::chrono::system_clock::time_point when);
// 20250131T090500Z, for file names.
std::string compactUTC(std::chrono::system_clock::time_point when);

// Now, to the second as time() has it: the precise clock can run a moment ahead of it, and a
// stamp must never lie past what a reader of time() calls now.
std::string iso8601UTC();
std::string compactUTC();

}  // namespace tvrn::Timestamp
