#include "pim/RecurrenceWalk.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "pim/ICalProperties.h"
#include "pim/ICalSeries.h"
#include "pim/PimTypes.h"

namespace tvrn {
namespace {

using namespace std::chrono;

constexpr long long kDay = 86400;
// A walk goes a year past those the store keeps, so a change that moves the last instances there
// finds them moved.
constexpr int kLastYear = kPimLastYear + 1;

long long floorDiv(long long a, long long b) { return a / b - (a % b != 0 && a < 0 ? 1 : 0); }
long long ceilDiv(long long a, long long b) { return -floorDiv(-a, b); }

year_month_day civil(long long dayNo) { return year_month_day(sys_days(days(dayNo))); }

icaltimetype wallAt(long long seconds, bool isDate) {
  const long long dayNo = floorDiv(seconds, kDay);
  const year_month_day ymd = civil(dayNo);
  const long long clock = seconds - dayNo * kDay;
  icaltimetype t = icaltime_null_time();
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(unsigned(ymd.month()));
  t.day = static_cast<int>(unsigned(ymd.day()));
  t.is_date = isDate ? 1 : 0;
  t.hour = static_cast<int>(clock / 3600);
  t.minute = static_cast<int>(clock / 60 % 60);
  t.second = static_cast<int>(clock % 60);
  return t;
}

// The values a BY part lists, up to its end mark.
template <size_t N>
std::vector<int> listed(const short (&list)[N]) {
  std::vector<int> out;
  for (size_t i = 0; i < N && list[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) out.push_back(list[i]);
  return out;
}

// A BY part's values from `from` to `to`, ascending, each once.
template <size_t N>
std::vector<int> within(const short (&list)[N], int from, int to) {
  std::vector<int> out = listed(list);
  std::erase_if(out, [&](int v) { return v < from || v > to; });
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<int> range(int count) {
  std::vector<int> out(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out[static_cast<size_t>(i)] = i;
  return out;
}

// Whether a list of days counted from the start (positive) or the end (negative) of a span of
// `length` days names day `day` of it.
bool names(const std::vector<int>& list, int day, int length) {
  return std::any_of(list.begin(), list.end(),
                     [&](int v) { return v > 0 ? v == day : length + 1 + v == day; });
}

// Weekdays from Monday, 0, to Sunday, 6; 1970-01-01 was a Thursday.
int weekdayOf(long long dayNo) { return static_cast<int>(((dayNo + 3) % 7 + 7) % 7); }
int fromLibical(int weekday) { return (weekday + 5) % 7; }  // libical counts from Sunday, 1

long long dayOf(int y, unsigned m, unsigned d) {
  return sys_days(year(y) / month(m) / day(d)).time_since_epoch().count();
}
long long monthStart(long long monthNo) {  // months counted from year 0
  const long long y = floorDiv(monthNo, 12);
  return dayOf(static_cast<int>(y), static_cast<unsigned>(monthNo - y * 12 + 1), 1);
}

// The first day of week 1 of year `y`: of the first week from `wkst` with four days in the year.
long long firstWeek(int y, int wkst) {
  const long long jan1 = dayOf(y, 1, 1);
  const long long begins = jan1 - (weekdayOf(jan1) - wkst + 7) % 7;
  return jan1 - begins >= 4 ? begins + 7 : begins;
}

const char* const kWeekdays[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};

}  // namespace

// The days a rule keeps, by its BYMONTH, BYWEEKNO, BYYEARDAY, BYMONTHDAY and BYDAY, with the days
// a rule of weeks, months or years takes from its start where it names none. A weekday with a
// place counts in the month (a monthly rule, a yearly one by month) or the year.
class RecurrenceWalk::Days {
 public:
  Days(const icalrecurrencetype& recur, const icaltimetype& start)
      : monthDays_(within(recur.by_month_day, -31, 31)),
        yearDays_(within(recur.by_year_day, -366, 366)),
        weekNos_(within(recur.by_week_no, -53, 53)),
        wkst_(recur.week_start == ICAL_NO_WEEKDAY ? 0 : fromLibical(recur.week_start)) {
    for (const int m : within(recur.by_month, 1, 12)) months_ |= 1u << m;
    std::erase(monthDays_, 0);
    std::erase(yearDays_, 0);
    std::erase(weekNos_, 0);
    const bool placed =
        recur.freq == ICAL_MONTHLY_RECURRENCE || recur.freq == ICAL_YEARLY_RECURRENCE;
    inMonth_ = recur.freq == ICAL_MONTHLY_RECURRENCE || months_ != 0;
    for (const int code : listed(recur.by_day)) {
      const int weekday = fromLibical(icalrecurrencetype_day_day_of_week(static_cast<short>(code)));
      const int place = icalrecurrencetype_day_position(static_cast<short>(code));
      if (place != 0 && placed) {
        placed_.emplace_back(place, weekday);
      } else {
        weekdays_ |= 1u << weekday;
      }
    }
    if (recur.by_day[0] != ICAL_RECURRENCE_ARRAY_MAX || !monthDays_.empty() || !yearDays_.empty() ||
        !weekNos_.empty()) {
      return;
    }
    if (recur.freq == ICAL_YEARLY_RECURRENCE) {
      if (months_ == 0) months_ = 1u << start.month;
      monthDays_ = {start.day};
    } else if (recur.freq == ICAL_MONTHLY_RECURRENCE) {
      monthDays_ = {start.day};
    } else if (recur.freq == ICAL_WEEKLY_RECURRENCE) {
      weekdays_ = 1u << weekdayOf(ICalProperties::dayNumber(start));
    }
  }

  // Whether the filters rule out every day of the month (y, m): it is passed at once.
  bool passes(int y, unsigned m) const {
    if (months_ != 0 && (months_ & (1u << m)) == 0) return true;
    const int length = monthLength(y, m);
    if (!monthDays_.empty() && std::none_of(monthDays_.begin(), monthDays_.end(), [&](int d) {
          return d > 0 ? d <= length : -d <= length;
        })) {
      return true;
    }
    if (!yearDays_.empty()) {
      const long long first = dayOf(y, m, 1), jan1 = dayOf(y, 1, 1);
      const int yearLength = static_cast<int>(dayOf(y + 1, 1, 1) - jan1);
      return std::none_of(yearDays_.begin(), yearDays_.end(), [&](int d) {
        const long long at = jan1 + (d > 0 ? d - 1 : yearLength + d);
        return at >= first && at < first + length;
      });
    }
    return false;
  }

  // The days from `from` until before `to` (within one month) that the filters keep, ascending.
  void collect(long long from, long long to, std::vector<long long>& out, long& work) const {
    const year_month_day ymd = civil(from);
    const int y = static_cast<int>(ymd.year());
    const unsigned m = unsigned(ymd.month());
    ++work;
    if (passes(y, m)) return;
    const auto keep = [&](long long dayNo) {
      if (dayNo >= from && dayNo < to && keeps(dayNo)) out.push_back(dayNo);
    };
    const size_t was = out.size();
    if (!monthDays_.empty()) {
      const long long first = dayOf(y, m, 1), length = monthLength(y, m);
      for (const int d : monthDays_) {
        ++work;
        if (d > 0 ? d <= length : -d <= length) keep(first + (d > 0 ? d - 1 : length + d));
      }
    } else {
      work += to - from;
      for (long long dayNo = from; dayNo < to; ++dayNo) keep(dayNo);
    }
    std::sort(out.begin() + static_cast<long>(was), out.end());
    out.erase(std::unique(out.begin() + static_cast<long>(was), out.end()), out.end());
  }

  bool keeps(long long dayNo) const {
    const year_month_day ymd = civil(dayNo);
    const int y = static_cast<int>(ymd.year());
    const unsigned m = unsigned(ymd.month());
    if (months_ != 0 && (months_ & (1u << m)) == 0) return false;
    if (!monthDays_.empty() &&
        !names(monthDays_, static_cast<int>(unsigned(ymd.day())), monthLength(y, m))) {
      return false;
    }
    const long long jan1 = dayOf(y, 1, 1);
    if (!yearDays_.empty() && !names(yearDays_, static_cast<int>(dayNo - jan1 + 1),
                                     static_cast<int>(dayOf(y + 1, 1, 1) - jan1))) {
      return false;
    }
    if (!weekNos_.empty() && !inWeeks(dayNo, y)) return false;
    if (weekdays_ == 0 && placed_.empty()) return true;
    const int weekday = weekdayOf(dayNo);
    if ((weekdays_ & (1u << weekday)) != 0) return true;
    const long long first = inMonth_ ? dayOf(y, m, 1) : jan1;
    const long long last = (inMonth_ ? dayOf(y, m, 1) + monthLength(y, m) : dayOf(y + 1, 1, 1)) - 1;
    return std::any_of(placed_.begin(), placed_.end(), [&](const std::pair<int, int>& p) {
      if (p.second != weekday) return false;
      const long long nth = p.first > 0
                                ? first + (p.second - weekdayOf(first) + 7) % 7 + (p.first - 1) * 7
                                : last - (weekdayOf(last) - p.second + 7) % 7 + (p.first + 1) * 7;
      return nth == dayNo;
    });
  }

 private:
  static int monthLength(int y, unsigned m) {
    return static_cast<int>(unsigned(year_month_day_last(year(y) / month(m) / last).day()));
  }

  // Whether the day is in one of the weeks named: weeks from `wkst_`, the first the one with four
  // days in its year, counted from the end too; a day may be in a week of the year before or after.
  bool inWeeks(long long dayNo, int y) const {
    long long begins = firstWeek(y, wkst_), next = firstWeek(y + 1, wkst_);
    if (dayNo < begins) {
      next = begins;
      begins = firstWeek(y - 1, wkst_);
    } else if (dayNo >= next) {
      begins = next;
      next = firstWeek(y + 2, wkst_);
    }
    const int week = static_cast<int>((dayNo - begins) / 7 + 1);
    return names(weekNos_, week, static_cast<int>((next - begins) / 7));
  }

  unsigned months_ = 0;
  std::vector<int> monthDays_, yearDays_, weekNos_;
  unsigned weekdays_ = 0;                    // by weekday from Monday
  std::vector<std::pair<int, int>> placed_;  // a place in the month or year, a weekday
  bool inMonth_ = false;
  int wkst_;
};

// What bounds a walk's instances: the first second one may be at (the start's, or where the walk
// was entered), UNTIL or the end asked for, and what is left of the COUNT.
class RecurrenceWalk::Bounds {
 public:
  Bounds(const icalrecurrencetype& recur, const icaltimetype& start)
      : low_(ICalSeries::wallSeconds(start)) {
    if (recur.count > 0) left_ = recur.count;
    const icaltimetype until = ICalSeries::wallRule(recur, start).until;
    if (icaltime_is_null_time(until)) return;
    const long long dayNo = ICalProperties::dayNumber(until);
    // Beside a day start, UNTIL holds its whole day.
    until_ = start.is_date   ? (dayNo + 1) * kDay - 1
             : until.is_date ? dayNo * kDay
                             : ICalSeries::wallSeconds(until);
  }

  void endAt(const icaltimetype& wall) {
    const long long at = ICalSeries::wallSeconds(wall);
    if (!until_ || at < *until_) until_ = at;
  }

 protected:
  enum class Admitted { given, passed, past };
  // Whether an instance at `at` is given (and counted), passed over as before the first, or past
  // the end.
  Admitted admit(long long at) {
    if (at < low_) return Admitted::passed;
    if (until_ && at > *until_) return Admitted::past;
    if (left_) --*left_;
    return Admitted::given;
  }
  bool counted() const { return left_ && *left_ <= 0; }

  long long low_;
  std::optional<long long> until_;
  std::optional<long long> left_;
  bool ended_ = false;
};

// A rule every so many seconds, minutes or hours, expanded a day at a time. Its periods (the
// seconds, minutes or hours it steps by, from the start's on, every INTERVAL-th) are kept where
// the day and the time of day pass its filters; within each, the parts of a smaller unit than
// its own (the seconds of a minute, the minutes and seconds of an hour) expand it, and BYSETPOS
// picks among those. A day is found by its filters alone; within it, the periods are tried from
// whichever is shorter: the times of day the filters keep, or the periods the interval gives.
class RecurrenceWalk::DayByDay : public Bounds {
 public:
  DayByDay(const icalrecurrencetype& recur, const icaltimetype& start, long interval)
      : Bounds(recur, start),
        unit_(recur.freq == ICAL_SECONDLY_RECURRENCE   ? 1
              : recur.freq == ICAL_MINUTELY_RECURRENCE ? 60
                                                       : 3600),
        interval_(interval > 0 ? interval : std::max<int>(1, recur.interval)),
        onDays_(start.is_date != 0),
        firstPeriod_(floorDiv(low_, unit_)),
        day_(floorDiv(low_, kDay)),
        days_(recur, start),
        recur_(recur),
        start_(start) {}

  void enterAt(const icaltimetype& wall) {
    const long long at = ICalSeries::wallSeconds(wall);
    if (at <= low_) return;
    low_ = at;
    day_ = floorDiv(at, kDay);
    dayFound_ = false;
    inPeriodAt_ = inPeriod_.size();
  }

  // The next instance, adding what it cost to `work`; a null time after the last one, or once
  // `work` passes `budget`.
  icaltimetype next(long& work, long budget) {
    while (!ended_ && work <= budget) {
      if (counted()) break;
      if (onDays_) {
        if (!findDay(work, budget)) break;
        dayFound_ = false;
        const long long dayNo = day_++;
        const long long count = countOn(dayNo);
        if (count == 0) continue;
        if (left_) *left_ -= count;
        return wallAt(dayNo * kDay, true);
      }
      if (inPeriodAt_ < inPeriod_.size()) {
        ++work;
        const long long at = period_ + inPeriod_[inPeriodAt_++];
        const Admitted admitted = admit(at);
        if (admitted == Admitted::passed) continue;
        if (admitted == Admitted::past) break;
        return wallAt(at, false);
      }
      if (!findDay(work, budget)) break;
      if (const auto found = nextPeriod(work)) {
        period_ = *found;
        inPeriodAt_ = 0;
      } else {
        dayFound_ = false;
        ++day_;
      }
    }
    if (work <= budget) ended_ = true;
    return icaltime_null_time();
  }

 private:
  // Which periods of a day the rule keeps, and the offsets of its instances within a period.
  // Beside a day start only the periods themselves count, each at its start.
  void readTimes(const icalrecurrencetype& recur, const icaltimetype& start) {
    inPeriod_ = {0};
    if (!onDays_) {
      const bool stepsMinutes = unit_ <= 60, stepsSeconds = unit_ == 1;
      // A part the rule names limits the periods, or expands them where it is of a smaller unit;
      // one it does not name is every value where the periods step through it, else the start's.
      const auto part = [&](const auto& list, int count, bool steps, int own) {
        if (list[0] != ICAL_RECURRENCE_ARRAY_MAX) return within(list, 0, count - 1);
        return steps ? range(count) : std::vector<int>{own};
      };
      const std::vector<int> hours = part(recur.by_hour, 24, true, start.hour);
      const std::vector<int> minutes = part(recur.by_minute, 60, stepsMinutes, start.minute);
      const std::vector<int> seconds = part(recur.by_second, 60, stepsSeconds, start.second);
      const std::vector<int> none = {0};
      inPeriod_.clear();
      for (int m : stepsMinutes ? none : minutes) {
        for (int s : stepsSeconds ? none : seconds) inPeriod_.push_back(m * 60 + s);
      }
      const size_t kept =
          hours.size() * (stepsMinutes ? minutes.size() : 1) * (stepsSeconds ? seconds.size() : 1);
      byInterval_ = static_cast<long long>(kept) > kDay / unit_ / interval_;
      const auto eachPeriod = [&](auto&& use) {
        for (int h : hours) {
          for (int m : stepsMinutes ? minutes : none) {
            for (int s : stepsSeconds ? seconds : none) use(h * 3600 + m * 60 + s);
          }
        }
      };
      if (byInterval_) {
        kept_.assign(static_cast<size_t>(kDay / unit_), false);
        eachPeriod([&](int at) { kept_[static_cast<size_t>(at / unit_)] = true; });
      } else {
        eachPeriod([&](int at) { periods_.push_back(at); });
      }
    }
    if (recur.by_set_pos[0] != ICAL_RECURRENCE_ARRAY_MAX) {
      const long size = static_cast<long>(inPeriod_.size());
      std::vector<int> picked;
      for (const int pos : listed(recur.by_set_pos)) {
        const long at = pos > 0 ? pos - 1 : size + pos;
        if (pos != 0 && at >= 0 && at < size) picked.push_back(inPeriod_[static_cast<size_t>(at)]);
      }
      std::sort(picked.begin(), picked.end());
      picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
      inPeriod_ = std::move(picked);
    }
    inPeriodAt_ = inPeriod_.size();
  }

  // Moves day_ on to the first day at or after it that the filters keep; false at the end of the
  // rule or of the years the store keeps, or once the work is spent.
  bool findDay(long& work, long budget) {
    while (!dayFound_) {
      if (++work > budget) return false;
      const year_month_day ymd = civil(day_);
      const int y = static_cast<int>(ymd.year());
      const int m = static_cast<int>(unsigned(ymd.month()));
      if (y > kLastYear || (until_ && day_ * kDay > *until_)) {
        ended_ = true;
        return false;
      }
      if (days_.passes(y, static_cast<unsigned>(m))) {
        day_ = (sys_days(ymd.year() / ymd.month() / last) + days(1)).time_since_epoch().count();
        continue;
      }
      if (days_.keeps(day_)) {
        dayFound_ = true;
        // The times of a day, worked out at the first day kept: a rule that keeps none (the 31st
        // of June every second) costs no more than its days.
        if (!timesRead_) readTimes(recur_, start_);
        timesRead_ = true;
        periodAt_ = 0;
        const long long from = std::max(ceilDiv(day_ * kDay, unit_), firstPeriod_);
        nextInterval_ = firstPeriod_ + ceilDiv(from - firstPeriod_, interval_) * interval_;
      } else {
        ++day_;
      }
    }
    return true;
  }

  // The start, in seconds, of the next period of the day found that the rule keeps.
  std::optional<long long> nextPeriod(long& work) {
    const long long dayStart = day_ * kDay;
    if (byInterval_) {
      const long long end = (dayStart + kDay) / unit_;
      while (nextInterval_ < end) {
        ++work;
        const long long at = nextInterval_ * unit_;
        nextInterval_ += interval_;
        if (kept_[static_cast<size_t>((at - dayStart) / unit_)]) return at;
      }
      return std::nullopt;
    }
    while (periodAt_ < periods_.size()) {
      ++work;
      const long long at = dayStart + periods_[periodAt_++];
      const long long period = at / unit_;
      if (period >= firstPeriod_ && (period - firstPeriod_) % interval_ == 0) return at;
    }
    return std::nullopt;
  }

  // How many instances a day holds, beside a day start: the periods the interval gives in it.
  long long countOn(long long dayNo) const {
    const long long from = std::max(ceilDiv(std::max(dayNo * kDay, low_), unit_), firstPeriod_);
    const long long end = (dayNo + 1) * kDay / unit_;
    const long long first = firstPeriod_ + ceilDiv(from - firstPeriod_, interval_) * interval_;
    if (first >= end) return 0;
    return ((end - 1 - first) / interval_ + 1) * static_cast<long long>(inPeriod_.size());
  }

  const long long unit_;  // the seconds of one period
  const long long interval_;
  const bool onDays_;  // a day start: each day is one instance
  const long long firstPeriod_;
  long long day_;  // the day being walked, counted from 1970-01-01
  const Days days_;
  const icalrecurrencetype recur_;
  const icaltimetype start_;
  bool timesRead_ = false;
  std::vector<int> periods_;   // seconds of the day
  std::vector<int> inPeriod_;  // seconds from a period's start
  bool byInterval_ = false;
  std::vector<bool> kept_;  // by period of the day
  bool dayFound_ = false;
  size_t periodAt_ = 0;
  long long nextInterval_ = 0;
  long long period_ = 0;
  size_t inPeriodAt_ = 0;
};

// A rule every so many days, weeks, months or years: each period on the start's grid gives the
// days its filters keep, each at the times of day its BYHOUR, BYMINUTE and BYSECOND name (the
// start's where it names none), and BYSETPOS picks among them.
class RecurrenceWalk::Periods : public Bounds {
 public:
  Periods(const icalrecurrencetype& recur, const icaltimetype& start, long interval)
      : Bounds(recur, start),
        freq_(recur.freq),
        interval_(interval > 0 ? interval : std::max<int>(1, recur.interval)),
        onDays_(start.is_date != 0),
        days_(recur, start),
        positions_(listed(recur.by_set_pos)) {
    const long long dayNo = floorDiv(low_, kDay);
    const year_month_day ymd = civil(dayNo);
    firstDay_ =
        freq_ == ICAL_WEEKLY_RECURRENCE
            ? dayNo -
                  (weekdayOf(dayNo) -
                   (recur.week_start == ICAL_NO_WEEKDAY ? 0 : fromLibical(recur.week_start)) + 7) %
                      7
            : dayNo;
    firstMonth_ = static_cast<long long>(int(ymd.year())) * 12 + unsigned(ymd.month()) - 1;
    if (onDays_) {
      clocks_ = {0};
      return;
    }
    const auto part = [](const auto& list, int count, int own) {
      return list[0] != ICAL_RECURRENCE_ARRAY_MAX ? within(list, 0, count - 1)
                                                  : std::vector<int>{own};
    };
    for (const int h : part(recur.by_hour, 24, start.hour)) {
      for (const int m : part(recur.by_minute, 60, start.minute)) {
        for (const int sec : part(recur.by_second, 60, start.second)) {
          clocks_.push_back(h * 3600 + m * 60 + sec);
        }
      }
    }
  }

  void enterAt(const icaltimetype& wall) {
    const long long at = ICalSeries::wallSeconds(wall);
    if (at <= low_) return;
    low_ = at;
    // The period holding `at`, on the grid: its instances before `at` are passed over one by one.
    const long long dayNo = floorDiv(at, kDay);
    const year_month_day ymd = civil(dayNo);
    const long long month =
        static_cast<long long>(int(ymd.year())) * 12 + unsigned(ymd.month()) - 1;
    const long long steps = freq_ == ICAL_DAILY_RECURRENCE    ? dayNo - firstDay_
                            : freq_ == ICAL_WEEKLY_RECURRENCE ? floorDiv(dayNo - firstDay_, 7)
                            : freq_ == ICAL_MONTHLY_RECURRENCE
                                ? month - firstMonth_
                                : floorDiv(month, 12) - floorDiv(firstMonth_, 12);
    const long long period = floorDiv(steps, interval_) * interval_;
    if (period > period_) {
      period_ = period;
      found_.clear();
      foundAt_ = 0;
    }
  }

  icaltimetype next(long& work, long budget) {
    while (!ended_ && work <= budget) {
      if (counted()) break;
      if (foundAt_ < found_.size()) {
        ++work;
        const long long at = found_[foundAt_++];
        const Admitted admitted = admit(at);
        if (admitted == Admitted::passed) continue;
        if (admitted == Admitted::past) break;
        return wallAt(at, onDays_);
      }
      expand(work);
    }
    if (work <= budget) ended_ = true;
    return icaltime_null_time();
  }

 private:
  // The instances of the period period_, into found_; on to the next period.
  void expand(long& work) {
    long long from = 0, to = 0;  // its days
    switch (freq_) {
      case ICAL_DAILY_RECURRENCE:
        from = firstDay_ + period_, to = from + 1;
        break;
      case ICAL_WEEKLY_RECURRENCE:
        from = firstDay_ + 7 * period_, to = from + 7;
        break;
      case ICAL_MONTHLY_RECURRENCE:
        from = monthStart(firstMonth_ + period_), to = monthStart(firstMonth_ + period_ + 1);
        break;
      default:
        from = monthStart((floorDiv(firstMonth_, 12) + period_) * 12);
        to = monthStart((floorDiv(firstMonth_, 12) + period_ + 1) * 12);
    }
    found_.clear();
    foundAt_ = 0;
    ++work;
    if (static_cast<int>(civil(from).year()) > kLastYear || (until_ && from * kDay > *until_)) {
      ended_ = true;
      return;
    }
    period_ += interval_;
    std::vector<long long>& kept = dayList_;
    kept.clear();
    for (long long month = from; month < to;) {
      const year_month_day ymd = civil(month);
      const long long end = std::min<long long>(
          to, (sys_days(ymd.year() / ymd.month() / last) + days(1)).time_since_epoch().count());
      if (freq_ == ICAL_DAILY_RECURRENCE && days_.passes(int(ymd.year()), unsigned(ymd.month()))) {
        // A day of a month the filters rule out: on to the first period of the next.
        period_ = std::max(period_, ceilDiv(end - firstDay_, interval_) * interval_);
        return;
      }
      days_.collect(month, end, kept, work);
      month = end;
    }
    for (const long long dayNo : kept) {
      for (const int clock : clocks_) found_.push_back(dayNo * kDay + clock);
    }
    work += static_cast<long>(found_.size());
    if (positions_.empty()) return;
    const long size = static_cast<long>(found_.size());
    std::vector<long long> picked;
    for (const int pos : positions_) {
      const long at = pos > 0 ? pos - 1 : size + pos;
      if (pos != 0 && at >= 0 && at < size) picked.push_back(found_[static_cast<size_t>(at)]);
    }
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    found_ = std::move(picked);
  }

  const icalrecurrencetype_frequency freq_;
  const long long interval_;
  const bool onDays_;  // a day start: each day is one instance
  const Days days_;
  const std::vector<int> positions_;  // BYSETPOS
  std::vector<int> clocks_;           // seconds of the day
  long long firstDay_ = 0;            // of the start's period, a day or a week
  long long firstMonth_ = 0;          // the start's, from year 0
  long long period_ = 0;              // the next period, in periods from the start's
  std::vector<long long> dayList_, found_;
  size_t foundAt_ = 0;
};

std::string RecurrenceWalk::misplaced(const icalrecurrencetype& recur) {
  std::vector<std::string> found;
  const bool withinWeeks = recur.freq <= ICAL_WEEKLY_RECURRENCE;
  for (const int code : listed(recur.by_day)) {
    const int place = icalrecurrencetype_day_position(static_cast<short>(code));
    if (place == 0 || !withinWeeks) continue;
    const char* weekday =
        kWeekdays[fromLibical(icalrecurrencetype_day_day_of_week(static_cast<short>(code)))];
    found.push_back("BYDAY=" + std::to_string(place) + weekday +
                    " (allowed only in monthly and yearly rules, read as every " + weekday + ")");
  }
  const auto named = [&](const short* list, const char* part, bool allowed, const char* where) {
    if (list[0] != ICAL_RECURRENCE_ARRAY_MAX && !allowed) {
      found.push_back(std::string(part) + " (" + where + ", read as a filter of days)");
    }
  };
  named(recur.by_week_no, "BYWEEKNO", recur.freq == ICAL_YEARLY_RECURRENCE,
        "allowed only in yearly rules");
  named(recur.by_year_day, "BYYEARDAY",
        recur.freq < ICAL_DAILY_RECURRENCE || recur.freq == ICAL_YEARLY_RECURRENCE,
        "not allowed in daily, weekly and monthly rules");
  named(recur.by_month_day, "BYMONTHDAY", recur.freq != ICAL_WEEKLY_RECURRENCE,
        "not allowed in weekly rules");
  std::string out;
  for (const std::string& part : found) out += (out.empty() ? "" : ", ") + part;
  return out;
}

RecurrenceWalk::RecurrenceWalk(const icalrecurrencetype& recur, const icaltimetype& start,
                               long budget, long interval)
    : budget_(budget) {
  bool gregorian = recur.rscale == nullptr || ::strcasecmp(recur.rscale, "GREGORIAN") == 0;
  for (const int code : listed(recur.by_month)) {
    gregorian = gregorian && !icalrecurrencetype_month_is_leap(static_cast<short>(code));
  }
  if (gregorian && recur.freq <= ICAL_HOURLY_RECURRENCE) {
    days_ = std::make_unique<DayByDay>(recur, start, interval);
  } else if (gregorian && recur.freq <= ICAL_YEARLY_RECURRENCE) {
    periods_ = std::make_unique<Periods>(recur, start, interval);
  } else if (recur.freq > ICAL_HOURLY_RECURRENCE) {
    // Another calendar's months and years are libical's, each of its steps a day at most.
    steps_.reset(ICalSeries::wallSteps(recur, start));
  } else {
    // Within a day, libical would step through every second: it is not followed.
    spent_ = true;
  }
}

RecurrenceWalk::RecurrenceWalk(RecurrenceWalk&&) noexcept = default;
RecurrenceWalk& RecurrenceWalk::operator=(RecurrenceWalk&&) noexcept = default;
RecurrenceWalk::~RecurrenceWalk() = default;

void RecurrenceWalk::FreeSteps::operator()(icalrecur_iterator* steps) const {
  icalrecur_iterator_free(steps);
}

RecurrenceWalk::operator bool() const { return days_ || periods_ || steps_ || spent_; }

void RecurrenceWalk::enterAt(icaltimetype wall) {
  wall.zone = nullptr;
  if (days_) days_->enterAt(wall);
  if (periods_) periods_->enterAt(wall);
  if (steps_) icalrecur_iterator_set_start(steps_.get(), wall);
}

void RecurrenceWalk::endAt(icaltimetype wall) {
  if (days_) days_->endAt(wall);
  if (periods_) periods_->endAt(wall);
}

icaltimetype RecurrenceWalk::next() {
  if (spent_) return icaltime_null_time();
  if (days_ || periods_) {
    const icaltimetype t = days_ ? days_->next(work_, budget_) : periods_->next(work_, budget_);
    spent_ = work_ > budget_;
    return t;
  }
  if (!steps_) return icaltime_null_time();
  if (++work_ > budget_) {
    spent_ = true;
    return icaltime_null_time();
  }
  return icalrecur_iterator_next(steps_.get());
}

}  // namespace tvrn
