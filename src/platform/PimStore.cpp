#include "platform/PimStore.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <map>
#include <queue>
#include <set>
#include <tuple>
#include <unordered_map>

#include "platform/HardwareId.h"
#include "platform/Paths.h"
#include "platform/PimCodec.h"
#include "platform/Recurrence.h"

namespace tvrn {
namespace {

using namespace PimCodec;
using std::chrono::seconds;

// ---------------------------------------------------------------- shared pieces

PimError problem(PimError::Code code, std::string message) { return {code, std::move(message)}; }

std::optional<size_t> indexOf(const json& list, std::string_view id) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (text(list[i], "id") == id) return i;
  }
  return std::nullopt;
}

PimError notSaved(const std::string& why) {
  return problem(PimError::Code::storage, "The change could not be saved: " + why);
}

std::optional<PimError> commit(PimDocument& document, const std::filesystem::path& folder,
                               const json& content, PimWarnings& warnings) {
  if (auto why = document.write(folder, content, warnings)) return notSaved(*why);
  return std::nullopt;
}

// A change weighed against a file whose contents are unknown would be weighed wrongly (a record
// that is there would seem missing), so it fails as the write it leads to would.
std::optional<PimError> unreadableFor(const PimDocument& document) {
  if (!document.readError()) return std::nullopt;
  return notSaved(*document.readError());
}

// Reads a document for a reading call, noting why it could not be read for a caller that asks.
const json& readNoting(PimDocument& document, const std::filesystem::path& folder,
                       PimWarnings& warnings, PimUnreadable* unreadable) {
  const json& content = document.read(folder, warnings);
  if (unreadable != nullptr && !*unreadable && document.readError()) {
    *unreadable = document.readError();
  }
  return content;
}

// Finds text regardless of case (Unicode case folding), as a part or as the whole.
class CaselessText {
 public:
  CaselessText(std::string_view needle, bool whole) {
    if (needle.empty()) return;
    uint32_t options = PCRE2_LITERAL | PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (whole) options |= PCRE2_ANCHORED | PCRE2_ENDANCHORED;
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(needle.data()), needle.size(), options,
                          &error, &offset, nullptr);
    if (code_ != nullptr) match_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  }
  ~CaselessText() {
    pcre2_match_data_free(match_);
    pcre2_code_free(code_);
  }
  CaselessText(const CaselessText&) = delete;
  CaselessText& operator=(const CaselessText&) = delete;

  bool in(std::string_view haystack) const {
    if (code_ == nullptr || match_ == nullptr) return false;
    return pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(haystack.data()), haystack.size(), 0, 0,
                       match_, nullptr) >= 0;
  }

 private:
  pcre2_code* code_ = nullptr;
  pcre2_match_data* match_ = nullptr;
};

// ---------------------------------------------------------------- calendars

const char* listKeyFor(EntityType type) {
  return type == EntityType::event ? "calendars" : "lists";
}

std::vector<Calendar> decodeCalendars(const json& document, EntityType type) {
  std::vector<Calendar> calendars;
  for (const auto& record : listIn(document, listKeyFor(type))) {
    calendars.push_back(decodeCalendar(record, type));
  }
  return calendars;
}

std::optional<Calendar> findCalendar(const json& document, EntityType type, std::string_view id) {
  const json& list = listIn(document, listKeyFor(type));
  auto at = indexOf(list, id);
  if (!at) return std::nullopt;
  return decodeCalendar(list[*at], type);
}

std::optional<Calendar> defaultIn(const json& document, EntityType type) {
  if (auto chosen = findCalendar(document, type, text(document, "default"))) return chosen;
  for (auto& calendar : decodeCalendars(document, type)) {
    if (calendar.allowsContentModifications) return calendar;
  }
  return std::nullopt;
}

std::unordered_map<std::string, std::string> titlesOf(const json& document, EntityType type) {
  std::unordered_map<std::string, std::string> titles;
  for (const auto& calendar : decodeCalendars(document, type)) {
    titles.emplace(calendar.id, calendar.title);
  }
  return titles;
}

