// A repeating rule's instances as the store reads them (RFC 5545 3.3.10), earliest first, at a cost
// bounded whatever the rule's frequency and filters. Each period of the rule (a year, month, week
// or day; an hour, minute or second) on the start's grid is expanded into the days and times its
// BY parts give, a value listed twice counted once, BYSETPOS picks among them, and COUNT and UNTIL
// end the rule; no instance comes before the start. A rule that repeats within a day is expanded a
// day at a time: first the days its filters keep, then the times of each, so the seconds between
// its instances are never stepped through. A month whose filters keep none of its days is passed
// at once, so a rule that never matches costs a step a month. A part RFC 5545 does not allow at
// the rule's frequency is read as python-dateutil (khal) reads it: a numbered weekday below a
// month ("-1FR" every day) is that weekday, a week number, a day of the year or of the month a
// filter of days (see misplaced). Only a rule of another calendar than the Gregorian one is
// libical's to step. A walk that would cost more than its budget stops where it got to and says
// so.
#pragma once

#include <libical/ical.h>

#include <memory>
#include <string>

namespace tvrn {

class RecurrenceWalk {
 public:
  // What one walk may cost, in periods, days looked at and times tried (each well under a
  // microsecond): a rule every second can be followed over a week, one every day over all the
  // years the store keeps.
  static constexpr long kBudget = 2'000'000;

  // The instances of `recur` from `start`, as wall clocks of the start's frame without a zone (a
  // day beside a day start), its UNTIL read in that frame as ICalSeries::wallSteps reads it.
  // Beside a day start the rule's hours, minutes and seconds are ignored (RFC 5545 3.3.10), and
  // the instances within one day are that day, given once. `interval`: the rule's INTERVAL where
  // libical cannot hold it (see ICalItem), else 0.
  RecurrenceWalk(const icalrecurrencetype& recur, const icaltimetype& start, long budget = kBudget,
                 long interval = 0);
  RecurrenceWalk(RecurrenceWalk&&) noexcept;
  RecurrenceWalk& operator=(RecurrenceWalk&&) noexcept;
  ~RecurrenceWalk();

  // The parts of `recur` RFC 5545 does not allow at its frequency, each with how the walk reads
  // it ("BYDAY=-1FR, allowed only in monthly and yearly rules, read as every FR"); empty where
  // there are none.
  static std::string misplaced(const icalrecurrencetype& recur);

  // False for a rule of another calendar libical cannot step, which gives no instance.
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
  class Days;
  class Bounds;
  class DayByDay;
  class Periods;
  struct FreeSteps {
    void operator()(icalrecur_iterator* steps) const;
  };
  std::unique_ptr<DayByDay> days_;                        // a rule that repeats within a day
  std::unique_ptr<Periods> periods_;                      // one of days or longer
  std::unique_ptr<icalrecur_iterator, FreeSteps> steps_;  // one of another calendar
  long budget_;
  long work_ = 0;
  bool spent_ = false;
};

}  // namespace tvrn
