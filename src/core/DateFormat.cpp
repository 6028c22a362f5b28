#include "core/DateFormat.h"

#include <cstdio>
#include <ctime>

namespace tvrn {
namespace {

std::string dayText(long long year, unsigned month, unsigned day) {
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u", year, month, day);
  return text;
}

}  // namespace

std::string iso8601Date(std::chrono::system_clock::time_point date) {
  // Floor, not truncate, so a moment just before 1970 stays on its own day.
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  const std::time_t when = seconds.time_since_epoch().count();
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    // Beyond what the C library can place in a zone: the UTC day is the best that can be said.
    const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(date)};
    return dayText(static_cast<int>(day.year()), static_cast<unsigned>(day.month()),
                   static_cast<unsigned>(day.day()));
  }
  return dayText(local.tm_year + 1900LL, static_cast<unsigned>(local.tm_mon + 1),
                 static_cast<unsigned>(local.tm_mday));
}

std::chrono::system_clock::time_point localMidnight(std::chrono::system_clock::time_point now,
                                                    int days) {
  using Clock = std::chrono::system_clock;
  const std::time_t when = Clock::to_time_t(now);
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    return std::chrono::floor<std::chrono::days>(now) + std::chrono::days(days);
  }
  local.tm_mday += days;
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return Clock::from_time_t(std::mktime(&local));
}

}  // namespace tvrn