// Whether items may be put into (`required`) or taken out of the calendar with this id.
std::optional<PimError> checkWritable(const json& document, EntityType type, std::string_view id,
                                      bool required) {
  const bool events = type == EntityType::event;
  if (id.empty()) {
    if (!required) return std::nullopt;
    return problem(PimError::Code::noCalendar,
                   events ? "The event has no calendar." : "The reminder has no list.");
  }
  auto calendar = findCalendar(document, type, id);
  if (!calendar) {
    if (!required) return std::nullopt;
    return problem(PimError::Code::noCalendar,
                   events ? "The calendar does not exist." : "The list does not exist.");
  }
  if (!calendar->allowsContentModifications) {
    return problem(PimError::Code::readOnly,
                   events ? "The calendar is read-only." : "The list is read-only.");
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- events

PimError eventNotFound() { return problem(PimError::Code::notFound, "The event does not exist."); }

bool overlaps(PimTime start, PimTime end, PimTime from, PimTime to) {
  if (start == end) return start >= from && start < to;
  return start < to && end > from;
}

bool overlaps(const Event& event, PimTime from, PimTime to) {
  return overlaps(event.start, event.end, from, to);
}

const json* exceptionFor(const json& record, PimTime original) {
  for (const auto& exception : listIn(record, "exceptions")) {
    if (parseTime(text(exception, "occurrence")) == original) return &exception;
  }
  return nullptr;
}

bool isRemoved(const json* exception) {
  return exception != nullptr && flag(*exception, "removed", false);
}

// The occurrence as the series alone makes it.
Event generatedOccurrence(const Event& series, PimTime original) {
  Event occurrence = series;
  occurrence.id = series.id + "/" + occurrenceKey(original, series.allDay);
  occurrence.start = original;
  occurrence.end = original + (series.end - series.start);
  return occurrence;
}

// The occurrence with its own changes (`exception`, when it has any), or nothing when it was
// removed.
std::optional<Event> occurrenceOf(const Event& series, const json* exception, PimTime original) {
  if (isRemoved(exception)) return std::nullopt;
  Event occurrence = generatedOccurrence(series, original);
  if (exception != nullptr) applyException(*exception, occurrence);
  return occurrence;
}

std::optional<Event> occurrenceOf(const Event& series, const json& record, PimTime original) {
  return occurrenceOf(series, exceptionFor(record, original), original);
}

// The index of the occurrence that starts at `original`, or nothing when none does.
std::optional<long> ordinalOf(const Event& series, PimTime original) {
  std::optional<long> found;
  Recurrence::forEach(series.start, *series.recurrence, series.allDay, original,
                      [&](long index, PimTime start) {
                        if (start < original) return true;
                        if (start == original) found = index;
                        return false;
                      });
  return found;
}

// An event record with, for a series, the occurrence an identifier names.
struct Located {
  size_t index = 0;
  Event series;
  std::optional<PimTime> original;
  long ordinal = 0;
};

std::optional<Located> locateEvent(const json& list, std::string_view id) {
  if (auto at = indexOf(list, id)) {
    Located found{*at, decodeEvent(list[*at]), std::nullopt, 0};
    if (!found.series.recurrence) return found;
    const json& record = list[*at];
    Recurrence::forEach(found.series.start, *found.series.recurrence, found.series.allDay,
                        found.series.start, [&](long index, PimTime start) {
                          if (isRemoved(exceptionFor(record, start))) return true;
                          found.original = start;
                          found.ordinal = index;
                          return false;
                        });
    if (!found.original) return std::nullopt;
    return found;
  }
  const size_t slash = id.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto at = indexOf(list, id.substr(0, slash));
  auto original = parseOccurrenceKey(id.substr(slash + 1));
  if (!at || !original) return std::nullopt;
  Located found{*at, decodeEvent(list[*at]), original, 0};
  if (!found.series.recurrence ||
      occurrenceKey(*original, found.series.allDay) != id.substr(slash + 1)) {
    return std::nullopt;
  }
  auto ordinal = ordinalOf(found.series, *original);
  if (!ordinal || isRemoved(exceptionFor(list[*at], *original))) return std::nullopt;
  found.ordinal = *ordinal;
  return found;
}

Event eventAt(const json& list, const Located& located) {
  if (!located.original) return located.series;
  return *occurrenceOf(located.series, list[located.index], *located.original);
}

// ---------------------------------------------------------------- listing events

// Where a listed event stands: by start, then in the order the store holds events (file order;
// within a series, its occurrences in turn, then those moved in from outside the range).
struct ListingKey {
  PimTime start;
  size_t record = 0;
  bool movedIn = false;
  long position = 0;

  bool operator<(const ListingKey& other) const {
    return std::tie(start, record, movedIn, position) <
           std::tie(other.start, other.record, other.movedIn, other.position);
  }
};

// Counts the events a listing matches and keeps only the earliest `limit` of them, so memory
// follows the limit rather than the range.
class EarliestEvents {
 public:
  explicit EarliestEvents(size_t limit) : limit_(limit) {}

  size_t count() const { return count_; }

  // Counts a match; `make` builds the event only when it is kept.
  template <typename Make>
  void offer(const ListingKey& key, Make&& make) {
    ++count_;
    if (kept_.size() == limit_) {
      if (limit_ == 0 || !(key < kept_.front().first)) return;
      std::pop_heap(kept_.begin(), kept_.end(), latestFirst);
      kept_.pop_back();
    }
    kept_.emplace_back(key, make());
    std::push_heap(kept_.begin(), kept_.end(), latestFirst);
  }

  std::vector<Event> inOrder() && {
    std::sort_heap(kept_.begin(), kept_.end(), latestFirst);
    std::vector<Event> events;
    events.reserve(kept_.size());
    for (auto& entry : kept_) events.push_back(std::move(entry.second));
    return events;
  }

 private:
  using Entry = std::pair<ListingKey, Event>;
  static bool latestFirst(const Entry& a, const Entry& b) { return a.first < b.first; }

  size_t limit_;
  size_t count_ = 0;
  std::vector<Entry> kept_;  // a heap with the latest kept event on top
};

// A repeating event being expanded across a listing's range, one occurrence at a time.
struct SeriesInRange {
  SeriesInRange(size_t at, const json& stored, Event decoded, PimTime rangeStart)
      : record(at),
        stored(&stored),
        series(std::move(decoded)),
        cursor(series.start, *series.recurrence, series.allDay,
               rangeStart - (series.end - series.start)),
        next(cursor.next()) {
    for (const auto& exception : listIn(stored, "exceptions")) {
      if (auto original = parseTime(text(exception, "occurrence"))) {
        changes.emplace(*original, &exception);  // the first change recorded for it counts
      }
    }
  }

  size_t record;
  const json* stored;
  Event series;
  Recurrence::Cursor cursor;
  std::optional<Recurrence::Occurrence> next;
  std::map<PimTime, const json*> changes;  // by original start
  std::set<PimTime> changesReached;        // the originals of `changes` the cursor has handed out
};

// Offers the series' next occurrence to the listing.
void offerNext(SeriesInRange& s, PimTime from, PimTime to, EarliestEvents& earliest) {
  const auto [index, original] = *s.next;
  const auto change = s.changes.find(original);
  if (change == s.changes.end()) {
    if (!overlaps(original, original + (s.series.end - s.series.start), from, to)) return;
    earliest.offer({original, s.record, false, index},
                   [&] { return generatedOccurrence(s.series, original); });
    return;
  }
  s.changesReached.insert(original);
  auto occurrence = occurrenceOf(s.series, change->second, original);
  if (!occurrence || !overlaps(*occurrence, from, to)) return;
  earliest.offer({occurrence->start, s.record, false, index},
                 [&] { return std::move(*occurrence); });
}

// Offers the occurrences moved into the range from where the series' expansion did not reach.
void offerMovedIn(SeriesInRange& s, PimTime from, PimTime to, EarliestEvents& earliest) {
  const json& exceptions = listIn(*s.stored, "exceptions");
  for (size_t position = 0; position < exceptions.size(); ++position) {
    const json& exception = exceptions[position];
    auto original = parseTime(text(exception, "occurrence"));
    if (!original || s.changesReached.count(*original) != 0 || isRemoved(&exception)) continue;
    if (exception.find("start") == exception.end() || !ordinalOf(s.series, *original)) continue;
    auto occurrence = occurrenceOf(s.series, s.changes.at(*original), *original);
    if (!occurrence || !overlaps(*occurrence, from, to)) continue;
    earliest.offer({occurrence->start, s.record, true, static_cast<long>(position)},
                   [&] { return std::move(*occurrence); });
  }
}

// The events of `list` that overlap [from, to), the earliest `limit` of them in listing order.
// Single events and the occurrences of every series are taken earliest first across all of them,
// so a listing that stops at `cap` matches still holds the earliest events it could reach.
EventPage listEvents(const json& list, const std::optional<std::vector<std::string>>& ids,
                     PimTime from, PimTime to, size_t limit, size_t cap) {
  const std::set<std::string> chosen =
      ids ? std::set<std::string>(ids->begin(), ids->end()) : std::set<std::string>();
  std::vector<std::pair<size_t, Event>> singles;
  std::vector<SeriesInRange> series;
  // What comes next, earliest first: {start, record, single or series index, is a series}.
  using Due = std::tuple<PimTime, size_t, size_t, bool>;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
  for (size_t record = 0; record < list.size(); ++record) {
    Event event = decodeEvent(list[record]);
    if (ids && chosen.count(event.calendarId) == 0) continue;
    if (!event.recurrence) {
      if (!overlaps(event, from, to)) continue;
      due.emplace(event.start, record, singles.size(), false);
      singles.emplace_back(record, std::move(event));
      continue;
    }
    SeriesInRange& added = series.emplace_back(record, list[record], std::move(event), from);
    if (added.next && added.next->start < to) {
      due.emplace(added.next->start, record, series.size() - 1, true);
    }
  }

  EarliestEvents earliest(limit);
  bool complete = true;
  while (!due.empty()) {
    if (earliest.count() >= cap) {
      complete = false;
      break;
    }
    const auto [start, record, item, isSeries] = due.top();
    due.pop();
    if (!isSeries) {
      earliest.offer({start, record, false, 0}, [&] { return std::move(singles[item].second); });
      continue;
    }
    SeriesInRange& s = series[item];
    offerNext(s, from, to, earliest);
    s.next = s.cursor.next();
    if (s.next && s.next->start < to) due.emplace(s.next->start, record, item, true);
  }
  for (auto& s : series) offerMovedIn(s, from, to, earliest);

  const size_t total = earliest.count();
  return {std::move(earliest).inOrder(), total, complete};
}

// Checks an event before it is stored and brings its times to what the files hold.
std::optional<PimError> normalized(Event& event) {
  event.start = std::chrono::floor<seconds>(event.start);
  event.end = std::chrono::floor<seconds>(event.end);
  if (!inStoredRange(event.start) || !inStoredRange(event.end) ||
      (event.recurrence && event.recurrence->endDate &&
       !inStoredRange(*event.recurrence->endDate))) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  if (event.allDay) {
    coverWholeDays(event);
  } else if (event.end < event.start) {
    return problem(PimError::Code::invalid, "The event ends before it starts.");
  }
  if (event.recurrence &&
      (event.recurrence->interval < 1 ||
       (event.recurrence->occurrenceCount && *event.recurrence->occurrenceCount < 1))) {
    return problem(PimError::Code::invalid, "The repetition rule is not valid.");
  }
  return std::nullopt;
}

// Records an occurrence's own changes (or its removal); an empty change forgets the exception.
void setException(json& record, PimTime original, bool allDay, json change) {
  json& exceptions = arrayIn(record, "exceptions");
  for (auto it = exceptions.begin(); it != exceptions.end(); ++it) {
    if (parseTime(text(*it, "occurrence")) == original) {
      exceptions.erase(it);
      break;
    }
  }
  if (!change.empty()) {
    change["occurrence"] = timeText(original, allDay);
    exceptions.push_back(std::move(change));
  }
  if (exceptions.empty()) record.erase("exceptions");
}

// What makes `wanted` differ from `base`, as exception fields.
json differences(const Event& base, const Event& wanted) {
  json change = json::object();
  for (const auto& [key, member] : kEventTexts) {
    if (wanted.*member != base.*member) change[key] = wanted.*member;
  }
  if (wanted.start != base.start || wanted.end != base.end || wanted.allDay != base.allDay) {
    change["allDay"] = wanted.allDay;
    change["start"] = timeText(wanted.start, wanted.allDay);
    change["end"] = timeText(wanted.end, wanted.allDay);
  }
  return change;
}

// The rule of a series that ends just before its occurrence number `ordinal` (at `original`).
RecurrenceRule cutBefore(RecurrenceRule rule, long ordinal, PimTime original) {
  if (rule.occurrenceCount) {
    rule.occurrenceCount = static_cast<int>(ordinal);
  } else {
    rule.endDate = original - seconds(1);
  }
  return rule;
}

// Splits a series' exceptions at `original`: those before stay in the record, the others are
// returned.
json takeExceptionsFrom(json& record, PimTime original) {
  json later = json::array();
  json earlier = json::array();
  for (auto& exception : listIn(record, "exceptions")) {
    auto at = parseTime(text(exception, "occurrence"));
    (at && *at >= original ? later : earlier).push_back(exception);
  }
  if (earlier.empty()) {
    record.erase("exceptions");
  } else {
    record["exceptions"] = std::move(earlier);
  }
  return later;
}

// Moves exceptions of an old series onto the same occurrences, by number, of a new series that
// begins at the old one's occurrence `firstOrdinal`, forgetting the changes the new series now
// makes to all of them.
json carryExceptions(const json& exceptions, const Event& oldSeries, long firstOrdinal,
                     const Event& newSeries, const std::vector<std::string>& changedKeys) {
  json carried = json::array();
  if (exceptions.empty()) return carried;
  std::map<PimTime, long> ordinals;
  for (const auto& exception : exceptions) {
    if (auto at = parseTime(text(exception, "occurrence"))) ordinals[*at] = -1;
  }
  const PimTime last = ordinals.rbegin()->first;
  Recurrence::forEach(oldSeries.start, *oldSeries.recurrence, oldSeries.allDay,
                      ordinals.begin()->first, [&](long index, PimTime start) {
                        if (start > last) return false;
                        if (auto it = ordinals.find(start); it != ordinals.end()) {
                          it->second = index - firstOrdinal;
                        }
                        return true;
                      });
  long highest = 0;
  for (const auto& entry : ordinals) highest = std::max(highest, entry.second);
  std::vector<PimTime> starts;
  Recurrence::forEach(newSeries.start, *newSeries.recurrence, newSeries.allDay, newSeries.start,
                      [&](long index, PimTime start) {
                        if (index > highest) return false;
                        starts.push_back(start);
                        return true;
                      });
  for (json exception : exceptions) {
    auto at = parseTime(text(exception, "occurrence"));
    const long ordinal = at ? ordinals[*at] : -1;
    if (ordinal < 0 || ordinal >= static_cast<long>(starts.size())) continue;
    if (!flag(exception, "removed", false)) {
      for (const auto& key : changedKeys) exception.erase(key);
      if (exception.size() == 1) continue;  // only "occurrence" is left
    }
    exception["occurrence"] = timeText(starts[static_cast<size_t>(ordinal)], newSeries.allDay);
    carried.push_back(std::move(exception));
  }
  return carried;
}

// Applies a change to an occurrence and every later one. Answers the id of the series that now
// holds them.
std::string changeFuture(json& list, const Located& located, const Event& wanted) {
  const Event& series = located.series;
  const PimTime original = *located.original;
  const Event current = eventAt(list, located);

  std::vector<std::string> changedKeys;
  Event next = generatedOccurrence(series, original);
  next.id = series.id;
  for (const auto& [key, member] : kEventTexts) {
    if (wanted.*member == current.*member) continue;
    changedKeys.emplace_back(key);
    next.*member = wanted.*member;
  }
  if (wanted.start != current.start || wanted.end != current.end ||
      wanted.allDay != current.allDay) {
    changedKeys.insert(changedKeys.end(), {"start", "end", "allDay"});
    next.start = wanted.start;
    next.end = wanted.end;
    next.allDay = wanted.allDay;
  }
  next.calendarId = wanted.calendarId;
  const bool ruleChanged = wanted.recurrence != series.recurrence;
  if (ruleChanged) {
    next.recurrence = wanted.recurrence;
  } else if (series.recurrence->occurrenceCount) {
    next.recurrence->occurrenceCount =
        *series.recurrence->occurrenceCount - static_cast<int>(located.ordinal);
  }

  json& record = list[located.index];
  const json later = takeExceptionsFrom(record, original);
  const json carried = (next.recurrence && !ruleChanged)
                           ? carryExceptions(later, series, located.ordinal, next, changedKeys)
                           : json::array();

  json target;
  if (located.ordinal == 0) {
    target = record;
  } else {
    record["recurrence"] =
        ruleJson(cutBefore(*series.recurrence, located.ordinal, original), series.allDay);
    target = record;  // a copy keeps the attendees and anything else the file holds
    target.erase("exceptions");
    next.id = HardwareId::randomUUID();
  }
  encodeEvent(next, target);
  if (!carried.empty()) target["exceptions"] = carried;
  if (located.ordinal == 0) {
    list[located.index] = std::move(target);
  } else {
    list.push_back(std::move(target));
  }
  return next.id;
}

// ---------------------------------------------------------------- reminders and contacts

PimError reminderNotFound() {
  return problem(PimError::Code::notFound, "The reminder does not exist.");
}

bool within(const std::optional<PimTime>& when, const ReminderQuery& query) {
  if (!query.from && !query.to) return true;
  if (!when) return false;
  return (!query.from || *when >= *query.from) && (!query.to || *when < *query.to);
}

bool matches(const Reminder& reminder, const ReminderQuery& query) {
  if (query.listIds && std::find(query.listIds->begin(), query.listIds->end(), reminder.listId) ==
                           query.listIds->end()) {
    return false;
  }
  switch (query.filter) {
    case ReminderFilter::all:
      return true;
    case ReminderFilter::incomplete:
      return !reminder.completed &&
             within(reminder.dueDateComponents ? reminder.dueDateComponents->date() : std::nullopt,
                    query);
    case ReminderFilter::completed:
      return reminder.completed && within(reminder.completionDate, query);
  }
  return false;
}

std::vector<Contact> decodeContacts(const json& document) {
  std::vector<Contact> contacts;
  for (const auto& record : listIn(document, "contacts")) {
    contacts.push_back(decodeContact(record));
  }
  return contacts;
}

template <typename Keep>
std::vector<Contact> contactsWhere(const json& document, Keep keep) {
  std::vector<Contact> kept;
  for (auto& contact : decodeContacts(document)) {
    if (keep(contact)) kept.push_back(std::move(contact));
  }
  return kept;
}

std::string defaultContainerIn(const json& document) {
  const json& list = listIn(document, "containers");
  const std::string chosen = text(document, "default");
  if (!chosen.empty() && indexOf(list, chosen)) return chosen;
  return list.empty() ? std::string() : text(list[0], "id");
}

// Adds a record with a fresh id when it has none, else replaces the one with its id (or adds it
// under that id).
template <typename Item, typename Encode>
Item upsert(json& list, Item item, Encode encode) {
  if (item.id.empty()) item.id = HardwareId::randomUUID();
  json* record = nullptr;
  if (auto at = indexOf(list, item.id)) {
    record = &list[*at];
  } else {
    list.push_back(json::object());
    record = &list.back();
  }
  encode(item, *record);
  return item;
}

}  // namespace

// ---------------------------------------------------------------- the store

bool caselessContains(std::string_view text, std::string_view part) {
  return CaselessText(part, false).in(text);
}

PimStore::PimStore(std::filesystem::path folder)
    : fixedFolder_(std::move(folder)),
      calendars_(
          "calendars.json",
          listCheck("calendars", [](const json& r) { decodeCalendar(r, EntityType::event); })),
      reminderLists_(
          "reminder-lists.json",
          listCheck("lists", [](const json& r) { decodeCalendar(r, EntityType::reminder); })),
      events_("events.json", listCheck("events", [](const json& r) { decodeEvent(r); })),
      reminders_("reminders.json",
                 listCheck("reminders", [](const json& r) { decodeReminder(r); })),
      containers_("contact-containers.json",
                  listCheck("containers", [](const json& r) { decodeContainer(r); })),
      groups_("contact-groups.json", listCheck("groups", [](const json& r) { decodeGroup(r); })),
      contacts_("contacts.json", listCheck("contacts", [](const json& r) { decodeContact(r); })) {}

PimStore& PimStore::shared() {
  // Never destroyed, so a request still running while the process exits finds it.
  static auto* store = new PimStore();
  return *store;
}

std::filesystem::path PimStore::folder() const {
  return fixedFolder_.empty() ? Paths::appSupport() / "pim" : fixedFolder_;
}

template <typename Work>
auto PimStore::locked(Work&& work) const {
  PimWarnings warnings;
  auto result = [&] {
    std::lock_guard lock(mutex_);
    return work(folder(), warnings);
  }();
  emitPimWarnings(warnings);
  return result;
}

// ---- calendars

std::vector<Calendar> PimStore::calendars(EntityType type, PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    auto& document = type == EntityType::event ? calendars_ : reminderLists_;
    return decodeCalendars(readNoting(document, folder, warnings, unreadable), type);
  });
}

