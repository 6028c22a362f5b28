#include <algorithm>

#include "pim/ICalItem.h"
#include "pim/ICalSeries.h"
#include "pim/PimAccess.h"
#include "pim/PimCodec.h"
#include "platform/FileStore.h"
#include "platform/HardwareId.h"

namespace tvrn {

using namespace pimstore;
using namespace PimCodec;
using std::chrono::days;
using std::chrono::seconds;

// ---- calendars and reminder lists

Result<const Collection*, PimError> pimstore::saveCollection(
    PimIndex& index, const std::string& givenId, const std::string& title,
    const std::optional<std::vector<double>>& color, Kind kind, PimWarnings& warnings) {
  fs::path at;
  if (givenId.empty()) {
    const bool calendars = kind != Kind::contacts;
    const auto& roots = index.roots.of[calendars ? 0 : 1];
    if (roots.empty()) return fail(notSaved("no folder is configured for it"));
    const fs::path root = roots.front();
    at = root / HardwareId::randomUUID();
  } else {
    const Collection* existing = index.collection(givenId);
    if (existing == nullptr) {
      return fail(problem(PimError::Code::notFound, kind == Kind::contacts
                                                        ? "The container does not exist."
                                                        : "The calendar does not exist."));
    }
    if ((existing->kind == Kind::contacts) != (kind == Kind::contacts) ||
        (kind != Kind::contacts && existing->kind != kind && !existing->entries.empty())) {
      return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
    }
    at = existing->folder;
  }
  std::string why;
  const char* kindText = kind == Kind::tasks ? "tasks" : kind == Kind::events ? "events" : "";
  if (!FileStore::ensureDirectory(at, kPrivateFolder) ||
      !writeFile(at / "displayname", title, &why) ||
      (color && !writeFile(at / "color", colorText(*color), &why)) ||
      (*kindText != '\0' && !writeFile(at / kKindFile, kindText, &why))) {
    return fail(notSaved(why.empty() ? "cannot create " + at.string() : why));
  }
  index.rescan(at, warnings);
  const Collection* saved = index.collection(at.string());
  if (saved == nullptr) {
    return fail(notSaved(at.string() + " is not in a folder the store reads"));
  }
  return saved;
}

Result<Calendar, PimError> PimStore::saveCalendar(const Calendar& calendar) {
  return writing([&](PimIndex& index, PimWarnings& warnings) {
    const Kind kind = calendar.entityType == EntityType::event ? Kind::events : Kind::tasks;
    auto saved = saveCollection(index, calendar.id, calendar.title, calendar.color, kind, warnings);
    if (!saved) return Result<Calendar, PimError>(fail(saved.error()));
    return Result<Calendar, PimError>(index.calendarOf(*saved.value()));
  });
}

Result<Calendar, PimError> PimStore::setDefaultCalendar(EntityType type, std::string_view id) {
  return writing([&](PimIndex& index, PimWarnings&) -> Result<Calendar, PimError> {
    const Kind kind = type == EntityType::event ? Kind::events : Kind::tasks;
    const Collection* c = index.collection(id, kind);
    if (c == nullptr) {
      return fail(problem(PimError::Code::notFound, kind == Kind::events
                                                        ? "The calendar does not exist."
                                                        : "The list does not exist."));
    }
    if (!index.setDefault(kind == Kind::events ? "event" : "reminder", c->id)) {
      return fail(notSaved("cannot write " + index.defaultsFile().string()));
    }
    return index.calendarOf(*c, kind);
  });
}

// ---- events

namespace {

// Checks an event before it is stored and brings its times to what the files hold.
std::optional<PimError> normalized(Event& event) {
  // Checked before any arithmetic: a time near the ends of the clock would overflow it.
  if (!inStoredRange(event.start) || !inStoredRange(event.end)) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  event.start = std::chrono::floor<seconds>(event.start);
  event.end = std::chrono::floor<seconds>(event.end);
  if ((event.recurrence && event.recurrence->endDate &&
       !inStoredRange(*event.recurrence->endDate))) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  if (event.allDay) {
    coverWholeDays(event);
    if (!inStoredRange(event.end)) {
      return problem(PimError::Code::invalid, "The event's dates are out of range.");
    }
  } else if (event.end < event.start) {
    return problem(PimError::Code::invalid, "The event ends before it starts.");
  }
  // In seconds: the difference of two instants this far apart does not fit in nanoseconds.
  if (std::chrono::floor<seconds>(event.end).time_since_epoch() -
          std::chrono::floor<seconds>(event.start).time_since_epoch() >
      kPimLongestEvent) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  if (event.recurrence &&
      (event.recurrence->interval < 1 ||
       (event.recurrence->occurrenceCount && *event.recurrence->occurrenceCount < 1))) {
    return problem(PimError::Code::invalid, "The repetition rule is not valid.");
  }
  return std::nullopt;
}

}  // namespace

namespace {

// The span a change of an occurrence takes: a file of changed occurrences without their series
// has nothing to carry a change on with, so one that reaches later occurrences is refused.
Result<Span, PimError> soleOccurrenceSpan(const Located& located, Span span) {
  if (span != Span::futureEvents || !located.original) return span;
  const bool laterOnes = located.entry->repeating->with([&](const ICalItem& item) {
    const auto changed = item.changedOriginals();
    return !item.hasSeries() && std::any_of(changed.begin(), changed.end(), [&](PimTime original) {
      return original > *located.original;
    });
  });
  if (laterOnes) {
    return fail(problem(PimError::Code::invalid, ICalItem::kNoSeries));
  }
  return located.entry->repeating->with(
      [](const ICalItem& item) { return item.hasSeries() ? Span::futureEvents : Span::thisEvent; });
}

// Why the times asked for would read back otherwise from what the change wrote: on the event's own
// clock, which shows a time twice as it goes back (a floating time names the later) or skips it,
// they would be another time, or no length (the first 02:30 of that night to the second).
std::optional<PimError> unheldTimes(const Event& asked, const Event& written,
                                    const std::string& place) {
  if (asked.allDay || (written.start == asked.start && written.end == asked.end)) {
    return std::nullopt;
  }
  // On the user's clock, and in UTC, which tells apart the two instants of a time shown twice.
  const auto at = [](PimTime t) {
    return ICalSeries::userText(t) + " (" + PimCodec::timeText(t, false).substr(11, 5) + " UTC)";
  };
  return problem(PimError::Code::invalid,
                 "The event cannot be given those times: written on its own clock, they would "
                 "read back as " +
                     at(written.start) + " to " + at(written.end) + " instead of " +
                     at(asked.start) + " to " + at(asked.end) + ", " + ICalSeries::userZoneText() +
                     " time, as that clock shows a time twice or not at all there" +
                     (place.empty() ? "" : " (" + place + ")") +
                     ". Give times outside the hour its clock changes.");
}

// The occurrence a change from the one asked about on wrote for it: the series' start, which it
// was or where the series split off begins. It need not be the first: extra dates may come before
// the start, and move with it.
Event startOccurrence(const ICalItem& series) { return series.occurrenceAt(series.event().start); }

const char* const kCutThere = "The series cannot be changed from this occurrence on: ";
const char* const kOneAtATime = " Change its occurrences one at a time.";

// Whether two items give the same occurrences from `from` until before `to`, each compared (the
// cursors end with the years the store keeps): nothing when they do, else why not. A series with
// more than one change can follow (one every minute for years) is refused, not taken as it is.
std::optional<std::string> sameOccurrences(const ICalItem& a, const ICalItem& b, PimTime from,
                                           PimTime to) {
  constexpr int kMostCompared = 100'000;  // a daily series from 1990 to the last year kept
  auto one = a.cursor(from), other = b.cursor(from);
  for (int i = 0; i < kMostCompared; ++i) {
    auto x = one.next(), y = other.next();
    if (x && *x >= to) x.reset();
    if (y && *y >= to) y.reset();
    if (x != y) {
      // On the user's clock, and in UTC, which tells apart the two instants of a time shown twice.
      const auto at = [](PimTime t) {
        return ICalSeries::userText(t) + " (" + PimCodec::timeText(t, false).substr(11, 5) +
               " UTC)";
      };
      // The clock shows the times of the hour it goes back twice: two instants, one text.
      const std::string which =
          x && y && at(*x) == at(*y)
              ? "the occurrence of " + at(*x) + " would be at the other " + at(*x).substr(11) +
                    " of that night, which the clock shows twice as it goes back"
          : !y || (x && *x < *y) ? "the occurrence of " + at(*x) + " would be lost"
                                 : "it would repeat on " + at(*y) + " too";
      return "cut in two there, it would not repeat as it does now (" + which + ", " +
             ICalSeries::userZoneText() + " time)";
    }
    if (!x) return std::nullopt;
  }
  return "it repeats too often to compare each of its occurrences in one change";
}

// Applies a change to an occurrence and every later one of a series that began before it: the
// series ends before it and a new one, with its own UID, carries on from it.
Result<std::string, PimError> splitSeries(PimIndex& index, const Located& located,
                                          const Event& wanted, PimWarnings& warnings) {
  Collection& c = *located.collection;
  const std::string name = index.nameOf(c, *located.entry);
  auto current = index.fresh<ICalItem>(c, name, parseItem);
  if (!current) return fail(current.error());
  auto& [item, identity] = current.value();
  if (!item.hasOccurrenceAt(*located.original)) {
    return fail(eventNotFound(index, located.event.id));
  }
  const PimTime original = *located.original;
  // Named before the item changes: the lines are the file's.
  const std::string place = item.placeOf(original);
  const auto refuse = [&](const std::string& why) {
    return fail(
        problem(PimError::Code::invalid, kCutThere + why + " (" + place + ")." + kOneAtATime));
  };
  // A changed occurrence whose original the rules do not give would begin a series that does.
  if (const auto first = item.cursor(original).next(); !first || *first != original) {
    return refuse("this occurrence's original date, " + ICalSeries::userText(original) + " " +
                  ICalSeries::userZoneText() + " time, is no date of the series");
  }
  // The series split off would begin there, and khal reads no series that begins at a time its
  // clock skips (libical and khal read that time as two instants, and its end as before it).
  if (const auto skipped = item.skippedTime(original)) {
    return refuse("its rule puts this occurrence at " + *skipped +
                  ", which the clock skips, where the series split off would begin");
  }
  const ICalItem whole = item.copy();
  ICalItem next = item.copy();
  bool anyLeft = true;
  if (auto refused = next.beginAt(original))
    return fail(problem(PimError::Code::invalid, *refused));
  if (auto refused = item.endBefore(original, anyLeft)) {
    return fail(problem(PimError::Code::invalid, *refused));
  }
  // Each occurrence goes to exactly one of the two, where it was (a rule whose steps depend on
  // where it starts, such as every other week from an extra date, could not be cut so).
  auto differs = sameOccurrences(
      whole, item, std::max(PimTime::min() + days(400), original) - days(400), original);
  // Past where both repeat as before, they give the same occurrences once they did up to there.
  const auto settled = whole.settledAfter(original), nextSettled = next.settledAfter(original);
  if (!differs) {
    differs =
        sameOccurrences(whole, next, original,
                        settled && nextSettled ? std::max(*settled, *nextSettled) : PimTime::max());
  }
  if (differs) return refuse(*differs);

  // The new series is the old one from the chosen occurrence on, with only what the caller
  // changed changed.
  if (auto refused = next.changeFrom(original, located.event, wanted)) {
    return fail(problem(PimError::Code::invalid, *refused));
  }
  if (auto unheld = unheldTimes(wanted, startOccurrence(next), place)) {
    return fail(*unheld);
  }
  const std::string uid = HardwareId::randomUUID();
  next.setUid(uid);

  Collection* target = index.collection(wanted.calendarId, Kind::events);
  const std::string nextName = fileNameFor(uid, ".ics");
  // Both are read back before either is written: one must not stand without the other.
  auto nextText = PimIndex::itemText(next, target->folder / nextName);
  if (!nextText) return fail(nextText.error());
  std::string endedText;
  if (anyLeft) {
    auto text = PimIndex::itemText(item, c.folder / name);
    if (!text) return fail(text.error());
    endedText = std::move(text.value());
  }
  if (auto failure = index.write(*target, nextName, nextText.value(), std::nullopt, warnings)) {
    return fail(*failure);
  }
  auto failure = anyLeft ? index.write(c, name, endedText, identity, warnings)
                         : index.remove(c, name, warnings);
  if (failure) {
    // The first write must not stand alone: the two series would overlap. When it cannot be
    // taken back, they do, and the caller and the log are told where.
    if (auto undone = index.remove(*target, nextName, warnings)) {
      const std::string overlap = "Taking back the part already written failed too, so " +
                                  (target->folder / nextName).string() +
                                  " repeats the event from that occurrence on (" + undone->message +
                                  ").";
      warnings.push_back(overlap);
      failure->message += " " + overlap;
    }
    return fail(*failure);
  }
  return uid;
}

}  // namespace

Result<Event, PimError> PimStore::saveEvent(const Event& event, Span span) {
  const auto seen = [&](const PimIndex& index) -> std::optional<Event> {
    if (event.id.empty()) return std::nullopt;
    auto located = locateEvent(index, event.id);
    return located ? std::optional<Event>(std::move(located->event)) : std::nullopt;
  };
  return changing(
      seen,
      [&](PimIndex& index, PimWarnings& warnings,
          std::optional<Event> before) -> Result<Event, PimError> {
        Event wanted = event;
        if (auto invalid = normalized(wanted)) return fail(*invalid);
        if (auto refused = checkWritable(index, Kind::events, wanted.calendarId, true)) {
          return fail(*refused);
        }
        Collection& target = *index.collection(wanted.calendarId, Kind::events);
        std::string savedId;
        if (wanted.id.empty()) {
          savedId = HardwareId::randomUUID();
          ICalItem item = ICalItem::create(savedId, false);
          Event nothing;
          nothing.start = nothing.end = PimTime::min();
          (void)item.changeEvent(nothing, wanted);  // a new event has nothing to move along
          if (auto failure =
                  index.write(target, fileNameFor(savedId, ".ics"), item, std::nullopt, warnings)) {
            return fail(*failure);
          }
        } else {
          auto located = locateEvent(index, wanted.id);
          if (!located) return fail(eventNotFound(index, wanted.id));
          if (before) located->event = std::move(*before);
          Collection& c = *located->collection;
          if (auto refused = checkWritable(index, Kind::events, c.id, false)) return fail(*refused);
          const std::string name = index.nameOf(c, *located->entry);
          const bool moves = &c != &target;
          savedId = located->entry->uid;
          auto chosen = soleOccurrenceSpan(*located, span);
          if (!chosen) return fail(chosen.error());
          if (!located->original || (chosen.value() == Span::futureEvents &&
                                     *located->original == located->entry->series.start)) {
            auto current = index.fresh<ICalItem>(c, name, parseItem);
            if (!current) return fail(current.error());
            auto& [item, identity] = current.value();
            const auto refused = located->original
                                     ? item.changeFrom(*located->original, located->event, wanted)
                                     : item.changeEvent(located->event, wanted);
            if (refused) return fail(problem(PimError::Code::invalid, *refused));
            const Event written = located->original ? startOccurrence(item) : item.event();
            const std::string place = item.placeOf(located->original.value_or(wanted.start));
            if (auto unheld = unheldTimes(wanted, written, place)) {
              return fail(*unheld);
            }
            if (moves) {
              if (auto failure = index.write(target, name, item, std::nullopt, warnings)) {
                return fail(*failure);
              }
              if (auto failure = index.remove(c, name, warnings)) return fail(*failure);
            } else if (auto failure = index.write(c, name, item, identity, warnings)) {
              return fail(*failure);
            }
            Collection& savedIn = moves ? target : c;
            if (auto saved = savedIn.entries.find(name); saved != savedIn.entries.end()) {
              savedId = index.idOf(savedIn, saved->second);
            }
          } else if (chosen.value() == Span::thisEvent) {
            if (moves) {
              return fail(problem(PimError::Code::invalid,
                                  "A single occurrence cannot move to another calendar."));
            }
            if (wanted.recurrence != located->event.recurrence) {
              return fail(problem(PimError::Code::invalid,
                                  "A single occurrence cannot change how the event repeats."));
            }
            auto current = index.fresh<ICalItem>(c, name, parseItem);
            if (!current) return fail(current.error());
            auto& [item, identity] = current.value();
            if (!item.changeOccurrence(*located->original, located->event, wanted)) {
              return fail(eventNotFound(index, wanted.id));
            }
            if (auto unheld = unheldTimes(wanted, item.occurrenceAt(*located->original),
                                          item.placeOf(*located->original))) {
              return fail(*unheld);
            }
            if (auto failure = index.write(c, name, item, identity, warnings)) {
              return fail(*failure);
            }
            savedId = located->event.id;
          } else {
            auto split = splitSeries(index, *located, wanted, warnings);
            if (!split) return fail(split.error());
            savedId = split.value();
          }
        }
        auto located = locateEvent(index, savedId);
        if (!located) return fail(eventNotFound(index, savedId));
        located->event.calendarId = located->collection->id;
        located->event.calendarTitle = located->collection->title;
        return located->event;
      });
}

Result<Event, PimError> PimStore::removeEvent(std::string_view id, Span span) {
  return writing([&](PimIndex& index, PimWarnings& warnings) -> Result<Event, PimError> {
    auto located = locateEvent(index, id);
    if (!located) return fail(eventNotFound(index, id));
    Collection& c = *located->collection;
    if (auto refused = checkWritable(index, Kind::events, c.id, false)) return fail(*refused);
    Event removed = located->event;
    removed.calendarId = c.id;
    removed.calendarTitle = c.title;
    const std::string name = index.nameOf(c, *located->entry);
    const bool whole = !located->original || (span == Span::futureEvents &&
                                              *located->original == located->entry->series.start);
    if (whole) {
      if (auto failure = index.remove(c, name, warnings)) return fail(*failure);
      return removed;
    }
    auto current = index.fresh<ICalItem>(c, name, parseItem);
    if (!current) return fail(current.error());
    auto& [item, identity] = current.value();
    bool anyLeft = true;
    if (span == Span::thisEvent) {
      if (!item.removeOccurrence(*located->original)) return fail(eventNotFound(index, id));
      anyLeft = item.firstOccurrence().has_value();
    } else {
      if (!item.hasOccurrenceAt(*located->original)) return fail(eventNotFound(index, id));
      if (auto refused = item.endBefore(*located->original, anyLeft)) {
        return fail(problem(PimError::Code::invalid, *refused));
      }
    }
    auto failure =
        anyLeft ? index.write(c, name, item, identity, warnings) : index.remove(c, name, warnings);
    if (failure) return fail(*failure);
    return removed;
  });
}

}  // namespace tvrn
