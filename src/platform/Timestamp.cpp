#include "platform/Timestamp.h"

#include <cstdio>
#include <ctime>

namespace tvrn::Timestamp {
namespace {

using namespace std::chrono;

// Worked out from the calendar rather than the C library, so every moment has a text.
std::string format(system_clock::time_point when, const char* pattern) {
  const auto whole = floor<seconds>(when);
  const sys_days day = floor<days>(whole);
  const year_month_day date(day);
  const hh_mm_ss time(whole - day);
  char text[40];
  std::snprintf(text, sizeof text, pattern, static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

system_clock::time_point secondNow() { return system_clock::from_time_t(std::time(nullptr)); }

}  // namespace

std::string iso8601UTC(system_clock::time_point when) {
  return format(when, "%04d-%02u-%02uT%02d:%02d:%02dZ");
}

std::string compactUTC(system_clock::time_point when) {
  return format(when, "%04d%02u%02uT%02d%02d%02dZ");
}

std::string iso8601UTC() { return iso8601UTC(secondNow()); }

std::string compactUTC() { return compactUTC(secondNow()); }

}  // namespace tvrn::Timestamp
