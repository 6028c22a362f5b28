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

}  // namespace

// A rule every so many seconds, minutes or hours, expanded a day at a time. Its periods (the
// seconds, minutes or hours it steps by, from the start's on, every INTERVAL-th) are kept where
// the day and the time of day pass its filters; within each, the parts of a smaller unit than
// its own (the seconds of a minute, the minutes and seconds of an hour) expand it, and BYSETPOS
// picks among those. A day is found by its filters alone; within it, the periods are tried from
// whichever is shorter: the times of day the filters keep, or the periods the interval gives.
class RecurrenceWalk::DayByDay {
 public:
  // Nothing for a rule of another frequency or calendar, or one that numbers weeks.
  static std::unique_ptr<DayByDay> of(const icalrecurrencetype& recur, const icaltimetype& start) {
    if (recur.freq > ICAL_HOURLY_RECURRENCE || recur.by_week_no[0] != ICAL_RECURRENCE_ARRAY_MAX ||
        (recur.rscale != nullptr && ::strcasecmp(recur.rscale, "GREGORIAN") != 0)) {
      return nullptr;
    }
    for (const int code : listed(recur.by_month)) {
      if (icalrecurrencetype_month_is_leap(static_cast<short>(code))) return nullptr;
    }
    return std::unique_ptr<DayByDay>(new DayByDay(recur, start));
  }

  void enterAt(const icaltimetype& wall) {
    const long long at = ICalSeries::wallSeconds(wall);
    if (at <= low_) return;
    low_ = at;
    day_ = floorDiv(at, kDay);
    dayFound_ = false;
    inPeriodAt_ = inPeriod_.size();
  }

  void endAt(const icaltimetype& wall) {
    const long long at = ICalSeries::wallSeconds(wall);
    if (!until_ || at < *until_) until_ = at;
  }

  // The next instance, adding what it cost to `work`; a null time after the last one, or once
  // `work` passes `budget`.
  icaltimetype next(long& work, long budget) {
    while (!ended_ && work <= budget) {
      if (left_ && *left_ <= 0) break;
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
        if (at < low_) continue;
        if (until_ && at > *until_) break;
        if (left_) --*left_;
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
  DayByDay(const icalrecurrencetype& recur, const icaltimetype& start)
      : unit_(recur.freq == ICAL_SECONDLY_RECURRENCE   ? 1
              : recur.freq == ICAL_MINUTELY_RECURRENCE ? 60
                                                       : 3600),
        interval_(std::max<int>(1, recur.interval)),
        onDays_(start.is_date != 0),
        low_(ICalSeries::wallSeconds(start)),
        firstPeriod_(floorDiv(low_, unit_)),
        day_(floorDiv(low_, kDay)),
        monthDays_(within(recur.by_month_day, -31, 31)),
        yearDays_(within(recur.by_year_day, -366, 366)),
        byDay_(recur.by_day[0] != ICAL_RECURRENCE_ARRAY_MAX) {
    if (recur.count > 0) left_ = recur.count;
    for (const int m : within(recur.by_month, 1, 12)) months_ |= 1u << m;
    // A weekday with a place in the month or year ("1MO") is no filter of days: it names none.
    for (const int code : listed(recur.by_day)) {
      if (icalrecurrencetype_day_position(static_cast<short>(code)) == 0) {
        weekdays_ |= 1u << icalrecurrencetype_day_day_of_week(static_cast<short>(code));
      }
    }
    readUntil(ICalSeries::wallRule(recur, start).until, start);
    readTimes(recur, start);
  }

  void readUntil(const icaltimetype& until, const icaltimetype& start) {
    if (icaltime_is_null_time(until)) return;
    const long long dayNo = ICalProperties::dayNumber(until);
    if (start.is_date) {
      until_ = (dayNo + 1) * kDay - 1;  // its whole day
    } else {
      until_ = until.is_date ? dayNo * kDay : ICalSeries::wallSeconds(until);
    }
  }

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
      if (y > kPimLastYear || (until_ && day_ * kDay > *until_)) {
        ended_ = true;
        return false;
      }
      if (months_ != 0 && (months_ & (1u << m)) == 0) {
        day_ = (sys_days(ymd.year() / ymd.month() / last) + days(1)).time_since_epoch().count();
        continue;
      }
      if (keeps(ymd)) {
        dayFound_ = true;
        periodAt_ = 0;
        const long long from = std::max(ceilDiv(day_ * kDay, unit_), firstPeriod_);
        nextInterval_ = firstPeriod_ + ceilDiv(from - firstPeriod_, interval_) * interval_;
      } else {
        ++day_;
      }
    }
    return true;
  }

