#include "pim/ICalSeries.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <numeric>
#include <set>

#include "pim/ICalProperties.h"
#include "pim/RecurrenceWalk.h"

namespace tvrn::ICalSeries {
namespace {

using namespace std::chrono;
using namespace ICalProperties;
using Kind = ICalTime::Form::Kind;

// Whether a BY part of a rule lists no value, and whether it lists more than one.
bool none(const short* list) { return list[0] == ICAL_RECURRENCE_ARRAY_MAX; }
bool several(const short* list) { return list[1] != ICAL_RECURRENCE_ARRAY_MAX; }

// What following one rule may cost a change, in the walk's steps (see RecurrenceWalk): a change
// checks a rule against its move, two walks, well within a second. Rules whose instances repeat
// week by week are walked over a repetition or two, however long they run.
constexpr long kMaxWork = 1'000'000;

const std::string kCut = "The series cannot be cut in two at this occurrence: ";
const char* const kOneByOne = " Change or remove its occurrences one at a time.";
const char* const kInstead =
    " Move its occurrences one at a time, or end the series and create a new one that repeats "
    "as wanted.";

// The seconds of one step of a rule's frequency (a month and a year at their shortest).
long periodSeconds(const icalrecurrencetype& recur) {
  static constexpr long kSeconds[] = {1, 60, 3600, 86400, 7 * 86400L, 28 * 86400L, 365 * 86400L};
  const auto freq = static_cast<size_t>(recur.freq);
  return (freq < std::size(kSeconds) ? kSeconds[freq] : 86400L) * std::max<long>(1, recur.interval);
}

// A rule's instances as the store lists them, within the cost one change may take.
class Walk {
 public:
  Walk(const icalrecurrencetype& recur, const icaltimetype& start)
      : steps_(recur, start, kMaxWork), from_(wallSeconds(start)) {}
  explicit operator bool() const { return static_cast<bool>(steps_); }
  // The next instance; a null time after the last one, or once the cost is spent.
  icaltimetype next() { return steps_.next(); }
  bool spent() const { return steps_.spent(); }
  // The wall-clock seconds from the start to `t`.
  long since(const icaltimetype& t) const { return wallSeconds(t) - from_; }

