#include "pim/PimTypes.h"

#include <ctime>
#include <limits>
#include <utility>

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
// latest instant whose offset reads it (the later of two as the clock goes back), else, where
// the clock skips it, the latest instant an offset in force around it would give (the offset
// before the gap). The offsets are those in force every few hours within the 14 hours either way
// an offset may reach, so a short summer time (a day) is seen too.
struct Reading {
  std::time_t instant = 0;
  bool shown = false;
};
Reading readingOf(std::time_t wall) {
  Reading r{std::numeric_limits<std::time_t>::min(), false};
  long last = std::numeric_limits<long>::min();
  for (std::time_t from = wall - 15 * 3600; from <= wall + 15 * 3600; from += 5 * 3600) {
    const long offset = offsetAt(from);
    if (offset == std::exchange(last, offset)) continue;
    const std::time_t at = wall - offset;
    const bool shown = offsetAt(at) == offset;
    if (shown > r.shown || (shown == r.shown && at > r.instant)) r = {at, shown};
  }
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
  return std::chrono::system_clock::from_time_t(readingOf(*wall).instant);
}

std::optional<std::pair<DateComponents, DateComponents>> DateComponents::skipped() const {
  const auto wall = wallSeconds(*this);
  if (!wall) return std::nullopt;
  const Reading r = readingOf(*wall);
  if (r.shown) return std::nullopt;
  // The clock springs forward between the offset before the gap, which reads it as r.instant,
  // and the one in force then.
  const long before = *wall - r.instant, after = offsetAt(r.instant);
  std::time_t low = *wall - after, high = r.instant;
  while (high - low > 1) {
    const std::time_t middle = low + (high - low) / 2;
    (offsetAt(middle) == before ? low : high) = middle;
  }
  return std::pair{componentsAt(high + before), componentsAt(high + after)};
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