  bool keeps(const year_month_day& ymd) const {
    if (!monthDays_.empty()) {
      const unsigned length = unsigned(year_month_day_last(ymd.year() / ymd.month() / last).day());
      if (!names(monthDays_, static_cast<int>(unsigned(ymd.day())), static_cast<int>(length))) {
        return false;
      }
    }
    if (!yearDays_.empty()) {
      const long long first = sys_days(ymd.year() / January / 1).time_since_epoch().count();
      if (!names(yearDays_, static_cast<int>(day_ - first + 1), ymd.year().is_leap() ? 366 : 365)) {
        return false;
      }
    }
    // libical counts weekdays from Sunday, 1; day 0 was a Thursday.
    const int weekday = static_cast<int>(((day_ + 4) % 7 + 7) % 7) + 1;
    return !byDay_ || (weekdays_ & (1u << weekday)) != 0;
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
  long long low_;      // the first second an instance may be at
  const long long firstPeriod_;
  long long day_;  // the day being walked, counted from 1970-01-01
  std::optional<long long> until_;
  std::optional<long long> left_;  // what is left of the COUNT
  unsigned months_ = 0, weekdays_ = 0;
  const std::vector<int> monthDays_, yearDays_;
  const bool byDay_;
  std::vector<int> periods_;   // seconds of the day
  std::vector<int> inPeriod_;  // seconds from a period's start
  bool byInterval_ = false;
  std::vector<bool> kept_;  // by period of the day
  bool dayFound_ = false;
  bool ended_ = false;
  size_t periodAt_ = 0;
  long long nextInterval_ = 0;
  long long period_ = 0;
  size_t inPeriodAt_ = 0;
};

RecurrenceWalk::RecurrenceWalk(const icalrecurrencetype& recur, const icaltimetype& start,
                               long budget)
    : days_(DayByDay::of(recur, start)), budget_(budget) {
  if (days_) return;
  // A rule within a day of another calendar than the Gregorian one would be libical's to step
  // through second by second: it is not followed.
  if (recur.freq <= ICAL_HOURLY_RECURRENCE && recur.by_week_no[0] == ICAL_RECURRENCE_ARRAY_MAX) {
    spent_ = true;
    return;
  }
  steps_.reset(ICalSeries::wallSteps(recur, start));
}

RecurrenceWalk::RecurrenceWalk(RecurrenceWalk&&) noexcept = default;
RecurrenceWalk& RecurrenceWalk::operator=(RecurrenceWalk&&) noexcept = default;
RecurrenceWalk::~RecurrenceWalk() = default;

void RecurrenceWalk::FreeSteps::operator()(icalrecur_iterator* steps) const {
  icalrecur_iterator_free(steps);
}

RecurrenceWalk::operator bool() const { return days_ || steps_ || spent_; }

void RecurrenceWalk::enterAt(icaltimetype wall) {
  wall.zone = nullptr;
  if (days_) days_->enterAt(wall);
  if (steps_) icalrecur_iterator_set_start(steps_.get(), wall);
}

void RecurrenceWalk::endAt(icaltimetype wall) {
  if (days_) days_->endAt(wall);
}

icaltimetype RecurrenceWalk::next() {
  if (spent_) return icaltime_null_time();
  if (days_) {
    const icaltimetype t = days_->next(work_, budget_);
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