 private:
  RecurrenceWalk steps_;
  long from_;
};

// After how long a rule's instances repeat on the wall clock until it ends: its steps and the
// weeks come round together. Nothing for one that follows the months or the years, whose lengths
// repeat only after centuries.
std::optional<long> repeatsAfter(const icalrecurrencetype& recur) {
  if (recur.freq > ICAL_WEEKLY_RECURRENCE || recur.rscale != nullptr || !none(recur.by_month) ||
      !none(recur.by_month_day) || !none(recur.by_year_day) || !none(recur.by_week_no) ||
      !none(recur.by_set_pos)) {
    return std::nullopt;
  }
  for (const short day : recur.by_day) {
    if (day == ICAL_RECURRENCE_ARRAY_MAX) break;
    if (icalrecurrencetype_day_position(day) != 0) return std::nullopt;
  }
  return std::lcm(periodSeconds(recur), 7 * 86400L);
}

std::string tooMany(const icalrecurrencetype& recur, const RulePlace& place);

bool sameWall(const icaltimetype& a, const icaltimetype& b) {
  if ((a.is_date != 0) != (b.is_date != 0)) return false;
  const bool day = a.year == b.year && a.month == b.month && a.day == b.day;
  return day && (a.is_date || (a.hour == b.hour && a.minute == b.minute && a.second == b.second));
}

std::string dayText(const icaltimetype& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

// A wall clock of `form` as the user reads it: on their own clock (a day stays a day).
std::string wallText(icaltimetype t, const ICalTime::Form& form) {
  if (t.is_date || form.kind == Kind::date) return dayText(t);
  const auto at = ICalTime::fromWall(t, form);
  return at ? userText(*at) : dayText(t);
}

std::string ruleText(icalrecurrencetype recur) {
  char* text = icalrecurrencetype_as_string_r(&recur);
  std::string out = "RRULE:" + std::string(text != nullptr ? text : "");
  std::free(text);
  return out;
}

// A rule as a refusal names it: its text, and the file and line that state it where known.
std::string ruleNamed(const icalrecurrencetype& recur, const RulePlace& place) {
  const std::string where = place ? place(recur) : "";
  return ruleText(recur) + (where.empty() ? "" : " (" + where + ")");
}

std::string tooMany(const icalrecurrencetype& recur, const RulePlace& place) {
  return "its rule " + ruleNamed(recur, place) +
         " repeats too often to follow each of its occurrences in one change.";
}

// The instant a rule's wall-clock instance names in the frame of the start it steps from.
std::optional<PimTime> instantOf(icaltimetype wall, const icaltimetype& start) {
  wall.zone = start.zone;
  return ICalTime::instant(wall);
}

// A rule's UNTIL on the wall clock it steps on (see wallSteps).
icaltimetype wallUntil(const icalrecurrencetype& recur, const icaltimetype& start) {
  icaltimetype until = recur.until;
  // One that names no day (month 37, which libical carries into a later year) is no end.
  if (!exists(until)) return icaltime_null_time();
  const bool instant =
      !icaltime_is_null_time(until) && !until.is_date && !start.is_date && until.zone != nullptr;
  if (instant && start.zone != nullptr) {
    // On the zone's clock, as khal bounds the rule: an instance at a time the clock skips is read
    // with the offset before the gap, after its instant's own wall clock (02:30 is 03:30's
    // instant), so a bound at its instant keeps it.
    until = icaltime_convert_to_zone(until, const_cast<icaltimezone*>(start.zone));
  } else if (const auto at = instant ? ICalTime::instant(until) : std::nullopt) {
    // UNTIL names an instant, which a floating start (a TZID nobody defines too) reads on the
    // user's clock, as the listing reads the start.
    until = ICalTime::inForm(*at, ICalTime::Form{Kind::floating, nullptr, {}});
  }
  until.zone = nullptr;
  return until;
}

// Where a walk over a rule's instances up to the wall clock `to` (in wallSeconds) may begin: as
// many whole repetitions of them (repeatsAfter) after its start as leave the last one before `to`
// and its end to walk, less the instances those hold. The rule from its start where its instances
// do not repeat so.
struct Entry {
  icalrecurrencetype recur;
  icaltimetype start;
  long skipped = 0;
  bool spent = false;  // counting the instances of one repetition took the whole cost
};
Entry entryBefore(const icalrecurrencetype& recur, const icaltimetype& start, long to) {
  Entry entry{recur, start};
  const auto period = repeatsAfter(recur);
  if (!period) return entry;
  if (const icaltimetype until = wallUntil(recur, start); !icaltime_is_null_time(until)) {
    to = std::min(to, wallSeconds(until));
  }
  if (to == std::numeric_limits<long>::max() && recur.count <= 0) return entry;  // no end to near
  long periods = (to - wallSeconds(start)) / *period - 1;
  if (periods < 1) return entry;
  Walk first(recur, start);
  long each = 0;
  icaltimetype t = first.next();
  for (; !icaltime_is_null_time(t) && first.since(t) < *period; t = first.next()) ++each;
  entry.spent = first.spent();
  if (icaltime_is_null_time(t) || each == 0) return entry;  // it ends within one repetition
  if (recur.count > 0) periods = std::min(periods, (recur.count - 1) / each);
  if (periods < 1) return entry;
  entry.skipped = periods * each;
  if (recur.count > 0) entry.recur.count = static_cast<int>(recur.count - entry.skipped);
  icaltime_adjust(&entry.start, static_cast<int>(periods * (*period / 86400)), 0, 0, 0);
  return entry;
}

// A rule's instances before `original`: how many, the last of them (a wall clock of its start's
// frame), and whether the next one is at `original`. Without `original`, all of them.
struct Instances {
  long before = 0;
  std::optional<icaltimetype> last;
  bool atOriginal = false;
  bool spent = false;  // the walk stopped at its limit: the rest is unknown
};
Instances instancesBefore(const icalrecurrencetype& recur, const icaltimetype& start,
                          std::optional<PimTime> original) {
  Instances found;
  // A day either side of `original` on any clock.
  const long to = original ? wallSeconds(ICalTime::wallClock(*original, nullptr)) - 2 * 86400L
                           : std::numeric_limits<long>::max();
  const Entry entry = entryBefore(recur, start, to);
  found.spent = entry.spent;
  found.before = entry.skipped;
  Walk steps(entry.recur, entry.start);
  while (steps && !found.spent) {
    const icaltimetype t = steps.next();
    found.spent = steps.spent();
    if (icaltime_is_null_time(t)) break;
    if (original) {
      const auto at = instantOf(t, start);
      found.atOriginal = at == original;
      if (!at || *at >= *original) break;
    }
    ++found.before;
    found.last = t;
  }
  return found;
}

std::vector<icalrecurrencetype> rulesOf(icalcomponent* main) {
  std::vector<icalrecurrencetype> rules;
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RRULE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RRULE_PROPERTY)) {
    rules.push_back(icalproperty_get_rrule(prop));
    // An UNTIL that names no day is read as none (see wallUntil).
    if (!exists(rules.back().until)) rules.back().until = icaltime_null_time();
  }
  return rules;
}

// Replaces the rules of `main`. The new ones are made while the old ones still hold the texts
// (an RSCALE) that the copies point into.
void setRules(icalcomponent* main, const std::vector<icalrecurrencetype>& rules) {
  std::vector<icalproperty*> old;
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RRULE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RRULE_PROPERTY)) {
    old.push_back(prop);
  }
  for (auto recur : rules) icalcomponent_add_property(main, icalproperty_new_rrule(recur));
  for (icalproperty* prop : old) {
    icalcomponent_remove_property(main, prop);
    icalproperty_free(prop);
  }
}