std::optional<Calendar> PimStore::calendar(std::string_view id, PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    auto found =
        findCalendar(readNoting(calendars_, folder, warnings, unreadable), EntityType::event, id);
    if (!found) {
      found = findCalendar(readNoting(reminderLists_, folder, warnings, unreadable),
                           EntityType::reminder, id);
    }
    return found;
  });
}

std::optional<Calendar> PimStore::defaultCalendarForNewEvents(PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    return defaultIn(readNoting(calendars_, folder, warnings, unreadable), EntityType::event);
  });
}

std::optional<Calendar> PimStore::defaultCalendarForNewReminders(PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    return defaultIn(readNoting(reminderLists_, folder, warnings, unreadable),
                     EntityType::reminder);
  });
}

Result<Calendar, PimError> PimStore::saveCalendar(const Calendar& calendar) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<Calendar, PimError> {
    const bool events = calendar.entityType == EntityType::event;
    PimDocument& document = events ? calendars_ : reminderLists_;
    PimDocument& other = events ? reminderLists_ : calendars_;
    if (!calendar.id.empty()) {
      const json& others = other.read(folder, warnings);
      if (auto failure = unreadableFor(other)) return fail(*failure);
      const char* key = listKeyFor(events ? EntityType::reminder : EntityType::event);
      if (indexOf(listIn(others, key), calendar.id)) {
        return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
      }
    }
    json content = document.read(folder, warnings);
    if (auto failure = unreadableFor(document)) return fail(*failure);
    Calendar saved = upsert(arrayIn(content, listKeyFor(calendar.entityType)), calendar,
                            [](const Calendar& c, json& record) { encodeCalendar(c, record); });
    if (auto failure = commit(document, folder, content, warnings)) return fail(*failure);
    return saved;
  });
}

