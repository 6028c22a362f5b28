// The times of iCalendar files as the event store reads and writes them: the instant a time names,
// and an instant written back in the form the file gave it (a day, UTC, a floating wall clock, or
// the wall clock of a named zone), so a program that reads the file sees the zone it wrote.
#pragma once

#include <libical/ical.h>

#include <optional>
#include <string>

#include "pim/PimTypes.h"

namespace tvrn::ICalTime {

struct Form {
  enum class Kind { date, utc, floating, zoned };
  Kind kind = Kind::utc;
  const icaltimezone* zone = nullptr;  // zoned
  // The TZID as the file spells it (a zone nobody defines keeps it, read as floating).
  std::string tzid;
};

Form utc();
Form date();
// The user's own zone, for a time of day where the file gave none (a day made a time of day): the
// zone TZ or /etc/localtime names, where the system knows it; UTC for UTC; else the user's wall
// clock wherever they are (floating).
Form userForm();
// The time a property holds, in the zone its TZID names (see ICalZones).
icaltimetype valueOf(icalproperty* prop, icalcomponent* comp);
// The form of a time property's value (DTSTART, EXDATE, RECURRENCE-ID...) in `comp`; UTC when the
// component has no such property.
Form formOf(icalcomponent* comp, icalproperty_kind kind);

// The wall clock of `zone` at `time`, with the zone set. (libical's conversion from a time_t
// gives the zone's wall clock marked as UTC.)
icaltimetype wallClock(PimTime time, const icaltimezone* zone);
// `time` in `form`: a day is the UTC day, a floating time the user's own wall clock.
icaltimetype inForm(PimTime time, const Form& form);
// The instant a time names, or nothing outside the years the store keeps. A floating time is read
// in `floatingZone` when one is given (an exception or override of a zoned series), else in the
// user's zone.
std::optional<PimTime> instant(icaltimetype time, const icaltimezone* floatingZone = nullptr);

// The wall clock `time` shows beside a series' start `start` of form `form`, as a time of day
// without a zone: a day beside a day start; the day at the start's time of day beside a timed
// start; else the clock of the start's frame (UTC, its zone, the user's for a floating start),
// where a floating time already is.
icaltimetype wallBeside(icaltimetype time, icaltimetype start, const Form& form);
// The instant a wall clock (as wallBeside gives it) names in `form`; a day form takes its day.
std::optional<PimTime> fromWall(icaltimetype wall, const Form& form);
// Whether the clock of `form` ever shows `wall`: not where it skips that time going forward (or
// outside the years the store keeps, where nothing tells).
bool shows(const icaltimetype& wall, const Form& form);
// Whether `time` written on the clock of `form` reads back as `time`: not the first of two
// instants a zone's (or the user's) clock shows the same wall clock at as it goes back.
bool holds(PimTime time, const Form& form);
// `form`, or UTC where the clock of `form` cannot name `time`: the first of the two instants a
// zone's clock shows the same wall clock at as it goes back, which written on that clock would
// read as the later one.
Form heldBy(PimTime time, const Form& form);

// A new property of `kind` holding `time` in `form`.
icalproperty* property(icalproperty_kind kind, PimTime time, const Form& form);
// A new property of `kind` holding the wall clock `wall` of `form` as it stands: a rule's instance
// at a time the clock skips, which no instant's wall clock is.
icalproperty* property(icalproperty_kind kind, icaltimetype wall, const Form& form);
// The end of a repeating rule whose last occurrence may start at `last`: a day beside a day,
// floating beside a floating start, else UTC (RFC 5545 3.3.10), also beside a TZID nobody defines.
icaltimetype until(PimTime last, const Form& start);

}  // namespace tvrn::ICalTime
