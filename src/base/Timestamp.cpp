#include "base/Timestamp.h"

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

// The digits at `at`, exactly `count` of them; advances `at`.
std::optional<int> digits(std::string_view text, std::size_t& at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  at += count;
  return value;
}

bool expect(std::string_view text, std::size_t& at, char wanted) {
  if (at >= text.size() || text[at] != wanted) return false;
  ++at;
  return true;
}

system_clock::time_point secondNow() { return system_clock::from_time_t(std::time(nullptr)); }

}  // namespace

std::string iso8601UTC(system_clock::time_point when) {
  return format(when, "%04d-%02u-%02uT%02d:%02d:%02dZ");
}

std::string iso8601UTCMillis(system_clock::time_point when) {
  const auto millis = floor<milliseconds>(when);
  const auto fraction = (millis - floor<seconds>(millis)).count();
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ".%03dZ", static_cast<int>(fraction));
  return format(millis, "%04d-%02u-%02uT%02d:%02d:%02d") + suffix;
}

std::string compactUTC(system_clock::time_point when) {
  return format(when, "%04d%02u%02uT%02d%02d%02dZ");
}

std::string iso8601UTC() { return iso8601UTC(secondNow()); }

std::string compactUTC() { return compactUTC(secondNow()); }

std::optional<system_clock::time_point> parseISO8601(std::string_view text) {
  std::size_t at = 0;
  const auto y = digits(text, at, 4);
  if (!y || !expect(text, at, '-')) return std::nullopt;
  const auto mo = digits(text, at, 2);
  if (!mo || !expect(text, at, '-')) return std::nullopt;
  const auto d = digits(text, at, 2);
  if (!d || !expect(text, at, 'T')) return std::nullopt;
  const auto h = digits(text, at, 2);
  if (!h || !expect(text, at, ':')) return std::nullopt;
  const auto mi = digits(text, at, 2);
  if (!mi || !expect(text, at, ':')) return std::nullopt;
  const auto s = digits(text, at, 2);
  if (!s) return std::nullopt;

  nanoseconds fraction{0};
  if (at < text.size() && text[at] == '.') {
    ++at;
    const std::size_t start = at;
    long long scale = 1'000'000'000;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      scale /= 10;
      fraction += nanoseconds((text[at] - '0') * scale);
      ++at;
    }
    if (at == start) return std::nullopt;
  }

  if (!expect(text, at, 'Z') || at != text.size()) return std::nullopt;

  const year_month_day date{year(*y), month(static_cast<unsigned>(*mo)),
                            day(static_cast<unsigned>(*d))};
  if (!date.ok() || *h > 23 || *mi > 59 || *s > 60) return std::nullopt;
  const auto moment = sys_days(date) + hours(*h) + minutes(*mi) + seconds(*s);
  return time_point_cast<system_clock::duration>(moment + fraction);
}

}  // namespace tvrn::Timestamp
