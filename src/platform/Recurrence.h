// Works out when the occurrences of a repeating event fall. Timed series repeat at the same local
// wall-clock time (so a 09:00 meeting stays at 09:00 across a daylight-saving change); all-day
// series repeat on whole days.
#pragma once

#include <functional>

#include "platform/PimTypes.h"

namespace tvrn::Recurrence {

// Answers whether to go on to the next occurrence.
using Visitor = std::function<bool(long index, PimTime start)>;

// Visits the occurrences of a series in order, each with its index counted from 0 (the series'
// own start, which is always an occurrence). Occurrences that start before `from` may be skipped,
// never those at or after it. Stops when `visit` answers false, when the rule ends, or past the
// last year the store keeps.
void forEach(PimTime seriesStart, const RecurrenceRule& rule, bool allDay, PimTime from,
             const Visitor& visit);

}  // namespace tvrn::Recurrence