Result<Calendar, PimError> PimStore::setDefaultCalendar(EntityType type, std::string_view id) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<Calendar, PimError> {
    PimDocument& document = type == EntityType::event ? calendars_ : reminderLists_;
    json content = document.read(folder, warnings);
    if (auto failure = unreadableFor(document)) return fail(*failure);
    auto chosen = findCalendar(content, type, id);
    if (!chosen) {
      return fail(problem(PimError::Code::notFound, type == EntityType::event
                                                        ? "The calendar does not exist."
                                                        : "The list does not exist."));
    }
    content["default"] = chosen->id;
    if (auto failure = commit(document, folder, content, warnings)) return fail(*failure);
    return *chosen;
  });
}

// ---- events

std::vector<Event> PimStore::events(PimTime start, PimTime end,
                                    const std::optional<std::vector<std::string>>& ids,
                                    PimUnreadable* unreadable) const {
  return firstEvents(start, end, ids, kMaxMatchedEvents, kMaxMatchedEvents, unreadable).events;
}

EventPage PimStore::firstEvents(PimTime start, PimTime end,
                                const std::optional<std::vector<std::string>>& ids, size_t limit,
                                size_t cap, PimUnreadable* unreadable) const {
  // Repeating events are expanded from a copy, so a wide range never keeps other callers of the
  // store waiting.
  struct Snapshot {
    std::unordered_map<std::string, std::string> titles;
    json events;
  };
  const Snapshot snapshot = locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    auto titles = titlesOf(readNoting(calendars_, folder, warnings, unreadable), EntityType::event);
    return Snapshot{std::move(titles),
                    listIn(readNoting(events_, folder, warnings, unreadable), "events")};
  });
  EventPage page = listEvents(snapshot.events, ids, start, end, limit, cap);
  for (auto& event : page.events) {
    auto title = snapshot.titles.find(event.calendarId);
    if (title != snapshot.titles.end()) event.calendarTitle = title->second;
  }
  return page;
}

