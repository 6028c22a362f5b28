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

}  // namespace tvrn