// A weekday as libical counts them (1 Sunday ... 7 Saturday), `days` later.
int weekdayAfter(int weekday, long days) {
  return static_cast<int>(((weekday - 1 + days) % 7 + 7) % 7) + 1;
}

short encodedDay(int position, int weekday) {
  const int code = std::abs(position) * 8 + weekday;
  return static_cast<short>(position < 0 ? -code : code);
}

// A day of the month or year counted from its start (positive) or end (negative), `days` later;
// nothing when it leaves the side it counts from.
std::optional<short> dayAfter(short day, long days, int longest) {
  const long now = day + days;
  if (day > 0 ? now < 1 || now > longest : now > -1 || now < -longest) return std::nullopt;
  return static_cast<short>(now);
}

// A day of the month moved across the month's edge, counted from the other side: the last day a
// day later is the first, the first a day earlier the last. Every month has 28 days, so each
// one is the same day of every month; 0 where the move goes further.
short acrossMonthEnd(short day, long days) {
  constexpr long kShortest = 28;
  const long now = day + days;
  if (day < 0 && now >= 0 && now + 1 <= kShortest) return static_cast<short>(now + 1);
  if (day > 0 && now <= 0 && now - 1 >= -kShortest) return static_cast<short>(now - 1);
  return 0;
}

// A rule that names days of the month by their place among all of the month's days ("the last
// day", written as every weekday, or as the 28th to the 31st, at BYSETPOS=-1) names them as days
// of the month, which a move can shift. Left as it is where a place counts other days (a weekday,
// a time of day, a year of several months).
void daysOfMonthByPlace(icalrecurrencetype& recur) {
  const bool ofMonths =
      recur.freq == ICAL_MONTHLY_RECURRENCE ||
      (recur.freq == ICAL_YEARLY_RECURRENCE && !none(recur.by_month) && !several(recur.by_month));
  if (!ofMonths || none(recur.by_set_pos) || several(recur.by_hour) || several(recur.by_minute) ||
      several(recur.by_second) || !none(recur.by_year_day) || !none(recur.by_week_no)) {
    return;
  }
  std::set<short> weekdays, monthDays;
  for (const short day : recur.by_day) {
    if (day == ICAL_RECURRENCE_ARRAY_MAX) break;
    if (icalrecurrencetype_day_position(day) != 0) return;
    weekdays.insert(static_cast<short>(icalrecurrencetype_day_day_of_week(day)));
  }
  for (const short day : recur.by_month_day) {
    if (day == ICAL_RECURRENCE_ARRAY_MAX) break;
    monthDays.insert(day);
  }
  const bool everyDay = weekdays.size() == 7 && monthDays.empty();
  const bool monthEnds =
      weekdays.empty() && recur.by_set_pos[0] == -1 && !several(recur.by_set_pos) &&
      monthDays.count(28) + monthDays.count(29) + monthDays.count(30) + monthDays.count(31) == 4 &&
      *monthDays.begin() > 0;
  const auto places = std::find(std::begin(recur.by_set_pos), std::end(recur.by_set_pos),
                                ICAL_RECURRENCE_ARRAY_MAX);
  if (everyDay && places - std::begin(recur.by_set_pos) < ICAL_BY_MONTHDAY_SIZE) {
    *std::copy(std::begin(recur.by_set_pos), places, std::begin(recur.by_month_day)) =
        ICAL_RECURRENCE_ARRAY_MAX;
  } else if (monthEnds) {
    recur.by_month_day[0] = -1;
    recur.by_month_day[1] = ICAL_RECURRENCE_ARRAY_MAX;
  } else {
    return;
  }
  recur.by_day[0] = recur.by_set_pos[0] = ICAL_RECURRENCE_ARRAY_MAX;
}

// States in the rule the days (and the time of day, when asked) it takes from its start when it
// names none.
void pinToStart(icalrecurrencetype& recur, const icaltimetype& start, bool timeOfDay) {
  const auto set = [](short* list, int value) {
    list[0] = static_cast<short>(value);
    list[1] = ICAL_RECURRENCE_ARRAY_MAX;
  };
  const bool noDays = none(recur.by_day) && none(recur.by_month_day) && none(recur.by_year_day) &&
                      none(recur.by_week_no);
  if (recur.freq == ICAL_WEEKLY_RECURRENCE && none(recur.by_day)) {
    set(recur.by_day, icaltime_day_of_week(start));
  } else if (recur.freq == ICAL_MONTHLY_RECURRENCE && noDays) {
    set(recur.by_month_day, start.day);
  } else if (recur.freq == ICAL_YEARLY_RECURRENCE && noDays && none(recur.by_month)) {
    set(recur.by_month, start.month);
    set(recur.by_month_day, start.day);
  }
  const bool byDays = recur.freq >= ICAL_DAILY_RECURRENCE && recur.freq <= ICAL_YEARLY_RECURRENCE;
  if (timeOfDay && byDays) {
    if (none(recur.by_hour)) set(recur.by_hour, start.hour);
    if (none(recur.by_minute)) set(recur.by_minute, start.minute);
    if (none(recur.by_second)) set(recur.by_second, start.second);
  }
}

}  // namespace