std::optional<Event> PimStore::event(std::string_view id, PimUnreadable* unreadable) const {
  return locked(
      [&](const std::filesystem::path& folder, PimWarnings& warnings) -> std::optional<Event> {
        const auto titles =
            titlesOf(readNoting(calendars_, folder, warnings, unreadable), EntityType::event);
        const json& list = listIn(readNoting(events_, folder, warnings, unreadable), "events");
        auto located = locateEvent(list, id);
        if (!located) return std::nullopt;
        Event found = eventAt(list, *located);
        if (auto title = titles.find(found.calendarId); title != titles.end()) {
          found.calendarTitle = title->second;
        }
        return found;
      });
}

Result<Event, PimError> PimStore::saveEvent(const Event& event, Span span) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<Event, PimError> {
    Event wanted = event;
    if (auto invalid = normalized(wanted)) return fail(*invalid);
    const json& calendars = calendars_.read(folder, warnings);
    if (auto failure = unreadableFor(calendars_)) return fail(*failure);
    if (auto refused = checkWritable(calendars, EntityType::event, wanted.calendarId, true)) {
      return fail(*refused);
    }
    json content = events_.read(folder, warnings);
    if (auto failure = unreadableFor(events_)) return fail(*failure);
    json& list = arrayIn(content, "events");
    std::string savedId;
    if (wanted.id.empty()) {
      wanted.id = HardwareId::randomUUID();
      list.push_back(json::object());
      encodeEvent(wanted, list.back());
      savedId = wanted.id;
    } else {
      auto located = locateEvent(list, wanted.id);
      if (!located) return fail(eventNotFound());
      const Event& series = located->series;
      if (auto refused = checkWritable(calendars, EntityType::event, series.calendarId, false)) {
        return fail(*refused);
      }
      if (!series.recurrence) {
        wanted.id = series.id;
        encodeEvent(wanted, list[located->index]);
        savedId = series.id;
      } else if (span == Span::thisEvent) {
        if (wanted.calendarId != series.calendarId) {
          return fail(problem(PimError::Code::invalid,
                              "A single occurrence cannot move to another calendar."));
        }
        if (wanted.recurrence != series.recurrence) {
          return fail(problem(PimError::Code::invalid,
                              "A single occurrence cannot change how the event repeats."));
        }
        const Event generated = generatedOccurrence(series, *located->original);
        setException(list[located->index], *located->original, series.allDay,
                     differences(generated, wanted));
        savedId = generated.id;
      } else {
        savedId = changeFuture(list, *located, wanted);
      }
    }
    if (auto failure = commit(events_, folder, content, warnings)) return fail(*failure);
    auto located = locateEvent(list, savedId);
    if (!located) return fail(eventNotFound());
    Event saved = eventAt(list, *located);
    saved.calendarTitle = titlesOf(calendars, EntityType::event)[saved.calendarId];
    return saved;
  });
}

