#include "pim/PimTypes.h"

#include <ctime>

namespace tvrn {

DateComponents DateComponents::fromDate(PimTime date, bool withTimeOfDay) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  DateComponents components{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, {}, {}};
  if (withTimeOfDay) {
    components.hour = local.tm_hour;
    components.minute = local.tm_min;
  }
  return components;
}

namespace {

// The local zone's offset from UTC at `instant`, in seconds.
long offsetAt(std::time_t instant) {
  std::tm local{};
  ::localtime_r(&instant, &local);
  return local.tm_gmtoff;
}

// How a wall clock of the local zone is read, `wall` its seconds counted as if it were UTC: the
// offsets in force before and after it (an offset is at most 14 hours either way, so no reading
// of it lies outside the hours around it), and which of them read it.
struct Reading {
  long before = 0, after = 0;
  bool byBefore = false, byAfter = false;
};
Reading readingOf(std::time_t wall) {
  constexpr std::time_t kFarthest = 15 * 3600;
  Reading r{offsetAt(wall - kFarthest), offsetAt(wall + kFarthest)};
  r.byBefore = offsetAt(wall - r.before) == r.before;
  r.byAfter = offsetAt(wall - r.after) == r.after;
  return r;
}

std::optional<std::time_t> wallSeconds(const DateComponents& c) {
  if (!c.year || !c.month || !c.day || *c.year < kPimFirstYear || *c.year > kPimLastYear) {
    return std::nullopt;
  }
  std::tm wall{};
  wall.tm_year = *c.year - 1900;
  wall.tm_mon = *c.month - 1;
  wall.tm_mday = *c.day;
  wall.tm_hour = c.hour.value_or(0);
  wall.tm_min = c.minute.value_or(0);
  wall.tm_wday = -1;  // timegm sets it only when it succeeds
  const std::time_t seconds = ::timegm(&wall);
  // The fields carried on (month 37 of 2261 is in 2264) must stay in the years kept too.
  if (wall.tm_wday == -1 || wall.tm_year + 1900 > kPimLastYear) return std::nullopt;
  return seconds;
}

DateComponents componentsAt(std::time_t wall) {
  std::tm at{};
  ::gmtime_r(&wall, &at);
  return {at.tm_year + 1900, at.tm_mon + 1, at.tm_mday, at.tm_hour, at.tm_min};
}

}  // namespace

std::optional<PimTime> DateComponents::date() const {
  const auto wall = wallSeconds(*this);
  if (!wall) return std::nullopt;
  // The later of two instants the clock shows it at as it goes back (standard time), as a file's
  // time is read; one the clock skips as it goes forward with the offset before the gap (RFC
  // 5545 3.3.5: 02:30 of the night summer time begins is 03:30 summer time). The C library's own
  // choice depends on what it was asked before.
  const Reading r = readingOf(*wall);
  long offset = r.before;
  if (r.byAfter && (!r.byBefore || *wall - r.after > *wall - r.before)) offset = r.after;
  return std::chrono::system_clock::from_time_t(*wall - offset);
}

std::optional<std::pair<DateComponents, DateComponents>> DateComponents::skipped() const {
  const auto wall = wallSeconds(*this);
  if (!wall) return std::nullopt;
  const Reading r = readingOf(*wall);
  if (r.byBefore || r.byAfter || r.after <= r.before) return std::nullopt;
  // The instant the clock springs forward lies between the two readings.
  std::time_t low = *wall - r.after, high = *wall - r.before;
  while (high - low > 1) {
    const std::time_t middle = low + (high - low) / 2;
    (offsetAt(middle) == r.before ? low : high) = middle;
  }
  return std::pair{componentsAt(high + r.before), componentsAt(high + r.after)};
}

std::optional<std::string> formattedFullName(const Contact& contact) {
  std::string name;
  for (const std::string* part : {&contact.givenName, &contact.middleName, &contact.familyName}) {
    if (part->empty()) continue;
    if (!name.empty()) name += ' ';
    name += *part;
  }
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace tvrn
