#include <algorithm>
#include <deque>
#include <map>
#include <queue>
#include <set>
#include <tuple>

#include "pim/PimAccess.h"

namespace tvrn {

using namespace pimstore;

namespace {

using std::chrono::hours;

// An all-day event is weighed in the local time zone: its days may begin this much before or
// after their UTC midnights.
constexpr auto kZoneMargin = hours(48);
// A series with more occurrences than this in one window is followed occurrence by occurrence,
// as far as the listing goes, rather than kept whole.
constexpr size_t kKeptOccurrences = 512;

PimTime before(PimTime time, PimTime::duration by) {
  return time < PimTime::min() + by ? PimTime::min() : time - by;
}

PimTime after(PimTime time, PimTime::duration by) {
  return time > PimTime::max() - by ? PimTime::max() : time + by;
}

// Walks a series' originals in a window, earliest first: those the rule gives that overlap it,
// leaving out the occurrences that have changes of their own.
class SeriesWalk {
 public:
  SeriesWalk(const Event& series, const SeriesState& state, PimTime start, PimTime end)
      : state_(&state),
        allDay_(series.allDay),
        start_(start),
        end_(end),
        stepsEnd_(after(end, kZoneMargin)),
        length_(series.end - series.start),
        cursor_(state.with([&](const ICalItem& item) {
          const auto changed = item.changedOriginals();
          changed_.insert(changed.begin(), changed.end());
          periods_ = item.periods();
          auto longest = length_;
          for (const auto& [from, to] : periods_) longest = std::max(longest, to - from);
          return item.cursor(before(start, longest + kZoneMargin), false, stepsEnd_);
        })) {}

  std::optional<PimTime> next() {
    Event probe;
    probe.allDay = allDay_;
    while (auto original = state_->with([&](const ICalItem&) { return cursor_.next(); })) {
      if (*original >= stepsEnd_) return std::nullopt;
      if (changed_.count(*original) != 0) continue;
      probe.start = *original;
      // A file may hold a length of centuries: the end stops at the last instant a clock holds.
      const auto period = periods_.find(*original);
      probe.end = period != periods_.end() ? period->second : after(*original, length_);
      if (eventOverlaps(probe, start_, end_)) return original;
    }
    return std::nullopt;
  }

  // Says, once for the file, where the rule was given up before the window's end.
  void noteCut(PimWarnings& warnings) const {
    if (!cursor_.cut()) return;
    if (auto warning = state_->cutWarning()) warnings.push_back(std::move(*warning));
  }