Result<Event, PimError> PimStore::removeEvent(std::string_view id, Span span) {
  return locked(
      [&](const std::filesystem::path& folder, PimWarnings& warnings) -> Result<Event, PimError> {
        const json& calendars = calendars_.read(folder, warnings);
        if (auto failure = unreadableFor(calendars_)) return fail(*failure);
        json content = events_.read(folder, warnings);
        if (auto failure = unreadableFor(events_)) return fail(*failure);
        json& list = arrayIn(content, "events");
        auto located = locateEvent(list, id);
        if (!located) return fail(eventNotFound());
        const Event& series = located->series;
        if (auto refused = checkWritable(calendars, EntityType::event, series.calendarId, false)) {
          return fail(*refused);
        }
        Event removed = eventAt(list, *located);
        removed.calendarTitle = titlesOf(calendars, EntityType::event)[removed.calendarId];
        json& record = list[located->index];
        if (series.recurrence && span == Span::thisEvent) {
          setException(record, *located->original, series.allDay, json{{"removed", true}});
        } else if (series.recurrence && located->ordinal > 0) {
          record["recurrence"] = ruleJson(
              cutBefore(*series.recurrence, located->ordinal, *located->original), series.allDay);
          takeExceptionsFrom(record, *located->original);
        }
        // A series none of whose occurrences is left goes as a whole.
        const bool wholeSeries = span == Span::futureEvents && located->ordinal == 0;
        if (!series.recurrence || wholeSeries || !locateEvent(list, series.id)) {
          list.erase(located->index);
        }
        if (auto failure = commit(events_, folder, content, warnings)) return fail(*failure);
        return removed;
      });
}

