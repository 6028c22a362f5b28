#include "platform/Recurrence.h"

#include <algorithm>
#include <ctime>

namespace tvrn::Recurrence {
namespace {

using namespace std::chrono;

constexpr int kLastYear = kPimLastYear;

unsigned daysInMonth(int yearNumber, unsigned monthNumber) {
  return static_cast<unsigned>(
      year_month_day_last(year(yearNumber), month_day_last(month(monthNumber))).day());
}

long maxPeriodDays(RecurrenceFrequency frequency) {
  switch (frequency) {
    case RecurrenceFrequency::daily:
      return 1;
    case RecurrenceFrequency::weekly:
      return 7;
    case RecurrenceFrequency::monthly:
      return 31;
    case RecurrenceFrequency::yearly:
      return 366;
  }
  return 1;
}

}  // namespace

// The start of one period of a series, counted in whole steps of the frequency from its start.
class Cursor::Periods {
 public:
  Periods(PimTime start, RecurrenceFrequency frequency, bool allDay)
      : start_(start), frequency_(frequency), allDay_(allDay) {
    firstDay_ = floor<days>(start);
    timeOfDay_ = start - firstDay_;
    const std::time_t seconds = system_clock::to_time_t(start);
    ::localtime_r(&seconds, &local_);
  }

  unsigned dayOfMonth() const {
    return allDay_ ? static_cast<unsigned>(year_month_day(firstDay_).day())
                   : static_cast<unsigned>(local_.tm_mday);
  }

  // Sets *past when the period lies beyond the last year; answers nothing for a period that has
  // no occurrence (a month without the start's day).
  std::optional<PimTime> at(long steps, bool* past) const {
    *past = false;
    if (steps == 0) return start_;
    return allDay_ ? onDays(steps, past) : onLocalClock(steps, past);
  }

 private:
  std::optional<PimTime> onDays(long steps, bool* past) const {
    static const sys_days lastDay = year(kLastYear) / December / 31;
    sys_days day = firstDay_;
    const year_month_day first(firstDay_);
    switch (frequency_) {
      case RecurrenceFrequency::daily:
        day += days(steps);
        break;
      case RecurrenceFrequency::weekly:
        day += days(7 * steps);
        break;
      case RecurrenceFrequency::monthly:
      case RecurrenceFrequency::yearly: {
        const long monthSteps = frequency_ == RecurrenceFrequency::yearly ? 12 * steps : steps;
        if (static_cast<int>(first.year()) + monthSteps / 12 > kLastYear) {
          *past = true;
          return std::nullopt;
        }
        const year_month_day target = first + months(monthSteps);
        if (!target.ok()) return std::nullopt;
        day = sys_days(target);
      }
    }
    if (day > lastDay) {
      *past = true;
      return std::nullopt;
    }
    return PimTime(day) + timeOfDay_;
  }

  std::optional<PimTime> onLocalClock(long steps, bool* past) const {
    std::tm when = local_;
    switch (frequency_) {
      case RecurrenceFrequency::daily:
        when.tm_mday += static_cast<int>(steps);
        break;
      case RecurrenceFrequency::weekly:
        when.tm_mday += static_cast<int>(7 * steps);
        break;
      case RecurrenceFrequency::monthly:
      case RecurrenceFrequency::yearly: {
        const long totalMonths =
            when.tm_mon + (frequency_ == RecurrenceFrequency::yearly ? 12 * steps : steps);
        const long yearNumber = 1900L + when.tm_year + totalMonths / 12;
        if (yearNumber > kLastYear) {
          *past = true;
          return std::nullopt;
        }
        const auto monthIndex = static_cast<unsigned>(totalMonths % 12);
        if (static_cast<unsigned>(when.tm_mday) >
            daysInMonth(static_cast<int>(yearNumber), monthIndex + 1)) {
          return std::nullopt;
        }
        when.tm_year = static_cast<int>(yearNumber - 1900);
        when.tm_mon = static_cast<int>(monthIndex);
      }
    }
    when.tm_isdst = -1;
    const std::time_t seconds = ::mktime(&when);
    if (1900L + when.tm_year > kLastYear) {
      *past = true;
      return std::nullopt;
    }
    return system_clock::from_time_t(seconds) + (start_ - floor<std::chrono::seconds>(start_));
  }

  PimTime start_;
  RecurrenceFrequency frequency_;
  bool allDay_;
  sys_days firstDay_;
  PimTime::duration timeOfDay_{};
  std::tm local_{};
};

Cursor::Cursor(PimTime seriesStart, const RecurrenceRule& rule, bool allDay, PimTime from)
    : periods_(std::make_unique<const Periods>(seriesStart, rule.frequency, allDay)),
      rule_(rule),
      interval_(std::max(rule.interval, 1)) {
  const long longestStepDays = maxPeriodDays(rule.frequency) * interval_;
  // A step longer than all the years the store keeps never reaches a second occurrence; this
  // bound also keeps the arithmetic below in range.
  if (longestStepDays > 366L * (kLastYear - kPimFirstYear + 1)) {
    onlyFirst_ = true;
    return;
  }
  // When every period holds an occurrence, the index of an occurrence is its period, so the
  // periods that surely end before `from` can be passed over without counting them.
  const bool everyPeriodYields = rule.frequency == RecurrenceFrequency::daily ||
                                 rule.frequency == RecurrenceFrequency::weekly ||
                                 periods_->dayOfMonth() <= 28;
  if (everyPeriodYields && from > seriesStart) {
    // In seconds: the years the store keeps span more nanoseconds than a time point can hold.
    const long gapSeconds = duration_cast<seconds>(from.time_since_epoch()).count() -
                            duration_cast<seconds>(seriesStart.time_since_epoch()).count();
    period_ = std::max(0L, gapSeconds / (longestStepDays * 86400L) - 1);
    index_ = period_;
  }
}

Cursor::~Cursor() = default;
Cursor::Cursor(Cursor&&) noexcept = default;
Cursor& Cursor::operator=(Cursor&&) noexcept = default;

std::optional<Occurrence> Cursor::next() {
  while (!ended_) {
    if (index_ > 0 && (onlyFirst_ || (rule_.occurrenceCount && index_ >= *rule_.occurrenceCount))) {
      break;
    }
    bool past = false;
    const auto start = periods_->at(period_++ * interval_, &past);
    if (past) break;
    if (!start) continue;
    if (index_ > 0 && rule_.endDate && *start > *rule_.endDate) break;
    return Occurrence{index_++, *start};
  }
  ended_ = true;
  return std::nullopt;
}

void forEach(PimTime seriesStart, const RecurrenceRule& rule, bool allDay, PimTime from,
             const Visitor& visit) {
  Cursor cursor(seriesStart, rule, allDay, from);
  while (auto occurrence = cursor.next()) {
    if (!visit(occurrence->index, occurrence->start)) return;
  }
}

}  // namespace tvrn::Recurrence