std::string userZoneText() {
  const ICalTime::Form user = ICalTime::userForm();
  return user.kind == Kind::zoned ? user.tzid : user.kind == Kind::utc ? "UTC" : "local";
}

std::string userText(PimTime time) {
  const icaltimetype t = ICalTime::inForm(time, ICalTime::userForm());
  char text[24];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute);
  return text;
}

icalrecur_iterator* wallSteps(icalrecurrencetype recur, icaltimetype start) {
  recur = wallRule(recur, start);
  start.zone = nullptr;
  return icalrecur_iterator_new(recur, start);
}

long wallSeconds(const icaltimetype& t) {
  return dayNumber(t) * 86400L + (t.is_date ? 0 : t.hour * 3600L + t.minute * 60L + t.second);
}

icalrecurrencetype wallRule(icalrecurrencetype recur, const icaltimetype& start) {
  recur.until = wallUntil(recur, start);
  return recur;
}

Event changedFrom(const Event& series, const Event& before, const Event& after,
                  const ICalTime::Form& frame) {
  Event out = series;
  for (const auto& [kind, member] : kEventTexts) {
    if (before.*member != after.*member) out.*member = after.*member;
  }
  if (before.recurrence != after.recurrence) out.recurrence = after.recurrence;
  if (before.start == after.start && before.end == after.end && before.allDay == after.allDay) {
    return out;
  }
  if (before.allDay == after.allDay && after.allDay == series.allDay) {
    // The series' start and end each moved as the occurrence's were, on the series' clock.
    const auto shifted = [&](PimTime of, PimTime from, PimTime to) {
      const icaltimetype was = ICalTime::inForm(from, frame), is = ICalTime::inForm(to, frame);
      const long by = wallSeconds(is) - wallSeconds(was);
      icaltimetype wall = ICalTime::inForm(of, frame);
      icaltime_adjust(&wall, static_cast<int>(by / 86400), 0, 0, static_cast<int>(by % 86400));
      return ICalTime::fromWall(wall, frame).value_or(later(of, to - from));
    };
    out.start = shifted(series.start, before.start, after.start);
    out.end = std::max(out.start, shifted(series.end, before.end, after.end));
    return out;
  }
  // Between a day and a time of day: each occurrence's own day moves by the days the change moved
  // it, and takes the new time of day (in the user's zone where the series had none) and length.
  const auto frameOf = [&](const Event& e) {
    if (e.allDay) return ICalTime::date();
    return series.allDay ? ICalTime::userForm() : frame;
  };
  const ICalTime::Form afterFrame = frameOf(after);
  const long days = dayNumber(ICalTime::inForm(after.start, afterFrame)) -
                    dayNumber(ICalTime::inForm(before.start, frameOf(before)));
  icaltimetype wall = ICalTime::inForm(series.start, frame);
  wall.hour = wall.minute = wall.second = 0;  // libical's days hold -1 there
  wall.is_date = 0;
  wall.zone = nullptr;
  icaltime_adjust(&wall, static_cast<int>(days), 0, 0, 0);
  const icaltimetype clock = ICalTime::inForm(after.start, afterFrame);
  wall.hour = after.allDay ? 0 : clock.hour;
  wall.minute = after.allDay ? 0 : clock.minute;
  wall.second = after.allDay ? 0 : clock.second;
  out.allDay = after.allDay;
  out.start = ICalTime::fromWall(wall, afterFrame).value_or(after.start);
  out.end = later(out.start, after.end - after.start);
  return out;
}

StartMove::StartMove(icalcomponent* main, std::vector<icalcomponent*> overrides, bool rulesFollow,
                     RulePlace place)
    : main_(main),
      was_(timeOf(main, ICAL_DTSTART_PROPERTY)),
      wasForm_(ICalTime::formOf(main, ICAL_DTSTART_PROPERTY)),
      overrides_(std::move(overrides)),
      rulesFollow_(rulesFollow),
      place_(std::move(place)) {}

