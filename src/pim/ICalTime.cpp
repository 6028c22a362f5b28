#include "pim/ICalTime.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <tuple>

#include "pim/ICalZones.h"
#include "pim/PimCodec.h"

namespace tvrn::ICalTime {

using namespace std::chrono;

Form utc() { return Form{}; }

Form date() { return Form{Form::Kind::date, nullptr, {}}; }

namespace {

// The zone database's name of the user's zone: TZ (":Europe/Berlin", a path into the database),
// else where /etc/localtime leads, else /etc/timezone.
std::string userZoneName() {
  std::string name;
  if (const char* tz = std::getenv("TZ"); tz != nullptr) {
    name = *tz == ':' ? tz + 1 : tz;
    if (name.empty()) return "UTC";
  } else {
    char target[4096];
    const ssize_t length = ::readlink("/etc/localtime", target, sizeof target - 1);
    if (length > 0) {
      name.assign(target, static_cast<size_t>(length));
    } else {
      std::ifstream("/etc/timezone") >> name;
    }
  }
  if (const size_t at = name.find("zoneinfo/"); at != std::string::npos) name.erase(0, at + 9);
  return name;
}

const char* tzidOf(icalproperty* prop) {
  icalparameter* tzid = icalproperty_get_first_parameter(prop, ICAL_TZID_PARAMETER);
  return tzid != nullptr ? icalparameter_get_tzid(tzid) : nullptr;
}

}  // namespace

Form userForm() {
  static const std::set<std::string> kUniversal = {
      "UTC",     "UCT",     "GMT",           "GMT0",     "Universal", "Zulu",
      "Etc/UTC", "Etc/UCT", "Etc/Universal", "Etc/Zulu", "Etc/GMT",   "Etc/GMT0"};
  const std::string name = userZoneName();
  if (kUniversal.count(name) != 0) return utc();
  const icaltimezone* zone = ICalZones::systemZone(name);
  if (zone == nullptr) return Form{Form::Kind::floating, nullptr, {}};
  if (zone == icaltimezone_get_utc_timezone()) return utc();
  return Form{Form::Kind::zoned, zone, name};
}

icaltimetype valueOf(icalproperty* prop, icalcomponent* comp) {
  // An RDATE holds a time or a period: a period gives no time here, but its TZID's zone.
  const icalvalue* value = icalproperty_get_value(prop);
  icaltimetype t = icalvalue_isa(value) == ICAL_DATETIMEPERIOD_VALUE
                       ? icalvalue_get_datetimeperiod(value).time
                       : icalvalue_get_datetime(value);
  if (icaltime_is_utc(t) || t.is_date) return t;
  if (const char* tzid = tzidOf(prop)) t.zone = ICalZones::zoneFor(tzid, comp);
  return t;
}

Form formOf(icalcomponent* comp, icalproperty_kind kind) {
  icalproperty* prop = icalcomponent_get_first_property(comp, kind);
  if (prop == nullptr) return utc();
  const icaltimetype t = valueOf(prop, comp);
  if (icaltime_is_null_time(t)) return utc();
  if (t.is_date) return date();
  const char* tzid = tzidOf(prop);
  // "TZID=UTC" is a zone's name as much as any other and is written back as it was.
  if (tzid == nullptr && icaltime_is_utc(t)) return utc();
  return Form{t.zone != nullptr ? Form::Kind::zoned : Form::Kind::floating, t.zone,
              tzid != nullptr ? tzid : ""};
}

icaltimetype wallClock(PimTime time, const icaltimezone* zone) {
  icaltimezone* utcZone = icaltimezone_get_utc_timezone();
  const icaltimetype inUtc =
      icaltime_from_timet_with_zone(system_clock::to_time_t(floor<seconds>(time)), 0, utcZone);
  if (zone == nullptr || zone == utcZone) return inUtc;
  return icaltime_convert_to_zone(inUtc, const_cast<icaltimezone*>(zone));
}

icaltimetype inForm(PimTime time, const Form& form) {
  switch (form.kind) {
    case Form::Kind::date: {
      const year_month_day ymd(floor<days>(time));
      icaltimetype t = icaltime_null_date();
      t.hour = t.minute = t.second = 0;  // libical's null day holds -1 there, which its steps carry
      t.year = static_cast<int>(ymd.year());
      t.month = static_cast<int>(unsigned(ymd.month()));
      t.day = static_cast<int>(unsigned(ymd.day()));
      return t;
    }
    case Form::Kind::utc:
      return wallClock(time, nullptr);
    case Form::Kind::zoned:
      return wallClock(time, form.zone);
    case Form::Kind::floating:
      break;
  }
  const time_t s = system_clock::to_time_t(floor<seconds>(time));
  std::tm local{};
  ::localtime_r(&s, &local);
  icaltimetype t = icaltime_null_time();
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  return t;
}

std::optional<PimTime> instant(icaltimetype t, const icaltimezone* floatingZone) {
  // A month or day that does not exist (libical reads 22613708 as it stands, month 37) would be
  // carried past the years the store keeps, where an instant overflows.
  if (icaltime_is_null_time(t) || t.year < kPimFirstYear || t.year > kPimLastYear || t.month < 1 ||
      t.month > 12 || t.day < 1 || t.day > icaltime_days_in_month(t.month, t.year)) {
    return std::nullopt;
  }
  const sys_days day = year(t.year) / month(static_cast<unsigned>(t.month)) /
                       std::chrono::day(static_cast<unsigned>(t.day));
  if (t.is_date) return PimTime(day);
  const auto clock = hours(t.hour) + minutes(t.minute) + seconds(t.second);
  if (t.zone == nullptr) t.zone = floatingZone;
  std::optional<PimTime> time;
  if (icaltime_is_utc(t)) {
    time = PimTime(day + clock);
  } else if (t.zone != nullptr) {
    // A wall clock the zone shows twice, as the clock goes back, is the later of its two instants
    // (in standard time), as libical and khal read it from a file. libical's conversions and the
    // steps of a rule from a converted start mark the earlier one, which no file can say.
    t.is_daylight = 0;
    auto* zone = const_cast<icaltimezone*>(t.zone);
    const sys_seconds wall = day + clock;
    const sys_seconds read = wall - seconds(icaltimezone_get_utc_offset(zone, &t, nullptr));
    // One the zone skips as the clock goes forward takes the offset before the gap (RFC 5545
    // 3.3.5): 02:30 of a night the clock springs from 02:00 to 03:00 is 03:30 summer time.
    // libical gives it the offset after the gap, an hour early, where the offset before is in
    // force.
    const sys_days on = floor<days>(read);
    const year_month_day date(on);
    const hh_mm_ss of(read - on);
    icaltimetype inUtc = icaltime_null_time();
    inUtc.year = static_cast<int>(date.year());
    inUtc.month = static_cast<int>(unsigned(date.month()));
    inUtc.day = static_cast<int>(unsigned(date.day()));
    inUtc.hour = static_cast<int>(of.hours().count());
    inUtc.minute = static_cast<int>(of.minutes().count());
    inUtc.second = static_cast<int>(of.seconds().count());
    time = std::max(read,
                    wall - seconds(icaltimezone_get_utc_offset_of_utc_time(zone, &inUtc, nullptr)));
  } else {  // floating: the wall clock wherever the user is
    time = DateComponents{t.year, t.month, t.day, t.hour, t.minute}.date();
    if (time) *time += seconds(t.second);
  }
  if (!time || !PimCodec::inStoredRange(*time)) return std::nullopt;
  return time;
}

icaltimetype wallBeside(icaltimetype time, icaltimetype start, const Form& form) {
  icaltimetype wall = time;
  if (form.kind == Form::Kind::date || time.is_date) {
    wall.hour = wall.minute = wall.second = 0;
    // A day among a timed series' times stands for that day's occurrence.
    if (form.kind != Form::Kind::date) {
      wall.hour = start.hour;
      wall.minute = start.minute;
      wall.second = start.second;
    }
  } else if (time.zone != nullptr && form.kind != Form::Kind::floating) {
    wall = icaltime_convert_to_zone(
        time, const_cast<icaltimezone*>(
                  form.kind == Form::Kind::zoned ? form.zone : icaltimezone_get_utc_timezone()));
  } else if (time.zone != nullptr) {
    if (auto at = instant(time)) wall = inForm(*at, form);
  }
  wall.is_date = 0;
  wall.zone = nullptr;
  return wall;
}

std::optional<PimTime> fromWall(icaltimetype wall, const Form& form) {
  switch (form.kind) {
    case Form::Kind::date:
      wall.is_date = 1;
      wall.hour = wall.minute = wall.second = 0;
      break;
    case Form::Kind::utc:
      wall.zone = icaltimezone_get_utc_timezone();
      break;
    case Form::Kind::zoned:
      wall.zone = form.zone;
      break;
    case Form::Kind::floating:
      wall.zone = nullptr;
      break;
  }
  return instant(wall);
}

bool shows(const icaltimetype& wall, const Form& form) {
  const auto at = fromWall(wall, form);
  if (!at) return true;
  const icaltimetype shown = inForm(*at, form);
  return std::tie(shown.year, shown.month, shown.day, shown.hour, shown.minute, shown.second) ==
         std::tie(wall.year, wall.month, wall.day, wall.hour, wall.minute, wall.second);
}

bool holds(PimTime time, const Form& form) {
  return form.kind == Form::Kind::utc || form.kind == Form::Kind::date ||
         fromWall(inForm(time, form), form) == floor<seconds>(time);
}

Form heldBy(PimTime time, const Form& form) {
  if (form.kind != Form::Kind::zoned || holds(time, form)) return form;
  return utc();
}

icalproperty* property(icalproperty_kind kind, PimTime time, const Form& form) {
  return property(kind, inForm(time, form), form);
}

icalproperty* property(icalproperty_kind kind, icaltimetype t, const Form& form) {
  // The TZID names the zone; a time marked as UTC would be written with a "Z" beside it.
  t.zone = form.kind == Form::Kind::utc ? icaltimezone_get_utc_timezone() : nullptr;
  icalproperty* prop = nullptr;
  switch (kind) {
    case ICAL_DTSTART_PROPERTY:
      prop = icalproperty_new_dtstart(t);
      break;
    case ICAL_DTEND_PROPERTY:
      prop = icalproperty_new_dtend(t);
      break;
    case ICAL_DUE_PROPERTY:
      prop = icalproperty_new_due(t);
      break;
    case ICAL_RECURRENCEID_PROPERTY:
      prop = icalproperty_new_recurrenceid(t);
      break;
    case ICAL_EXDATE_PROPERTY:
      prop = icalproperty_new_exdate(t);
      break;
    case ICAL_RDATE_PROPERTY:
      prop = icalproperty_new_rdate({t, icalperiodtype_null_period()});
      break;
    default:
      prop = icalproperty_new_completed(t);
      break;
  }
  if ((form.kind == Form::Kind::zoned || form.kind == Form::Kind::floating) && !form.tzid.empty()) {
    icalproperty_add_parameter(prop, icalparameter_new_tzid(form.tzid.c_str()));
  }
  return prop;
}

icaltimetype until(PimTime last, const Form& start) {
  // A TZID nobody defines still names a zone: UTC beside it, as beside any other.
  if (start.kind == Form::Kind::date ||
      (start.kind == Form::Kind::floating && start.tzid.empty())) {
    return inForm(last, start);
  }
  return inForm(last, utc());
}

}  // namespace tvrn::ICalTime