// ---- reminders

std::vector<Reminder> PimStore::reminders(const ReminderQuery& query,
                                          PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    const auto titles =
        titlesOf(readNoting(reminderLists_, folder, warnings, unreadable), EntityType::reminder);
    std::vector<Reminder> found;
    for (const auto& record :
         listIn(readNoting(reminders_, folder, warnings, unreadable), "reminders")) {
      Reminder reminder = decodeReminder(record);
      if (!matches(reminder, query)) continue;
      if (auto title = titles.find(reminder.listId); title != titles.end()) {
        reminder.listTitle = title->second;
      }
      found.push_back(std::move(reminder));
    }
    return found;
  });
}

std::optional<Reminder> PimStore::reminder(std::string_view id, PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> std::optional<Reminder> {
    const auto titles =
        titlesOf(readNoting(reminderLists_, folder, warnings, unreadable), EntityType::reminder);
    const json& list = listIn(readNoting(reminders_, folder, warnings, unreadable), "reminders");
    auto at = indexOf(list, id);
    if (!at) return std::nullopt;
    Reminder found = decodeReminder(list[*at]);
    if (auto title = titles.find(found.listId); title != titles.end()) {
      found.listTitle = title->second;
    }
    return found;
  });
}

Result<Reminder, PimError> PimStore::saveReminder(const Reminder& reminder) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<Reminder, PimError> {
    Reminder wanted = reminder;
    if (wanted.dueDateComponents && !validComponents(*wanted.dueDateComponents)) {
      return fail(problem(PimError::Code::invalid, "The due date is not valid."));
    }
    if (wanted.priority < 0) {
      return fail(problem(PimError::Code::invalid, "The priority is not valid."));
    }
    if (!wanted.completed) {
      wanted.completionDate.reset();
    } else if (!wanted.completionDate) {
      wanted.completionDate = std::chrono::system_clock::now();
    }
    if (wanted.completionDate) {
      wanted.completionDate = std::chrono::floor<seconds>(*wanted.completionDate);
      if (!inStoredRange(*wanted.completionDate)) {
        return fail(problem(PimError::Code::invalid, "The completion date is out of range."));
      }
    }
    const json& lists = reminderLists_.read(folder, warnings);
    if (auto failure = unreadableFor(reminderLists_)) return fail(*failure);
    if (auto refused = checkWritable(lists, EntityType::reminder, wanted.listId, true)) {
      return fail(*refused);
    }
    json content = reminders_.read(folder, warnings);
    if (auto failure = unreadableFor(reminders_)) return fail(*failure);
    json& list = arrayIn(content, "reminders");
    if (wanted.id.empty()) {
      wanted.id = HardwareId::randomUUID();
      list.push_back(json::object());
      encodeReminder(wanted, list.back());
    } else {
      auto at = indexOf(list, wanted.id);
      if (!at) return fail(reminderNotFound());
      const std::string oldList = text(list[*at], "list");
      if (auto refused = checkWritable(lists, EntityType::reminder, oldList, false)) {
        return fail(*refused);
      }
      encodeReminder(wanted, list[*at]);
    }
    if (auto failure = commit(reminders_, folder, content, warnings)) return fail(*failure);
    wanted.listTitle = findCalendar(lists, EntityType::reminder, wanted.listId)->title;
    return wanted;
  });
}

Result<Reminder, PimError> PimStore::removeReminder(std::string_view id) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<Reminder, PimError> {
    const json& lists = reminderLists_.read(folder, warnings);
    if (auto failure = unreadableFor(reminderLists_)) return fail(*failure);
    json content = reminders_.read(folder, warnings);
    if (auto failure = unreadableFor(reminders_)) return fail(*failure);
    json& list = arrayIn(content, "reminders");
    auto at = indexOf(list, id);
    if (!at) return fail(reminderNotFound());
    Reminder removed = decodeReminder(list[*at]);
    if (auto refused = checkWritable(lists, EntityType::reminder, removed.listId, false)) {
      return fail(*refused);
    }
    if (auto owner = findCalendar(lists, EntityType::reminder, removed.listId)) {
      removed.listTitle = owner->title;
    }
    list.erase(*at);
    if (auto failure = commit(reminders_, folder, content, warnings)) return fail(*failure);
    return removed;
  });
}

// ---- contacts

std::vector<ContactContainer> PimStore::containers(PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    std::vector<ContactContainer> found;
    for (const auto& record :
         listIn(readNoting(containers_, folder, warnings, unreadable), "containers")) {
      found.push_back(decodeContainer(record));
    }
    return found;
  });
}

std::string PimStore::defaultContainerIdentifier(PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    return defaultContainerIn(readNoting(containers_, folder, warnings, unreadable));
  });
}

