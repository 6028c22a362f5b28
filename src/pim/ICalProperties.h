// The properties of one iCalendar component as the event store reads and writes them: the event a
// component states, and a change written into it property by property, its times in the form
// they had.
#pragma once

#include <libical/ical.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "pim/ICalTime.h"
#include "pim/PimTypes.h"

namespace tvrn::ICalProperties {

// `time` moved by `by`, held at the ends of the clock.
PimTime later(PimTime time, PimTime::duration by);

// The time of the first property of `kind`, in the zone its TZID names; a null time without one.
icaltimetype timeOf(icalcomponent* comp, icalproperty_kind kind);
// Whether a time libical read names a day, and a time of day, that exists: it reads 20230230 or
// T250000 as they stand, which the calendar arithmetic would carry into another day. A null time
// passes.
bool exists(icaltimetype t);
void removeAll(icalcomponent* comp, icalproperty_kind kind);
// Replaces every property of `kind` by one holding `time` in `form`.
void setTime(icalcomponent* comp, icalproperty_kind kind, PimTime time, const ICalTime::Form& form);
// The same with a wall clock of `form` as it stands (see ICalTime::property).
void setTime(icalcomponent* comp, icalproperty_kind kind, const icaltimetype& wall,
             const ICalTime::Form& form);

// Replaces the component's end (DTEND, DURATION) by its length, as a DURATION.
void setLength(icalcomponent* comp, PimTime::duration length);

// The texts of an event and the properties that hold them.
struct TextField {
  icalproperty_kind kind;
  std::string Event::*member;
};
inline constexpr TextField kEventTexts[] = {{ICAL_SUMMARY_PROPERTY, &Event::title},
                                            {ICAL_LOCATION_PROPERTY, &Event::location},
                                            {ICAL_DESCRIPTION_PROPERTY, &Event::notes},
                                            {ICAL_URL_PROPERTY, &Event::url}};
std::string textOf(icalcomponent* comp, icalproperty_kind kind);
// Replaces every property of `kind` by one holding `text`; an empty text leaves none.
void setText(icalcomponent* comp, icalproperty_kind kind, const std::string& text);

// The rule the records can say (daily to yearly, an interval, a count or an end), if any.
std::optional<RecurrenceRule> ruleOf(icalcomponent* comp);
icalproperty* ruleProperty(const RecurrenceRule& rule, const ICalTime::Form& start);

// The event one component states; nothing when its start is not one the store can hold, its
// start or end names no day that exists, or it lasts longer than the store can work with.
std::optional<Event> eventOf(icalcomponent* comp);

// Stamps the component as changed now.
void touch(icalcomponent* comp);
bool recordDiffers(const Event& before, const Event& after);
// Writes the fields that differ; the times keep the form (zone, floating, day) they had. A day
// made a time of day is written in the user's zone (see ICalTime::userForm).
void applyDifferences(icalcomponent* comp, const Event& before, const Event& after);

// Rebuilds each VTIMEZONE of the calendar `root` that the store added (see ICalZones::refitted) to
// begin in the first year the calendar's times on its clock now reach, so that a reader of the
// file's own zones places an event moved to an earlier year as the store does. The one replaced
// goes to `discard`.
void fitZones(icalcomponent* root, const std::function<void(icalcomponent*)>& discard);

// When an extra date (RDATE) of `main` begins, and for a period its own end: the end it gives,
// or its start and length. A floating time is in the series' zone. (Looking up no other property
// of `main`, so a walk over its extra dates goes on.)
std::pair<std::optional<PimTime>, std::optional<PimTime>> extraDate(icalproperty* prop,
                                                                    icalcomponent* main,
                                                                    const icaltimezone* seriesZone);

// The day a wall-clock time falls on, counted from 1970-01-01.
long dayNumber(icaltimetype t);

}  // namespace tvrn::ICalProperties
