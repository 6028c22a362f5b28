#include <deque>
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
  SeriesWalk(const Entry& entry, PimTime start, PimTime end)
      : entry_(&entry),
        start_(start),
        end_(end),
        stepsEnd_(after(end, kZoneMargin)),
        length_(entry.series.end - entry.series.start),
        cursor_(entry.repeating->with([&](const ICalItem& item) {
          const auto changed = item.changedOriginals();
          changed_.insert(changed.begin(), changed.end());
          return item.cursor(before(start, length_ + kZoneMargin));
        })) {}

  std::optional<PimTime> next() {
    Event probe;
    probe.allDay = entry_->series.allDay;
    while (auto original =
               entry_->repeating->with([&](const ICalItem&) { return cursor_.next(); })) {
      if (*original >= stepsEnd_) return std::nullopt;
      if (changed_.count(*original) != 0) continue;
      probe.start = *original;
      // A file may hold a length of centuries: the end stops at the last instant a clock holds.
      probe.end = after(*original, length_);
      if (eventOverlaps(probe, start_, end_)) return original;
    }
    return std::nullopt;
  }

  const Entry& entry() const { return *entry_; }

 private:
  const Entry* entry_;
  PimTime start_, end_, stepsEnd_;
  PimTime::duration length_;
  std::set<PimTime> changed_;
  ICalItem::Cursor cursor_;
};

Event occurrenceOf(const Entry& entry, PimTime original) {
  return entry.repeating->with([&](const ICalItem& item) { return item.occurrenceAt(original); });
}

// The changed occurrences of a series that overlap the window, in the item's order.
std::vector<Event> changedIn(const Entry& entry, PimTime start, PimTime end) {
  return entry.repeating->with([&](const ICalItem& item) {
    std::vector<Event> found;
    for (PimTime original : item.changedOriginals()) {
      if (!item.hasOccurrenceAt(original)) continue;
      Event occurrence = item.occurrenceAt(original);
      if (eventOverlaps(occurrence, start, end)) found.push_back(std::move(occurrence));
    }
    return found;
  });
}

// A series' occurrences in the window, from what was kept of the last listing of the same window
// or worked out now and kept; nothing when there are too many to keep.
std::shared_ptr<const Expansion> expansionOf(const Entry& entry, PimTime start, PimTime end) {
  if (auto kept = entry.repeating->kept(start, end)) return kept->tooMany ? nullptr : kept;
  auto made = std::make_shared<Expansion>();
  made->from = start;
  made->to = end;
  std::vector<PimTime> originals;
  SeriesWalk walk(entry, start, end);
  while (auto original = walk.next()) {
    if (originals.size() == kKeptOccurrences) {
      made->tooMany = true;
      entry.repeating->keep(made);
      return nullptr;
    }
    originals.push_back(*original);
  }
  for (Event& changed : changedIn(entry, start, end)) {
    made->occurrences.emplace_back(std::move(changed), -1);
  }
  long position = 0;
  for (PimTime original : originals) {
    made->occurrences.emplace_back(occurrenceOf(entry, original), position++);
  }
  entry.repeating->keep(made);
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
  return reading([&](const PimIndex& index) {
    const std::set<std::string> chosen =
        ids ? std::set<std::string>(ids->begin(), ids->end()) : std::set<std::string>();
    const auto wanted = [&](const Collection& c) {
      return c.kind == Kind::events && (!ids || chosen.count(c.id) != 0);
    };
    // Single events, occurrences and the next occurrence of every series followed one by one
    // wait in one queue, earliest first (then in the order the store holds items), so a listing
    // that stops at `cap` matches still holds the earliest events and costs no more than it
    // keeps.
    struct Ready {
      const Collection* collection;
      const Event* event;
    };
    struct Followed {
      const Collection* collection;
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
        due.emplace(*original, f.walk.entry().order, f.position++, which, true);
      }
    };
    const auto offer = [&](const Collection* c, const Event& event, long order, long position) {
      due.emplace(event.start, order, position, ready.size(), false);
      ready.push_back({c, &event});
    };
    const auto addSeries = [&](const Collection* c, const Entry& entry) {
      if (auto expansion = expansionOf(entry, start, end)) {
        for (const auto& [event, position] : expansion->occurrences) {
          offer(c, event, entry.order, position);
        }
        kept.push_back(std::move(expansion));
        return;
      }
      for (Event& occurrence : changedIn(entry, start, end)) {
        changed.push_back(std::move(occurrence));
        offer(c, changed.back(), entry.order, -1);
      }
      followed.push_back({c, SeriesWalk(entry, start, end)});
      advance(followed.size() - 1);
    };
    for (const Collection* c : index.ofKind(Kind::events)) {
      if (!wanted(*c)) continue;
      const auto from = c->byStart.lower_bound(before(start, kShortSpan + kZoneMargin));
      const auto to = c->byStart.lower_bound(after(end, kZoneMargin));
      for (auto it = from; it != to; ++it) {
        const Entry& entry = *it->second;
        if (entry.usable() && eventOverlaps(entry.series, start, end)) {
          offer(c, entry.series, entry.order, 0);
        }
      }
      for (const Entry* entry : c->wide) {
        if (!entry->usable() || !mayOverlap(*entry, start, end)) continue;
        if (entry->repeats) {
          addSeries(c, *entry);
        } else {
          offer(c, entry->series, entry->order, 0);
        }
      }
    }
    EventPage page;
    while (!due.empty()) {
      if (page.totalMatched >= cap) {
        page.complete = false;
        break;
      }
      const auto [at, order, position, which, isFollowed] = due.top();
      due.pop();
      ++page.totalMatched;
      if (page.events.size() < limit) {
        const Collection* c = isFollowed ? followed[which].collection : ready[which].collection;
        Event event =
            isFollowed ? occurrenceOf(followed[which].walk.entry(), at) : *ready[which].event;
        event.calendarId = c->id;
        event.calendarTitle = c->title;
        page.events.push_back(std::move(event));
      }
      if (isFollowed) advance(which);
    }
    return page;
  });
}

std::optional<Event> PimStore::event(std::string_view id, PimUnreadable* unreadable) const {
  return reading([&](const PimIndex& index) -> std::optional<Event> {
    auto located = locateEvent(index, id);
    if (!located) {
      noteUnreadable(unreadable, unreadableFileFor(index, id, false));
      return std::nullopt;
    }
    located->event.calendarId = located->collection->id;
    located->event.calendarTitle = located->collection->title;
    return located->event;
  });
}

}  // namespace tvrn
