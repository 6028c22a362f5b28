// The arithmetic of a repeating event as the event store changes it: a start moved with everything
// that names the occurrences (removed and extra dates, the rule's end and days, changed
// occurrences), a change of one occurrence carried on to the later ones as a difference, and the
// rules of a series cut in two. A move the rule cannot follow is refused rather than made.
#pragma once

#include <libical/ical.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pim/ICalTime.h"
#include "pim/PimTypes.h"

namespace tvrn::ICalSeries {

// Where the file states a rule, for a refusal that names it ("/path/item.ics, line 9"); empty
// where unknown.
using RulePlace = std::function<std::string(const icalrecurrencetype&)>;

// A time as a refusal gives it: on the user's clock ("2024-05-08 09:00"), in the zone
// userZoneText names ("Europe/Berlin", "UTC", "local" where the system does not know it).
std::string userText(PimTime time);
std::string userZoneText();

// A rule's instances as wall clocks of its start's frame (a zoned start's clock; the rule steps
// on it, so 09:00 stays 09:00 across a change of offset), its end given in the same frame.
// Null when libical cannot step the rule.
icalrecur_iterator* wallSteps(icalrecurrencetype recur, icaltimetype start);
// The seconds from 1970-01-01 00:00 to a wall clock on the same clock, for every year the store
// keeps (libical's icaltime_as_timet gives -1 before 1902); a day counts from its midnight.
long wallSeconds(const icaltimetype& t);
// The rule as wallSteps steps it: its UNTIL a wall clock of the start's frame, without a zone.
icalrecurrencetype wallRule(icalrecurrencetype recur, const icaltimetype& start);

// The series' own record after a change of its occurrence `before` into `after` that reaches this
// occurrence and every later one: the texts and rule it sets, and the times moved by the same
// difference on the wall clock of `frame` (the form of the series' start), so an occurrence that
// was moved on its own does not carry its own move into the others. A change between a day and a
// time of day moves each occurrence's own day by the days the change moved, at the new time.
Event changedFrom(const Event& series, const Event& before, const Event& after,
                  const ICalTime::Form& frame);

// A series' start as the file gave it before a change, and what names its occurrences by that
// start: when the start moves, they move with it by the same wall-clock shift, written in the
// start's new form (a DATE beside a day, UNTIL in UTC beside a zone).
class StartMove {
 public:
  // `rulesFollow`: false when the rules are to be replaced after the move, and are left alone.
  // `place` names the rules a refusal is about.
  StartMove(icalcomponent* main, std::vector<icalcomponent*> overrides, bool rulesFollow = true,
            RulePlace place = {});

  // After the start was written anew (`series` is the event as it now is): moves the removed and
  // extra dates, the rule's days and end, and every changed occurrence with its own start by the
  // same shift. Nothing, or why the rule cannot be moved so (it would not give each occurrence
  // moved by the shift); the component is then only half moved and must not be written.
  std::optional<std::string> apply(const Event& series);

 private:
  icaltimetype movedWall(icaltimetype wall) const;
  std::optional<PimTime> moved(icaltimetype t) const;
  void moveDates(icalproperty_kind kind);
  icalproperty* movedDate(icalproperty* prop, icalproperty_kind kind) const;
  std::optional<std::string> moveRules();
  std::optional<std::string> toWholeDays(icalrecurrencetype& recur) const;
  icaltimetype untilOf(icaltimetype wall) const;
  std::optional<std::string> shiftDays(icalrecurrencetype& recur,
                                       const icalrecurrencetype& was) const;
  void shiftTimeOfDay(icalrecurrencetype& recur) const;
  std::optional<std::string> sameSteps(const icalrecurrencetype& was, const icalrecurrencetype& now,
                                       std::optional<icaltimetype>& last) const;
  void moveOverride(icalcomponent* own, const Event& series);

  icalcomponent* main_;
  const icaltimetype was_;
  const ICalTime::Form wasForm_;
  const std::vector<icalcomponent*> overrides_;
  const bool rulesFollow_;
  const RulePlace place_;
  icaltimetype now_{};
  ICalTime::Form form_;
  long shift_ = 0;  // in seconds of wall clock
  long days_ = 0;   // between the days the start was and is on
  bool toggled_ = false;
};

// The rules of `main` (a copy of a series that is to begin at its occurrence `original`) bounded
// to what they give from `original` on: a COUNT loses the instances before it; a rule with none
// left goes. Where `original` is no instance of a rule (an extra date), the rule states the days
// and time of day it took from the old start, which the new one would not give. Nothing, or why
// not (a rule with too many instances before `original` to count them); `main` must then not be
// written.
std::optional<std::string> countFrom(icalcomponent* main, PimTime original, const RulePlace& place);

// From when on the occurrences of `main` repeat for ever as they did before: past its own dates
// (RDATE, EXDATE) and `from`, once its rules' instances have come round twice. Two series whose
// rules step alike (one cut from the other) and that give the same occurrences up to there give
// the same ones after it. Nothing where a rule does not repeat so, or where one of several rules
// ends at a COUNT.
std::optional<PimTime> settledAfter(icalcomponent* main, PimTime from);

// The rules of `main` ended with their last instance before `original` (UNTIL in the start's
// form); a rule with none before it goes. Nothing, or why not (see countFrom).
std::optional<std::string> endRulesBefore(icalcomponent* main, PimTime original,
                                          const RulePlace& place);

}  // namespace tvrn::ICalSeries