std::optional<std::string> StartMove::apply(const Event& series) {
  if (icaltime_is_null_time(was_)) return std::nullopt;  // a new event
  form_ = ICalTime::formOf(main_, ICAL_DTSTART_PROPERTY);
  now_ = timeOf(main_, ICAL_DTSTART_PROPERTY);
  const icaltimetype from = ICalTime::wallBeside(was_, was_, wasForm_);
  const icaltimetype to = ICalTime::wallBeside(now_, now_, form_);
  const bool wasDay = wasForm_.kind == Kind::date;
  toggled_ = wasDay != (form_.kind == Kind::date);
  shift_ = wallSeconds(to) - wallSeconds(from);
  days_ = dayNumber(to) - dayNumber(from);
  if (shift_ == 0 && !toggled_) return std::nullopt;
  if (rulesFollow_) {
    if (auto refused = moveRules()) return refused;
  }
  moveDates(ICAL_EXDATE_PROPERTY);
  moveDates(ICAL_RDATE_PROPERTY);
  for (icalcomponent* own : overrides_) moveOverride(own, series);
  return std::nullopt;
}

// A wall clock of the old start's frame moved as the start was; to a day form, by the days the
// start moved, from its own day (a time of day must not carry it into the day before or after).
icaltimetype StartMove::movedWall(icaltimetype wall) const {
  wall.zone = nullptr;
  if (wall.is_date) wall.hour = wall.minute = wall.second = 0;  // libical's days may hold -1
  if (form_.kind == Kind::date) {
    wall.is_date = 0;
    wall.hour = wall.minute = wall.second = 0;
    icaltime_adjust(&wall, static_cast<int>(days_), 0, 0, 0);
    wall.is_date = 1;
  } else {
    wall.is_date = 0;
    icaltime_adjust(&wall, static_cast<int>(shift_ / 86400), 0, 0,
                    static_cast<int>(shift_ % 86400));
  }
  return wall;
}

std::optional<PimTime> StartMove::moved(icaltimetype t) const {
  return ICalTime::fromWall(movedWall(ICalTime::wallBeside(t, was_, wasForm_)), form_);
}

void StartMove::moveDates(icalproperty_kind kind) {
  std::vector<icalproperty*> found;
  for (icalproperty* prop = icalcomponent_get_first_property(main_, kind); prop != nullptr;
       prop = icalcomponent_get_next_property(main_, kind)) {
    found.push_back(prop);
  }
  for (icalproperty* prop : found) {
    if (icalproperty* now = movedDate(prop, kind)) {
      icalcomponent_remove_property(main_, prop);
      icalproperty_free(prop);
      icalcomponent_add_property(main_, now);
    }
  }
}

// The date moved; nothing when it would leave the years the store keeps (it stays as it is).
icalproperty* StartMove::movedDate(icalproperty* prop, icalproperty_kind kind) const {
  const icaltimetype at = ICalTime::valueOf(prop, main_);  // a period's TZID zone
  const icalperiodtype period =
      kind == ICAL_RDATE_PROPERTY ? icalproperty_get_rdate(prop).period : icalperiodtype{};
  if (kind != ICAL_RDATE_PROPERTY || icalperiodtype_is_null_period(period)) {
    const auto start = moved(at);
    return start ? ICalTime::property(kind, *start, form_) : nullptr;
  }
  const auto inZone = [&](icaltimetype t) {
    if (!icaltime_is_utc(t)) t.zone = at.zone;
    return t;
  };
  const auto start = moved(inZone(period.start));
  if (!start) return nullptr;
  icalproperty* now = ICalTime::property(ICAL_RDATE_PROPERTY, *start, form_);
  if (form_.kind == Kind::date) return now;  // a day has no period
  const auto end = icaltime_is_null_time(period.end)
                       ? later(*start, seconds(icaldurationtype_as_int(period.duration)))
                       : moved(inZone(period.end));
  icalperiodtype out = icalperiodtype_null_period();
  out.start = ICalTime::inForm(*start, form_);
  out.end = ICalTime::inForm(end.value_or(*start), form_);
  if (form_.kind == Kind::zoned) out.start.zone = out.end.zone = nullptr;
  icalproperty_set_rdate(now, {icaltime_null_time(), out});
  return now;
}

// Each rule moved with the start: its days by the days the start moved, its end to its last
// instance moved (so it keeps exactly as many), checked against the old instances moved.
std::optional<std::string> StartMove::moveRules() {
  std::vector<icalrecurrencetype> rules = rulesOf(main_);
  for (icalrecurrencetype& recur : rules) {
    const icalrecurrencetype was = recur;
    if (form_.kind == Kind::date && wasForm_.kind != Kind::date) {
      if (auto refused = toWholeDays(recur)) return refused;
    }
    shiftTimeOfDay(recur);
    if (auto refused = shiftDays(recur, was)) return refused;
    // An UNTIL ends the moved rule at the last instance moved, found by the comparison (which
    // follows the old rule to its end), so it keeps exactly as many.
    const bool bounded = !icaltime_is_null_time(recur.until);
    if (bounded) recur.until = icaltime_null_time();
    std::optional<icaltimetype> last;
    if (auto refused = sameSteps(was, recur, last)) return refused;
    if (bounded) {
      recur.until =
          untilOf(movedWall(last ? *last : ICalTime::wallBeside(was.until, was_, wasForm_)));
    }
  }
  setRules(main_, rules);
  return std::nullopt;
}