Result<ContactContainer, PimError> PimStore::saveContainer(const ContactContainer& container) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<ContactContainer, PimError> {
    json content = containers_.read(folder, warnings);
    if (auto failure = unreadableFor(containers_)) return fail(*failure);
    auto saved =
        upsert(arrayIn(content, "containers"), container,
               [](const ContactContainer& c, json& record) { encodeContainer(c, record); });
    if (auto failure = commit(containers_, folder, content, warnings)) return fail(*failure);
    return saved;
  });
}

Result<ContactContainer, PimError> PimStore::setDefaultContainer(std::string_view id) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<ContactContainer, PimError> {
    json content = containers_.read(folder, warnings);
    if (auto failure = unreadableFor(containers_)) return fail(*failure);
    const json& list = listIn(content, "containers");
    auto at = indexOf(list, id);
    if (!at) return fail(problem(PimError::Code::notFound, "The container does not exist."));
    ContactContainer chosen = decodeContainer(list[*at]);
    content["default"] = chosen.id;
    if (auto failure = commit(containers_, folder, content, warnings)) return fail(*failure);
    return chosen;
  });
}

std::vector<ContactGroup> PimStore::groups(PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    std::vector<ContactGroup> found;
    for (const auto& record : listIn(readNoting(groups_, folder, warnings, unreadable), "groups")) {
      found.push_back(decodeGroup(record));
    }
    return found;
  });
}

Result<ContactGroup, PimError> PimStore::saveGroup(const ContactGroup& group) {
  return locked([&](const std::filesystem::path& folder,
                    PimWarnings& warnings) -> Result<ContactGroup, PimError> {
    json content = groups_.read(folder, warnings);
    if (auto failure = unreadableFor(groups_)) return fail(*failure);
    auto saved = upsert(arrayIn(content, "groups"), group,
                        [](const ContactGroup& g, json& record) { encodeGroup(g, record); });
    if (auto failure = commit(groups_, folder, content, warnings)) return fail(*failure);
    return saved;
  });
}

std::vector<Contact> PimStore::contacts(PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    return decodeContacts(readNoting(contacts_, folder, warnings, unreadable));
  });
}

std::optional<Contact> PimStore::contact(std::string_view id, PimUnreadable* unreadable) const {
  return locked(
      [&](const std::filesystem::path& folder, PimWarnings& warnings) -> std::optional<Contact> {
        const json& list = listIn(readNoting(contacts_, folder, warnings, unreadable), "contacts");
        auto at = indexOf(list, id);
        if (!at) return std::nullopt;
        return decodeContact(list[*at]);
      });
}

std::vector<Contact> PimStore::contactsMatchingName(std::string_view name,
                                                    PimUnreadable* unreadable) const {
  const CaselessText part(name, false);
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    return contactsWhere(
        readNoting(contacts_, folder, warnings, unreadable), [&](const Contact& c) {
          return part.in(c.givenName) || part.in(c.middleName) || part.in(c.familyName) ||
                 part.in(c.nickname) || part.in(c.organizationName) ||
                 part.in(formattedFullName(c).value_or(""));
        });
  });
}

std::vector<Contact> PimStore::contactsMatchingEmailAddress(std::string_view address,
                                                            PimUnreadable* unreadable) const {
  const CaselessText whole(address, true);
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    return contactsWhere(
        readNoting(contacts_, folder, warnings, unreadable), [&](const Contact& c) {
          return std::any_of(c.emailAddresses.begin(), c.emailAddresses.end(),
                             [&](const LabeledValue& email) { return whole.in(email.value); });
        });
  });
}

std::vector<Contact> PimStore::contactsInGroup(std::string_view groupId,
                                               PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    const json& groups = listIn(readNoting(groups_, folder, warnings, unreadable), "groups");
    auto at = indexOf(groups, groupId);
    if (!at) return std::vector<Contact>();
    const ContactGroup group = decodeGroup(groups[*at]);
    const std::set<std::string> members(group.memberIds.begin(), group.memberIds.end());
    return contactsWhere(readNoting(contacts_, folder, warnings, unreadable),
                         [&](const Contact& c) { return members.count(c.id) != 0; });
  });
}

std::vector<Contact> PimStore::contactsInContainer(std::string_view containerId,
                                                   PimUnreadable* unreadable) const {
  return locked([&](const std::filesystem::path& folder, PimWarnings& warnings) {
    const bool isDefault =
        containerId == defaultContainerIn(readNoting(containers_, folder, warnings, unreadable));
    return contactsWhere(
        readNoting(contacts_, folder, warnings, unreadable), [&](const Contact& c) {
          return c.containerId == containerId || (c.containerId.empty() && isDefault);
        });
  });
}

Result<Contact, PimError> PimStore::saveContact(const Contact& contact) {
  return locked(
      [&](const std::filesystem::path& folder, PimWarnings& warnings) -> Result<Contact, PimError> {
        if (contact.birthday && (!validComponents(*contact.birthday) || !contact.birthday->month ||
                                 !contact.birthday->day)) {
          return fail(problem(PimError::Code::invalid, "The birthday is not valid."));
        }
        json content = contacts_.read(folder, warnings);
        if (auto failure = unreadableFor(contacts_)) return fail(*failure);
        auto saved = upsert(arrayIn(content, "contacts"), contact,
                            [](const Contact& c, json& record) { encodeContact(c, record); });
        if (auto failure = commit(contacts_, folder, content, warnings)) return fail(*failure);
        return saved;
      });
}

}  // namespace tvrn
