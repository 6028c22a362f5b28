// A repeating rule's instances as the store reads them, earliest first, at a cost bounded whatever
// the rule's frequency and filters. A rule that repeats within a day (every so many seconds,
// minutes or hours) is expanded a day at a time: first the days its filters keep, then the times
// of each, so the seconds or minutes between its instances are never stepped through (libical
// steps through every one: a rule every second at 10:00 on 29 February passes four years of
// seconds between two instances). A rule of days or longer is libical's, each of whose steps
// passes a day at most. A walk that would cost more than its budget stops where it got to and
// says so.
#pragma once

#include <libical/ical.h>

#include <memory>

namespace tvrn {

class RecurrenceWalk {
 public:
  // What one walk may cost, in days looked at, times tried and libical's steps (each well under a
  // microsecond): a rule every second can be followed over a week, one every day over all the
  // years the store keeps.
  static constexpr long kBudget = 2'000'000;

  // The instances of `recur` from `start`, as wall clocks of the start's frame without a zone (a
  // day beside a day start), its UNTIL read in that frame as ICalSeries::wallSteps reads it.
  // Beside a day start the rule's hours, minutes and seconds are ignored (RFC 5545 3.3.10), and
  // the instances within one day are that day, given once.
  RecurrenceWalk(const icalrecurrencetype& recur, const icaltimetype& start, long budget = kBudget);
  RecurrenceWalk(RecurrenceWalk&&) noexcept;
  RecurrenceWalk& operator=(RecurrenceWalk&&) noexcept;
  ~RecurrenceWalk();

  // False for a rule libical cannot step, which gives no instance.
  explicit operator bool() const;
  // Goes on from `wall` (a wall clock of the start's frame) rather than from the start: only for a
  // rule without a COUNT, whose instances do not depend on those before.
  void enterAt(icaltimetype wall);
  // Gives no instance after `wall`: a walk for a window of time need not look further.
  void endAt(icaltimetype wall);
  // The next instance; a null time after the last one, or once the budget is spent.
  icaltimetype next();
  // Whether the walk stopped at its budget: the instances after the last one it gave are unknown.
  bool spent() const { return spent_; }

 private:
  class DayByDay;
  struct FreeSteps {
    void operator()(icalrecur_iterator* steps) const;
  };
  std::unique_ptr<DayByDay> days_;                        // a rule that repeats within a day
  std::unique_ptr<icalrecur_iterator, FreeSteps> steps_;  // any other
  long budget_;
  long work_ = 0;
  bool spent_ = false;
};

}  // namespace tvrn