// A rule made to step beside days: one that gives one time of day on the days it repeats
// (every 24 hours; every hour at 12:00 on Fridays) states them as days, every so many days as its
// steps and the days come round together; one that gives several times of day cannot. Whether the
// days are the same is for the comparison to tell.
std::optional<std::string> StartMove::toWholeDays(icalrecurrencetype& recur) const {
  const long period = periodSeconds(recur);
  const std::string refused =
      "The series cannot be made all-day: its rule " + ruleNamed(recur, place_);
  const std::string more = " repeats more than once a day, and a day holds one occurrence of it." +
                           std::string(kInstead);
  if (several(recur.by_hour) || several(recur.by_minute) || several(recur.by_second)) {
    return refused + more;
  }
  if (recur.freq >= ICAL_DAILY_RECURRENCE) return std::nullopt;
  // A part it does not name is the start's, unless its steps pass through it within a day.
  const long unit = recur.freq == ICAL_SECONDLY_RECURRENCE   ? 1
                    : recur.freq == ICAL_MINUTELY_RECURRENCE ? 60
                                                             : 3600;
  const bool oneTime = period % 86400 == 0 || ((!none(recur.by_hour) || unit > 3600) &&
                                               (!none(recur.by_minute) || unit > 60) &&
                                               (!none(recur.by_second) || unit > 1));
  if (!oneTime) {
    return refused + (period < 86400 ? more
                                     : " repeats at another time of day each time, and a day has "
                                       "none." +
                                           std::string(kInstead));
  }
  recur.freq = ICAL_DAILY_RECURRENCE;
  recur.interval = static_cast<short>(std::lcm(period, 86400L) / 86400);
  return std::nullopt;
}

// The UNTIL of a rule whose last instance is the wall clock `wall` of the new form; past the years
// the store keeps too, as the zone's rules go on there.
icaltimetype StartMove::untilOf(icaltimetype wall) const {
  if (const auto at = ICalTime::fromWall(wall, form_)) return ICalTime::until(*at, form_);
  const ICalTime::Form clock = form_.kind == Kind::floating && !form_.tzid.empty()
                                   ? ICalTime::userForm()  // a TZID nobody defines
                                   : form_;
  if (clock.kind == Kind::date || clock.kind == Kind::floating) return wall;
  if (clock.kind == Kind::zoned) wall.zone = clock.zone;
  return icaltime_convert_to_zone(wall, icaltimezone_get_utc_timezone());
}

// The rule's days of the week, month and year moved by the days the start moved. A weekday that
// names its place in the month ("the third Wednesday") keeps it; whether that still names the
// moved days is for the comparison to tell.
std::optional<std::string> StartMove::shiftDays(icalrecurrencetype& recur,
                                                const icalrecurrencetype& was) const {
  if (days_ == 0) return std::nullopt;
  for (short& day : recur.by_day) {
    if (day == ICAL_RECURRENCE_ARRAY_MAX) break;
    day = encodedDay(icalrecurrencetype_day_position(day),
                     weekdayAfter(icalrecurrencetype_day_day_of_week(day), days_));
  }
  // In the order libical reads them back in, from the week's first day on (SA,SU a day later is
  // MO,SU): written otherwise, the rule would not read back as written.
  const auto fromWeekStart = [&](short day) {
    return (icalrecurrencetype_day_day_of_week(day) - recur.week_start + 7) % 7;
  };
  std::stable_sort(
      std::begin(recur.by_day),
      std::find(std::begin(recur.by_day), std::end(recur.by_day), ICAL_RECURRENCE_ARRAY_MAX),
      [&](short a, short b) { return fromWeekStart(a) < fromWeekStart(b); });
  const auto past = [&](short day, const char* of) {
    return "The series cannot be moved so: its rule " + ruleNamed(was, place_) + " names day " +
           std::to_string(day) + " of the " + of + ", which " +
           (days_ > 0 ? "moved later" : "moved earlier") + " would leave the " + of + "." +
           kInstead;
  };
  daysOfMonthByPlace(recur);
  int days = 0, crossed = 0;
  for (short& day : recur.by_month_day) {
    if (day == ICAL_RECURRENCE_ARRAY_MAX) break;
    const auto within = dayAfter(day, days_, 31);
    const short now = within.value_or(acrossMonthEnd(day, days_));
    if (now == 0) return past(day, "month");
    day = now;
    ++days;
    crossed += within ? 0 : 1;
  }
  // Days that all crossed into the next (or the last) month are in the month after (or before)
  // the one named: the last of February a day later is the first of March.
  if (crossed > 0 && crossed == days) {
    for (short& month : recur.by_month) {
      if (month == ICAL_RECURRENCE_ARRAY_MAX) break;
      month = static_cast<short>((month - 1 + (days_ > 0 ? 1 : 11)) % 12 + 1);
    }
  }
  for (short& day : recur.by_year_day) {
    if (day == ICAL_RECURRENCE_ARRAY_MAX) break;
    const auto now = dayAfter(day, days_, 366);
    if (!now) return past(day, "year");
    day = *now;
  }
  return std::nullopt;
}

