// Moments as the system writes them into its records and file names: UTC, to the second (or
// the millisecond where a record tells calls apart), and read back.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tvrn::Timestamp {

// 2025-01-31T09:05:00Z.
std::string iso8601UTC(std::chrono::system_clock::time_point when);
// 2025-01-31T09:05:00.417Z.
std::string iso8601UTCMillis(std::chrono::system_clock::time_point when);
// 20250131T090500Z, for file names.
std::string compactUTC(std::chrono::system_clock::time_point when);

// Now, to the second as time() has it: the precise clock can run a moment ahead of it, and a
// stamp must never lie past what a reader of time() calls now.
std::string iso8601UTC();
std::string compactUTC();

// Reads 2025-01-31T09:05:00Z, with or without fractional seconds; nothing for any other form.
std::optional<std::chrono::system_clock::time_point> parseISO8601(std::string_view text);

}  // namespace tvrn::Timestamp
