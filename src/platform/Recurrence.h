// Works out when the occurrences of a repeating event fall. Timed series repeat at the same local
// wall-clock time (so a 09:00 meeting stays at 09:00 across a daylight-saving change); all-day
// series repeat on whole days.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/PimTypes.h"

namespace tvrn::Recurrence {

struct Occurrence {
  long index = 0;  // counted from 0, the series' own start
  PimTime start;
};

// Hands out the occurrences of a series one at a time, in order, so a caller can stop or pause
// anywhere without the rest being worked out. Occurrences that start before `from` may be
// skipped, never those at or after it. The series ends with its rule or past the last year the
// store keeps.
class Cursor {
 public:
  Cursor(PimTime seriesStart, const RecurrenceRule& rule, bool allDay, PimTime from);
  ~Cursor();
  Cursor(Cursor&&) noexcept;
  Cursor& operator=(Cursor&&) noexcept;

  // The next occurrence, or nothing once the series has ended.
  std::optional<Occurrence> next();

 private:
  class Periods;
  std::unique_ptr<const Periods> periods_;
  RecurrenceRule rule_;
  long interval_ = 1;
  long period_ = 0;
  long index_ = 0;
  bool onlyFirst_ = false;  // no second occurrence falls in the years the store keeps
  bool ended_ = false;
};

// Answers whether to go on to the next occurrence.
using Visitor = std::function<bool(long index, PimTime start)>;

// Visits the occurrences of a series in order, as a Cursor hands them out, until `visit` answers
// false or the series ends.
void forEach(PimTime seriesStart, const RecurrenceRule& rule, bool allDay, PimTime from,
             const Visitor& visit);

}  // namespace tvrn::Recurrence