// The hour, minute and second a rule names, moved by the start's new time of day. Where it names
// several, a move by whole hours moves the hours; any other is for the comparison to tell. Made
// all-day, it names none.
void StartMove::shiftTimeOfDay(icalrecurrencetype& recur) const {
  if (form_.kind == Kind::date) {
    // A rule beside days names no time of day (RFC 5545 3.3.10); one that gave several
    // occurrences a day was refused before.
    recur.by_hour[0] = recur.by_minute[0] = recur.by_second[0] = ICAL_RECURRENCE_ARRAY_MAX;
    return;
  }
  if (none(recur.by_hour) && none(recur.by_minute) && none(recur.by_second)) {
    return;
  }
  const long clock = ((shift_ - days_ * 86400) % 86400 + 86400) % 86400;
  if (!several(recur.by_hour) && !several(recur.by_minute) && !several(recur.by_second)) {
    const auto part = [](const short* list) { return none(list) ? 0 : list[0]; };
    const long was =
        part(recur.by_hour) * 3600L + part(recur.by_minute) * 60L + part(recur.by_second);
    const long now = (was + clock) % 86400;
    if (!none(recur.by_hour)) recur.by_hour[0] = static_cast<short>(now / 3600);
    if (!none(recur.by_minute)) recur.by_minute[0] = static_cast<short>(now / 60 % 60);
    if (!none(recur.by_second)) recur.by_second[0] = static_cast<short>(now % 60);
  } else if (clock % 3600 == 0) {
    for (short& hour : recur.by_hour) {
      if (hour == ICAL_RECURRENCE_ARRAY_MAX) break;
      hour = static_cast<short>((hour + clock / 3600) % 24);
    }
  }
}

// Whether the moved rule gives the old rule's instances, each moved by the shift; why not when it
// does not (an ordinal weekday that crosses into another week of the month, a day of the month
// some months lack, a position in a set). `last` is
// given the old rule's last instance, where it ends before the years the store keeps end. Every
// instance is compared up to there, or up to where the rule's instances provably repeat; a rule
// too long to follow so is refused, not taken as it is.
std::optional<std::string> StartMove::sameSteps(const icalrecurrencetype& was,
                                                const icalrecurrencetype& now,
                                                std::optional<icaltimetype>& last) const {
  // Two walks that cannot be taken prove nothing: the rule is not moved unseen.
  Walk before(was, was_), after(now, now_);
  const std::string cannot = "The series cannot be moved so: ";
  if (!before || !after) {
    return cannot + "its rule " + ruleNamed(was, place_) + " cannot be moved with it." + kInstead;
  }
  const bool bounded = !icaltime_is_null_time(was.until);  // `now` runs on: it ends as `was` does
  const auto repeats = repeatsAfter(was);
  while (true) {
    const icaltimetype old = before.next(), got = after.next();
    const bool oldEnded = icaltime_is_null_time(old), gotEnded = icaltime_is_null_time(got);
    if (before.spent() || after.spent()) return cannot + tooMany(was, place_) + kInstead;
    if (oldEnded && (gotEnded || bounded)) return std::nullopt;
    if (!oldEnded && old.year > kPimLastYear) {
      last.reset();
      return std::nullopt;
    }
    if (oldEnded || gotEnded || !sameWall(movedWall(old), got)) {
      // An instance before the one moved is one more; one after, where the moved one is missing.
      const bool more = oldEnded || (!gotEnded && wallSeconds(got) < wallSeconds(movedWall(old)));
      const std::string which = more ? "it would repeat once more, on " + wallText(got, form_)
                                     : "the occurrence of " + wallText(old, wasForm_) +
                                           " would not be on " + wallText(movedWall(old), form_) +
                                           (gotEnded ? "" : " but on " + wallText(got, form_));
      const bool days = form_.kind == Kind::date && wasForm_.kind == Kind::date;
      return cannot + "moved with it, its rule " + ruleNamed(was, place_) +
             " would not give every occurrence moved by the same time (" + which +
             (days ? "" : ", " + userZoneText() + " time") + ")." + kInstead;
    }
    last = old;
    // Both rules step alike: once the old one's instances came round again, so do the new ones',
    // up to the old one's last instance, which is all that is left to find.
    if (repeats && before.since(old) >= *repeats) {
      if (!bounded) return std::nullopt;
      const Instances all = instancesBefore(was, was_, std::nullopt);
      if (all.spent) return cannot + tooMany(was, place_) + kInstead;
      last = all.last;
      if (last && last->year > kPimLastYear) last.reset();
      return std::nullopt;
    }
  }
}