 private:
  const SeriesState* state_;
  bool allDay_;
  PimTime start_, end_, stepsEnd_;
  PimTime::duration length_;
  std::set<PimTime> changed_;
  std::map<PimTime, PimTime> periods_;  // extra dates with ends of their own
  ICalItem::Cursor cursor_;
};

Event occurrenceOf(const Entry& entry, PimTime original) {
  return entry.repeating->with([&](const ICalItem& item) { return item.occurrenceAt(original); });
}

// The changed occurrences of a series that overlap the window, in the item's order.
std::vector<Event> changedIn(const SeriesState& state, PimTime start, PimTime end) {
  return state.with([&](const ICalItem& item) {
    std::vector<Event> found;
    // Each where it now is, also one whose original the series no longer gives.
    for (PimTime original : item.changedOriginals()) {
      Event occurrence = item.occurrenceAt(original);
      if (eventOverlaps(occurrence, start, end)) found.push_back(std::move(occurrence));
    }
    return found;
  });
}

// A series' occurrences in the window, from what was kept of the last listing of the same window
// or worked out now and kept; nothing when there are too many to keep.
std::shared_ptr<const Expansion> expansionOf(const Event& series, const SeriesState& state,
                                             PimTime start, PimTime end, PimWarnings& warnings) {
  if (auto kept = state.kept(start, end)) return kept->tooMany ? nullptr : kept;
  auto made = std::make_shared<Expansion>();
  made->from = start;
  made->to = end;
  std::vector<PimTime> originals;
  SeriesWalk walk(series, state, start, end);
  while (auto original = walk.next()) {
    if (originals.size() == kKeptOccurrences) {
      made->tooMany = true;
      state.keep(made);
      return nullptr;
    }
    originals.push_back(*original);
  }
  walk.noteCut(warnings);
  for (Event& changed : changedIn(state, start, end)) {
    made->occurrences.emplace_back(std::move(changed), -1);
  }
  long position = 0;
  const auto occurrences = state.with([&](const ICalItem& item) {
    std::vector<Event> found;
    for (PimTime original : originals) found.push_back(item.occurrenceAt(original));
    return found;
  });
  for (const Event& occurrence : occurrences) {
    made->occurrences.emplace_back(occurrence, position++);
  }
  state.keep(made);
  return made;
}

bool mayOverlap(const Entry& entry, PimTime start, PimTime end) {
  if (!entry.repeats) return eventOverlaps(entry.series, start, end);
  return entry.firstStart < after(end, kZoneMargin) && entry.lastEnd > before(start, kZoneMargin);
}

}  // namespace

std::vector<Event> PimStore::events(PimTime start, PimTime end,
                                    const std::optional<std::vector<std::string>>& ids) const {
  return firstEvents(start, end, ids, kMaxMatchedEvents, kMaxMatchedEvents).events;
}

EventPage PimStore::firstEvents(PimTime start, PimTime end,
                                const std::optional<std::vector<std::string>>& ids, size_t limit,
                                size_t cap) const {
  std::vector<Event> kept;
  EventPage page = eachFirstEvent(
      start, end, ids,
      [&](Event&& event) {
        if (kept.size() >= limit) return false;
        kept.push_back(std::move(event));
        return true;
      },
      cap);
  page.events = std::move(kept);
  return page;
}

EventPage PimStore::eachFirstEvent(PimTime start, PimTime end,
                                   const std::optional<std::vector<std::string>>& ids,
                                   const std::function<bool(Event&&)>& take, size_t cap) const {
  const std::set<std::string> chosen =
      ids ? std::set<std::string>(ids->begin(), ids->end()) : std::set<std::string>();
  const auto wanted = [&](const Collection& c) { return !ids || chosen.count(c.id) != 0; };
  PimWarnings warnings;
  // The series are expanded first, without the index's lock, so that no change of another item
  // waits for them; the listing below finds what they gave kept.
  const auto series = reading(Kind::events, [&](const PimIndex& index) {
    std::vector<std::pair<Event, std::shared_ptr<const SeriesState>>> found;
    for (const Collection* c : index.ofKind(Kind::events)) {
      if (!wanted(*c)) continue;
      for (const Entry* entry : c->wide) {
        if (entry->repeats && mayOverlap(*entry, start, end)) {
          found.emplace_back(entry->series, entry->repeating);
        }
      }
    }
    return found;
  });
  for (const auto& [record, state] : series) expansionOf(record, *state, start, end, warnings);
  EventPage page = reading(Kind::events, [&](const PimIndex& index) {
    // Single events, occurrences and the next occurrence of every series followed one by one
    // wait in one queue, earliest first (then in the order the store holds items), so a listing
    // that stops at `cap` matches still holds the earliest events and costs no more than it
    // keeps.
    struct Ready {
      const Collection* collection;
      const Entry* entry;
      const Event* event;
    };
    struct Followed {
      const Collection* collection;
      const Entry* entry;
      SeriesWalk walk;
      long position = 0;
    };
    std::vector<Ready> ready;
    std::deque<Event> changed;  // of the series followed one by one; a deque keeps them in place
    std::vector<std::shared_ptr<const Expansion>> kept;
    std::vector<Followed> followed;
    using Due = std::tuple<PimTime, long, long, size_t, bool>;  // start, order, position, which
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
    const auto advance = [&](size_t which) {
      Followed& f = followed[which];
      if (auto original = f.walk.next()) {
        due.emplace(*original, f.entry->order, f.position++, which, true);
      } else {
        f.walk.noteCut(warnings);
      }
    };
    const auto offer = [&](const Collection* c, const Entry& entry, const Event& event,
                           long position) {
      due.emplace(event.start, entry.order, position, ready.size(), false);
      ready.push_back({c, &entry, &event});
    };
    const auto addSeries = [&](const Collection* c, const Entry& entry) {
      const SeriesState& state = *entry.repeating;
      if (auto expansion = expansionOf(entry.series, state, start, end, warnings)) {
        for (const auto& [event, position] : expansion->occurrences) {
          offer(c, entry, event, position);
        }
        kept.push_back(std::move(expansion));
        return;
      }
      for (Event& occurrence : changedIn(state, start, end)) {
        changed.push_back(std::move(occurrence));
        offer(c, entry, changed.back(), -1);
      }
      followed.push_back({c, &entry, SeriesWalk(entry.series, state, start, end)});
      advance(followed.size() - 1);
    };
    for (const Collection* c : index.ofKind(Kind::events)) {
      if (!wanted(*c)) continue;
      const auto from = c->byStart.lower_bound(before(start, kShortSpan + kZoneMargin));
      const auto to = c->byStart.lower_bound(after(end, kZoneMargin));
      for (auto it = from; it != to; ++it) {
        const Entry& entry = *it->second;
        if (eventOverlaps(entry.series, start, end)) offer(c, entry, entry.series, 0);
      }
      for (const Entry* entry : c->wide) {
        if (!mayOverlap(*entry, start, end)) continue;
        if (entry->repeats) {
          addSeries(c, *entry);
        } else {
          offer(c, *entry, entry->series, 0);
        }
      }
    }
    EventPage page;
    bool taking = true;
    while (!due.empty()) {
      if (page.totalMatched >= cap) {
        page.complete = false;
        break;
      }
      const auto [at, order, position, which, isFollowed] = due.top();
      due.pop();
      ++page.totalMatched;
      if (taking) {
        const Collection* c = isFollowed ? followed[which].collection : ready[which].collection;
        const Entry& entry = isFollowed ? *followed[which].entry : *ready[which].entry;
        Event event = isFollowed ? occurrenceOf(entry, at) : *ready[which].event;
        event.id = idFor(index, *c, entry, event.id);
        event.calendarId = c->id;
        event.calendarTitle = c->title;
        taking = take(std::move(event));
      }
      if (isFollowed) advance(which);
    }
    return page;
  });
  emitPimWarnings(warnings, sources_.warn);
  return page;
}

std::optional<Event> PimStore::event(std::string_view id, PimUnreadable* unreadable) const {
  return reading(Kind::events, [&](const PimIndex& index) -> std::optional<Event> {
    auto located = locateEvent(index, id);
    if (!located) {
      noteUnreadable(unreadable, whyNotFound(index, id, Kind::events));
      return std::nullopt;
    }
    located->event.calendarId = located->collection->id;
    located->event.calendarTitle = located->collection->title;
    return located->event;
  });
}

}  // namespace tvrn