// A changed occurrence moves by the same shift from its own start (so one moved on its own keeps
// its own day and time apart from the shift), and takes the series' all-day-ness (and its time of
// day and length with it).
void StartMove::moveOverride(icalcomponent* own, const Event& series) {
  // A floating RECURRENCE-ID is a wall clock of the series' own already.
  const auto original = moved(timeOf(own, ICAL_RECURRENCEID_PROPERTY));
  if (!original) return;
  const auto was = eventOf(own);
  const auto start = moved(timeOf(own, ICAL_DTSTART_PROPERTY));
  if (was && start) {
    Event now = *was;
    now.allDay = form_.kind == Kind::date;
    now.start = *start;
    now.end = later(*start, toggled_ ? series.end - series.start : was->end - was->start);
    if (recordDiffers(*was, now)) applyDifferences(own, *was, now);
  }
  setTime(own, ICAL_RECURRENCEID_PROPERTY, *original, form_);
}

std::optional<PimTime> settledAfter(icalcomponent* main, PimTime from) {
  constexpr long kLongest = 400 * 86400L;  // a repetition longer is no help
  const std::vector<icalrecurrencetype> rules = rulesOf(main);
  long period = 1;
  for (const icalrecurrencetype& recur : rules) {
    const auto each = repeatsAfter(recur);
    if (!each || (recur.count > 0 && rules.size() > 1)) return std::nullopt;
    period = std::lcm(period, *each);
    if (period > kLongest) return std::nullopt;
  }
  const icaltimezone* zone = timeOf(main, ICAL_DTSTART_PROPERTY).zone;
  PimTime last = from;
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RDATE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RDATE_PROPERTY)) {
    last = std::max(last, extraDate(prop, main, zone).first.value_or(last));
  }
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_EXDATE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_EXDATE_PROPERTY)) {
    last = std::max(last, ICalTime::instant(ICalTime::valueOf(prop, main), zone).value_or(last));
  }
  // A day either side for the clocks the instants are on.
  return later(last, seconds(2 * period) + days(2));
}

std::optional<std::string> countFrom(icalcomponent* main, PimTime original,
                                     const RulePlace& place) {
  const icaltimetype start = timeOf(main, ICAL_DTSTART_PROPERTY);
  const icaltimetype at = ICalTime::inForm(original, ICalTime::formOf(main, ICAL_DTSTART_PROPERTY));
  const bool otherTime = !start.is_date && (at.hour != start.hour || at.minute != start.minute ||
                                            at.second != start.second);
  std::vector<icalrecurrencetype> kept;
  for (icalrecurrencetype recur : rulesOf(main)) {
    // A start moved to an extra date must not take the rule's days and time of day with it.
    const Instances instances = instancesBefore(recur, start, original);
    if (instances.spent) return kCut + tooMany(recur, place) + kOneByOne;
    if (!instances.atOriginal) pinToStart(recur, start, otherTime);
    if (recur.count > 0) {
      // A COUNT bounds the rule's own instances: extra dates do not count.
      const long left = recur.count - instances.before;
      if (left <= 0) continue;
      recur.count = static_cast<int>(left);
    }
    kept.push_back(recur);
  }
  setRules(main, kept);
  return std::nullopt;
}

std::optional<std::string> endRulesBefore(icalcomponent* main, PimTime original,
                                          const RulePlace& place) {
  const icaltimetype start = timeOf(main, ICAL_DTSTART_PROPERTY);
  const ICalTime::Form form = ICalTime::formOf(main, ICAL_DTSTART_PROPERTY);
  std::vector<icalrecurrencetype> kept;
  for (icalrecurrencetype recur : rulesOf(main)) {
    // The last instance it gives before `original`, not `original` less a moment: a rule that
    // ended by its COUNT earlier must not go on to it.
    const Instances instances = instancesBefore(recur, start, original);
    if (instances.spent) return kCut + tooMany(recur, place) + kOneByOne;
    const auto at = instances.last ? instantOf(*instances.last, start) : std::nullopt;
    if (!at) continue;
    recur.count = 0;
    recur.until = ICalTime::until(*at, form);
    kept.push_back(recur);
  }
  setRules(main, kept);
  return std::nullopt;
}

}  // namespace tvrn::ICalSeries
