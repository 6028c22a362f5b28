#include "pim/ICalItem.h"

#include <libical/ical.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "base/TextDecoding.h"
#include "base/TextLines.h"
#include "base/Utf8.h"
#include "pim/ICalLayout.h"
#include "pim/ICalProperties.h"
#include "pim/ICalSeries.h"
#include "pim/ICalTime.h"
#include "pim/ICalZones.h"
#include "pim/PimCodec.h"
#include "pim/RecurrenceWalk.h"

namespace tvrn {
namespace {

using namespace std::chrono;
using namespace ICalProperties;

std::optional<PimTime> toPim(icaltimetype t) { return ICalTime::instant(t); }

// What is wrong with the time a property of `comp` states, "its DTSTART:20230230T090000 is no
// time the store can hold"; empty when nothing is, or it has none.
std::string unreadableTime(icalcomponent* comp, icalproperty_kind kind) {
  icalproperty* prop = icalcomponent_get_first_property(comp, kind);
  const icaltimetype at = timeOf(comp, kind);
  if (prop == nullptr || (exists(at) && toPim(at))) return {};
  char* text = icalproperty_as_ical_string_r(prop);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return "its " + TextLines::unfolded(out, 0, out.size()) + " is no time the store can hold";
}

// Why eventOf makes no event of `comp`.
std::string unreadableEvent(icalcomponent* comp) {
  for (auto kind : {ICAL_DTSTART_PROPERTY, ICAL_DTEND_PROPERTY}) {
    if (std::string why = unreadableTime(comp, kind); !why.empty()) return why;
  }
  return "it has no start or length the store can hold";
}

bool overlaps(PimTime start, PimTime end, PimTime from, PimTime to) {
  if (start == end) return start >= from && start < to;
  return start < to && end > from;
}

// Local midnight of the UTC day `time` names.
PimTime localMidnight(PimTime time) {
  const year_month_day ymd(floor<days>(time));
  return DateComponents{static_cast<int>(ymd.year()),
                        static_cast<int>(unsigned(ymd.month())),
                        static_cast<int>(unsigned(ymd.day())),
                        {},
                        {}}
      .date()
      .value_or(time);
}

// The original start a changed occurrence of `series` (none for occurrences alone) stands for.
// Written by another program, it may float while the series is zoned: it means the series' zone.
// It may be a day among a series' times of day, or a time among its days: it names the occurrence
// of that day, as the start would give it there.
std::optional<PimTime> originalIn(icalcomponent* own, icalcomponent* series) {
  const icaltimetype original = timeOf(own, ICAL_RECURRENCEID_PROPERTY);
  if (!exists(original)) return std::nullopt;
  const icaltimetype start =
      series != nullptr ? timeOf(series, ICAL_DTSTART_PROPERTY) : icaltime_null_time();
  if (!icaltime_is_null_time(start) && (original.is_date != 0) != (start.is_date != 0)) {
    const ICalTime::Form form = ICalTime::formOf(series, ICAL_DTSTART_PROPERTY);
    return ICalTime::fromWall(ICalTime::wallBeside(original, start, form), form);
  }
  return ICalTime::instant(original, start.zone);
}

// Takes the extra and removed dates (RDATE, EXDATE) that `gone` picks by their instants out of the
// series `main`. Each part of a series cut in two keeps only those of its own occurrences: a
// removed date past where a part ends names nothing, and khal warns of it on every reading.
void dropDates(icalcomponent* main, const std::function<bool(PimTime)>& gone) {
  // A floating date beside a zoned start is in the start's zone, as the listing reads it.
  const icaltimezone* zone = timeOf(main, ICAL_DTSTART_PROPERTY).zone;
  for (auto kind : {ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY}) {
    std::vector<icalproperty*> found;
    for (icalproperty* prop = icalcomponent_get_first_property(main, kind); prop != nullptr;
         prop = icalcomponent_get_next_property(main, kind)) {
      const auto at = kind == ICAL_RDATE_PROPERTY
                          ? extraDate(prop, main, zone).first
                          : ICalTime::instant(ICalTime::valueOf(prop, main), zone);
      if (at && gone(*at)) found.push_back(prop);
    }
    for (icalproperty* prop : found) {
      icalcomponent_remove_property(main, prop);
      icalproperty_free(prop);
    }
  }
}

// The occurrence at `original`, with its own changes when `own` holds them.
Event occurrenceFrom(const Event& series, PimTime original, icalcomponent* own) {
  std::optional<Event> changed = own != nullptr ? eventOf(own) : std::nullopt;
  Event occurrence = changed ? std::move(*changed) : series;
  occurrence.id = series.id + "/" + PimCodec::occurrenceKey(original, series.allDay);
  occurrence.recurrence = series.recurrence;
  if (!changed) {
    occurrence.start = original;
    occurrence.end = later(original, series.end - series.start);
  } else if (occurrence.attendees.empty()) {
    occurrence.attendees = series.attendees;
  }
  return occurrence;
}

}  // namespace

bool eventOverlaps(const Event& event, PimTime from, PimTime to) {
  // An all-day event is its days wherever the user is, so it is weighed against the range in
  // local time.
  if (event.allDay) {
    return overlaps(localMidnight(event.start), localMidnight(event.end), from, to);
  }
  return overlaps(event.start, event.end, from, to);
}

ICalItem::ICalItem(icalcomponent* root, std::shared_ptr<const ICalZones::OwnZones> zones)
    : root_(root), zones_(std::move(zones)) {
  if (zones_) ICalZones::remember(root_, zones_);
}
ICalItem::ICalItem(ICalItem&& other) noexcept
    : root_(std::exchange(other.root_, nullptr)),
      layout_(std::move(other.layout_)),
      zones_(std::move(other.zones_)),
      origin_(std::move(other.origin_)),
      changed_(std::move(other.changed_)),
      longIntervals_(std::move(other.longIntervals_)) {}
ICalItem& ICalItem::operator=(ICalItem&& other) noexcept {
  std::swap(root_, other.root_);
  std::swap(layout_, other.layout_);
  std::swap(zones_, other.zones_);
  std::swap(origin_, other.origin_);
  std::swap(changed_, other.changed_);
  std::swap(longIntervals_, other.longIntervals_);
  return *this;
}

// Held by each change for its length: what was worked out of the components before it, or while
// it was half made, is not looked up again.
class ICalItem::Changing {
 public:
  explicit Changing(const ICalItem& item) : item_(item) { item_.changed_.reset(); }
  ~Changing() { item_.changed_.reset(); }
  Changing(const Changing&) = delete;
  Changing& operator=(const Changing&) = delete;

 private:
  const ICalItem& item_;
};

ICalItem::~ICalItem() {
  if (zones_) ICalZones::forget(root_);
  if (root_ != nullptr) icalcomponent_free(root_);
}

ICalItem ICalItem::copy() const {
  ICalItem out(icalcomponent_new_clone(root_), zones_);
  if (layout_) out.layout_ = layout_->cloned(root_, out.root_);
  out.origin_ = origin_;
  out.longIntervals_ = longIntervals_;
  return out;
}

icalcomponent* ICalItem::derive(icalcomponent* from) {
  const Changing changing(*this);
  icalcomponent* clone = icalcomponent_new_clone(from);
  if (layout_) layout_->derive(from, clone);
  return clone;
}

void ICalItem::discard(icalcomponent* comp) {
  const Changing changing(*this);
  if (layout_) layout_->forget(comp);
  icalcomponent_remove_component(icalcomponent_get_parent(comp), comp);
  icalcomponent_free(comp);
}

const ICalItem::Changed& ICalItem::changed() const {
  if (changed_) return *changed_;
  auto made = std::make_unique<Changed>();
  icalcomponent* series = master();
  for (icalcomponent* c : overrides()) {
    if (const auto at = originalIn(c, series)) {
      made->inOrder.emplace_back(*at, c);
      made->byOriginal[*at] = c;
    }
  }
  changed_ = std::move(made);
  return *changed_;
}

namespace {

// The text with every content line in UTF-8. Older exporters wrote a SUMMARY or a LOCATION in
// their own code page: such a line is read as the vCard reader reads one, and the lines that are
// UTF-8 already stay as they are, whatever the others hold. A line is weighed with its folded
// continuations, as a fold may split a character; line ends and a byte order mark stay.
std::string inUtf8(const std::string& text) {
  if (Utf8::isValid(text)) return text;
  const size_t bom = TextLines::bomLength(text);
  std::string out = text.substr(0, bom);
  out.reserve(text.size());
  for (size_t from = bom; from < text.size();) {
    const size_t to = TextLines::contentEnd(text, from);
    const std::string_view line(text.data() + from, to - from);
    if (Utf8::isValid(TextLines::unfolded(text, from, to))) {
      out += line;
    } else {
      out += TextDecoding::fromLegacy(line);
    }
    from = to;
  }
  return out;
}

// Whether the lines (each ended by CRLF) hold `word` (upper-case ASCII, a letter first) in any
// case, perhaps folded within: it is looked for only where its first letter stands, and no line
// is unfolded.
bool holdsWord(std::string_view lines, std::string_view word) {
  const auto same = [](char c, char upper) {
    return c == upper || (upper >= 'A' && upper <= 'Z' && c == upper + ('a' - 'A'));
  };
  const char lower = static_cast<char>(word[0] + ('a' - 'A'));
  for (size_t upperAt = lines.find(word[0]), lowerAt = lines.find(lower);
       std::min(upperAt, lowerAt) != std::string_view::npos;) {
    const size_t from = std::min(upperAt, lowerAt);
    (from == upperAt ? upperAt : lowerAt) = lines.find(lines[from], from + 1);
    size_t at = from + 1, matched = 1;
    while (matched < word.size() && at < lines.size()) {
      if (lines[at] == '\r' && at + 2 < lines.size() &&
          (lines[at + 2] == ' ' || lines[at + 2] == '\t')) {
        at += 3;  // a fold: its line end and the blank that begins it
      } else if (same(lines[at], word[matched])) {
        ++at, ++matched;
      } else {
        break;
      }
    }
    if (matched == word.size()) return true;
  }
  return false;
}

// The INTERVAL of each rule of the file's first series (a VEVENT or VTODO without RECURRENCE-ID)
// where it is more than libical holds (it keeps one in 16 bits: 86401 reads as 20865), 0 where it
// holds it; empty where it holds all. Most files name no INTERVAL at all: they cost one look.
std::vector<long> longIntervals(std::string_view lines) {
  if (!holdsWord(lines, "INTERVAL=")) return {};
  std::vector<long> rules;
  bool own = false, longer = false;
  size_t depth = 0;
  for (size_t at = 0; at < lines.size();) {
    const size_t end = TextLines::contentEnd(lines, at);
    std::string line = TextLines::unfolded(lines, at, end);
    at = end;
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (line.rfind("BEGIN:", 0) == 0 && ++depth == 2) {
      rules.clear();
      own = longer = false;
    } else if (line.rfind("END:", 0) == 0 && depth > 0 && depth-- == 2 && !own &&
               (line == "END:VEVENT" || line == "END:VTODO")) {
      if (!longer) rules.clear();
      return rules;
    } else if (depth == 2 && line.rfind("RECURRENCE-ID", 0) == 0) {
      own = true;
    } else if (depth == 2 && line.rfind("RRULE", 0) == 0) {
      const size_t named = line.find("INTERVAL=", line.find(':'));
      const long interval =
          named != std::string::npos ? std::strtol(line.c_str() + named + 9, nullptr, 10) : 0;
      longer = longer || interval > std::numeric_limits<short>::max();
      rules.push_back(interval > std::numeric_limits<short>::max() ? interval : 0);
    }
  }
  return {};
}

// libical notes what it could not read as properties of its own; they are not the file's.
void removeErrorNotes(icalcomponent* comp) {
  removeAll(comp, ICAL_XLICERROR_PROPERTY);
  for (icalcomponent* c = icalcomponent_get_first_component(comp, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(comp, ICAL_ANY_COMPONENT)) {
    removeErrorNotes(c);
  }
}

}  // namespace

std::optional<ICalItem> ICalItem::parse(const std::string& text, std::string* why, Use use,
                                        std::vector<std::string>* leftOut) {
  std::string utf8 = inUtf8(text);
  // libical is handed every line ended by CRLF and no byte order mark, whatever the file's own
  // line ends: it cuts a long line of a file ended by bare CRs short, and joins two lines a
  // stray CR parts.
  const std::string lines = TextLines::normalized(utf8);
  // Its VTIMEZONEs are looked at first: a zone that the system or a zone read before stands for
  // need not be read again (most of libical's time goes to them), unless the item is to be
  // written back with them.
  auto zones = std::make_shared<ICalZones::OwnZones>();
  std::string rest;
  size_t restFrom = 0;
  for (const std::string_view block : ICalZones::blocksIn(lines)) {
    const auto read = ICalZones::readBlock(block);
    if (read && read->zone != nullptr) zones->emplace_back(read->tzid, read->zone);
    if (use == Use::reading && read) {
      const size_t at = static_cast<size_t>(block.data() - lines.data());
      rest.append(lines, restFrom, at - restFrom);
      restFrom = at + block.size();
    }
  }
  if (use == Use::reading) rest.append(lines, restFrom);
  icalcomponent* root = icalparser_parse_string(use == Use::reading ? rest.c_str() : lines.c_str());
  const auto fail = [&](std::string reason) -> std::optional<ICalItem> {
    if (root != nullptr) icalcomponent_free(root);
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  // A change is written into the file's own lines, never from libical's tree alone, which would
  // lose what libical cannot read: a file whose lines cannot be told apart is not changed.
  std::optional<ICalBlocks> blocks;
  if (use == Use::change) {
    std::string nesting;
    blocks = ICalBlocks::split(std::move(utf8), &nesting);
    if (!blocks) return fail(nesting);
  }
  if (root == nullptr || icalcomponent_isa(root) != ICAL_VCALENDAR_COMPONENT) {
    return fail("it is not an iCalendar file");
  }
  removeErrorNotes(root);
  ICalItem item(root, zones->empty() ? nullptr : std::move(zones));
  item.longIntervals_ = longIntervals(lines);
  // A file of changed occurrences alone (an invitation to one of them) stands for them.
  icalcomponent* main = item.head();
  root = nullptr;  // the item owns it now
  if (main == nullptr) {
    if (why != nullptr) *why = "it holds no event or task";
    return std::nullopt;
  }
  const char* uid = icalcomponent_get_uid(main);
  if (uid == nullptr || *uid == '\0') {
    if (why != nullptr) *why = "its item has no UID";
    return std::nullopt;
  }
  if (!item.isTask() && !eventOf(main)) {
    if (why != nullptr) *why = unreadableEvent(main);
    return std::nullopt;
  }
  if (use == Use::change) {
    std::string unlaid;
    item.layout_ = ICalLayout::of(std::move(*blocks), item.root_, &unlaid);
    if (!item.layout_) {
      if (why != nullptr) *why = unlaid;
      return std::nullopt;
    }
  }
  if (leftOut != nullptr && !item.isTask()) *leftOut = item.unreadOccurrences(lines);
  return item;
}

std::vector<std::string> ICalItem::unreadOccurrences(std::string_view lines) const {
  std::vector<std::string> found;
  if (overrides().empty()) return found;
  icalcomponent* series = master();
  std::vector<size_t> begins;  // the line of each VEVENT the calendar holds, in order
  size_t depth = 0, number = 0;
  for (size_t at = 0; at < lines.size();) {
    const TextLines::Line line = TextLines::lineAt(lines, at);
    const std::string_view content = lines.substr(line.from, line.length);
    ++number;
    const auto starts = [&](std::string_view with) {
      return content.size() >= with.size() &&
             ::strncasecmp(content.data(), with.data(), with.size()) == 0;
    };
    if (starts("BEGIN:")) {
      if (depth++ == 1 && starts("BEGIN:VEVENT")) begins.push_back(number);
    } else if (starts("END:") && depth > 0) {
      --depth;
    }
    at = line.next();
  }
  std::vector<icalcomponent*> events;  // gathered first: a lookup below restarts libical's walk
  for (icalcomponent* c = icalcomponent_get_first_component(root_, ICAL_VEVENT_COMPONENT);
       c != nullptr; c = icalcomponent_get_next_component(root_, ICAL_VEVENT_COMPONENT)) {
    events.push_back(c);
  }
  for (size_t index = 0; index < events.size(); ++index) {
    icalcomponent* c = events[index];
    if (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY) == nullptr) continue;
    if (originalIn(c, series) && eventOf(c)) continue;
    std::string what = unreadableTime(c, ICAL_RECURRENCEID_PROPERTY);
    if (what.empty()) what = unreadableEvent(c);
    const char* uid = icalcomponent_get_uid(c);
    found.push_back("the VEVENT of line " +
                    (index < begins.size() ? std::to_string(begins[index]) : std::string("?")) +
                    " (UID " + (uid != nullptr ? uid : "") + ") is left out: " + what);
  }
  return found;
}

ICalItem ICalItem::create(const std::string& uid, bool task) {
  icalcomponent* inner = icalcomponent_new(task ? ICAL_VTODO_COMPONENT : ICAL_VEVENT_COMPONENT);
  icalcomponent_set_uid(inner, uid.c_str());
  const icaltimetype now = icaltime_current_time_with_zone(icaltimezone_get_utc_timezone());
  icalcomponent_add_property(inner, icalproperty_new_created(now));
  icalcomponent_add_property(inner, icalproperty_new_dtstamp(now));
  icalcomponent* root =
      icalcomponent_vanew(ICAL_VCALENDAR_COMPONENT, icalproperty_new_version("2.0"),
                          icalproperty_new_prodid("-//Tavrin//Tavrin//EN"), inner, nullptr);
  return ICalItem(root, nullptr);
}

std::string ICalItem::text() const {
  if (layout_) return layout_->write(root_);
  char* text = icalcomponent_as_ical_string_r(root_);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return out;
}

std::optional<std::string> ICalItem::checkedText(std::string* why) const {
  return checked(text(), why);
}

std::optional<std::string> ICalItem::checked(std::string out, std::string* why) const {
  const auto refuse = [&](const std::string& what) -> std::optional<std::string> {
    if (why != nullptr) *why = (layout_ ? "the changed item " : "the new item ") + what;
    return std::nullopt;
  };
  std::string unread;
  const auto back = parse(out, &unread, Use::change);
  if (!back) return refuse("would not read back: " + unread);
  if (back->uid() != uid()) {
    return refuse("would read back with the UID " + back->uid() + " instead of " + uid());
  }
  if (const std::string how = back->layout_->misreading(root_, back->root_); !how.empty()) {
    return refuse("would not read back as it was written: " + how);
  }
  const auto before =
      layout_ ? layout_->original().repeatedOnceOnly() : std::map<std::string, std::string>{};
  for (const auto& [twice, where] : back->layout_->original().repeatedOnceOnly()) {
    if (before.count(twice) == 0) {
      return refuse("would state a property twice that is allowed once: " + where);
    }
  }
  return out;
}

icalcomponent* ICalItem::head() const {
  if (icalcomponent* main = master()) return main;
  return icalcomponent_get_first_component(root_, ICAL_VEVENT_COMPONENT);
}

icalcomponent* ICalItem::master() const {
  for (auto kind : {ICAL_VEVENT_COMPONENT, ICAL_VTODO_COMPONENT}) {
    for (icalcomponent* c = icalcomponent_get_first_component(root_, kind); c != nullptr;
         c = icalcomponent_get_next_component(root_, kind)) {
      if (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY) == nullptr) return c;
    }
  }
  return nullptr;
}

std::vector<icalcomponent*> ICalItem::overrides() const {
  std::vector<icalcomponent*> found;
  const auto kind = isTask() ? ICAL_VTODO_COMPONENT : ICAL_VEVENT_COMPONENT;
  for (icalcomponent* c = icalcomponent_get_first_component(root_, kind); c != nullptr;
       c = icalcomponent_get_next_component(root_, kind)) {
    if (icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY) != nullptr) {
      found.push_back(c);
    }
  }
  return found;
}

std::string ICalItem::uid() const {
  const char* uid = icalcomponent_get_uid(head());
  return uid != nullptr ? uid : "";
}

bool ICalItem::isTask() const { return icalcomponent_isa(head()) == ICAL_VTODO_COMPONENT; }

bool ICalItem::hasSeries() const { return master() != nullptr; }

std::vector<std::string> ICalItem::misplacedRuleParts() const {
  std::vector<std::string> found;
  icalcomponent* main = master();
  if (main == nullptr) return found;
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RRULE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RRULE_PROPERTY)) {
    const icalrecurrencetype recur = icalproperty_get_rrule(prop);
    const std::string rule =
        "its rule RRULE:" + std::string(icalproperty_get_value_as_string(prop));
    const std::string parts = RecurrenceWalk::misplaced(recur);
    if (!parts.empty()) found.push_back(rule + " names " + parts);
    // libical carries a month or day past its end into the years after (month 37 of 2261 is in
    // 2264), which the store does not keep.
    if (!exists(recur.until)) {
      char* until = icaltime_as_ical_string_r(recur.until);
      found.push_back(rule + " ends at no day there is (UNTIL=" + until +
                      "), and is read without an end");
      std::free(until);
    }
  }
  return found;
}

bool ICalItem::repeats() const {
  icalcomponent* main = master();
  if (main == nullptr) return true;  // its occurrences are followed as a series' are
  return !isTask() && (icalcomponent_get_first_property(main, ICAL_RRULE_PROPERTY) != nullptr ||
                       icalcomponent_get_first_property(main, ICAL_RDATE_PROPERTY) != nullptr);
}

Event ICalItem::event() const {
  icalcomponent* main = master();
  if (main == nullptr) {
    // Without a series, the earliest occurrence stands for it.
    std::optional<PimTime> earliest;
    for (const auto& [at, own] : changed().inOrder) {
      if (!earliest || at < *earliest) {
        earliest = at;
        main = own;
      }
    }
    if (main == nullptr) main = head();
  }
  Event event = eventOf(main).value_or(Event{});
  event.id = uid();
  if (!hasSeries()) event.recurrence.reset();
  return event;
}

std::map<PimTime, PimTime> ICalItem::periods() const {
  std::map<PimTime, PimTime> found;
  icalcomponent* main = master();
  if (main == nullptr) return found;
  const icaltimezone* zone = timeOf(main, ICAL_DTSTART_PROPERTY).zone;
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RDATE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RDATE_PROPERTY)) {
    const auto [start, end] = extraDate(prop, main, zone);
    if (start && end && *end >= *start) found.emplace(*start, *end);
  }
  return found;
}

// Hands out a series' original starts from a point on, earliest first: its start, its rules'
// steps and its extra dates, less the removed ones unless asked for.
struct ICalItem::Cursor::State {
  // How far past a rule's instance on the wall clock one that is earlier in time may come: a
  // clock the zone skips reads with the offset before the gap (02:30 of a night the clock springs
  // from 02:00 to 03:00 is 03:30's instant, after 03:15's).
  static constexpr long kSkippedAtMost = 3 * 3600;

  struct Rule {
    RecurrenceWalk walk;
    std::multimap<PimTime, icaltimetype> ahead;  // steps taken and not handed out, by instant
    long lastWall = 0;                           // of the last step taken
    bool ended = false;
  };
  std::vector<Rule> rules;
  std::vector<std::optional<PimTime>> peeked;  // each rule's next step
  std::vector<icaltimetype> walls;             // and where it is on the start's clock
  std::vector<PimTime> extra;                  // DTSTART and RDATEs, ascending
  size_t extraAt = 0;
  std::set<PimTime> removed;
  icaltimetype start{};
  std::optional<PimTime> first;  // the start's instant
  PimTime low;
  std::optional<PimTime> last;
  icaltimetype wall = icaltime_null_time();  // of `last`
  bool cut = false;

  // A rule's next step in time: its steps are taken until none later on the wall clock can be
  // earlier in time.
  std::optional<PimTime> step(size_t i) {
    Rule& rule = rules[i];
    while (!rule.ended &&
           (rule.ahead.empty() ||
            rule.lastWall < ICalSeries::wallSeconds(rule.ahead.begin()->second) + kSkippedAtMost)) {
      icaltimetype t = rule.walk.next();
      if (icaltime_is_null_time(t)) {
        cut = cut || rule.walk.spent();
        rule.ended = true;
        break;
      }
      t.zone = start.zone;
      const auto at = toPim(t);
      rule.ended = !at;  // past the years the store keeps
      rule.lastWall = ICalSeries::wallSeconds(t);
      // Never before the series' start, which a step past a skipped start can be (03:00 after
      // 02:30, read as 03:30).
      if (at && *at >= low && *at >= *first) rule.ahead.emplace(*at, t);
    }
    if (rule.ahead.empty()) return std::nullopt;
    const auto [at, t] = *rule.ahead.begin();
    rule.ahead.erase(rule.ahead.begin());
    walls[i] = t;
    return at;
  }
};

ICalItem::Cursor::Cursor(std::unique_ptr<State> state) : state_(std::move(state)) {}
ICalItem::Cursor::Cursor(Cursor&&) noexcept = default;
ICalItem::Cursor::~Cursor() = default;

bool ICalItem::Cursor::cut() const { return state_->cut; }

icaltimetype ICalItem::Cursor::wall() const { return state_->wall; }

std::optional<PimTime> ICalItem::Cursor::next() {
  State& s = *state_;
  while (true) {
    std::optional<PimTime> best;
    std::optional<size_t> from;  // the rule it comes from; none for an extra date
    for (size_t i = 0; i < s.rules.size(); ++i) {
      if (s.peeked[i] && (!best || *s.peeked[i] < *best)) {
        best = s.peeked[i];
        from = i;
      }
    }
    if (s.extraAt < s.extra.size() && (!best || s.extra[s.extraAt] <= *best)) {
      best = s.extra[s.extraAt++];
      from.reset();
    }
    if (!best) return std::nullopt;
    const icaltimetype wall = from              ? s.walls[*from]
                              : best == s.first ? s.start
                                                : icaltime_null_time();
    if (from) s.peeked[*from] = s.step(*from);
    // One instant is one occurrence however many rules reach it (and a day a zone skipped must
    // not give the same instant twice).
    if (s.last && *best <= *s.last) continue;
    s.last = best;
    s.wall = wall;
    if (s.removed.count(*best) == 0) return best;
  }
}

ICalItem::Cursor ICalItem::cursor(PimTime from, bool withRemoved, std::optional<PimTime> to) const {
  auto state = std::make_unique<Cursor::State>();
  icalcomponent* main = master();
  if (main == nullptr) return Cursor(std::move(state));  // no series: no rule, no dates
  state->start = timeOf(main, ICAL_DTSTART_PROPERTY);
  state->low = from;
  const auto first = state->first = toPim(state->start);
  if (!first) return Cursor(std::move(state));
  if (*first >= from) state->extra.push_back(*first);
  // Read before the rules are walked: looking a property up restarts libical's walk.
  const ICalTime::Form startForm = ICalTime::formOf(main, ICAL_DTSTART_PROPERTY);
  size_t ruleNo = 0;
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RRULE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RRULE_PROPERTY)) {
    // The rule steps on the wall clock of the start's zone (09:00 stays 09:00 across a change
    // of offset).
    const icalrecurrencetype recur = icalproperty_get_rrule(prop);
    const size_t at = ruleNo++;
    RecurrenceWalk steps(recur, state->start, RecurrenceWalk::kBudget,
                         at < longIntervals_.size() ? longIntervals_[at] : 0);
    if (!steps) continue;
    // Without a count the series can be entered where the range begins.
    if (recur.count == 0 && from > later(*first, days(2))) {
      steps.enterAt(ICalTime::inForm(later(from, -days(2)), startForm));
    }
    if (to) steps.endAt(ICalTime::inForm(later(*to, days(2)), startForm));
    state->rules.push_back({std::move(steps), {}, 0, false});
    state->walls.push_back(icaltime_null_time());
    state->peeked.push_back(state->step(state->rules.size() - 1));
  }
  for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_RDATE_PROPERTY);
       prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_RDATE_PROPERTY)) {
    const auto at = extraDate(prop, main, state->start.zone).first;
    if (at && *at >= from) state->extra.push_back(*at);
  }
  std::sort(state->extra.begin(), state->extra.end());
  if (!withRemoved) {
    for (icalproperty* prop = icalcomponent_get_first_property(main, ICAL_EXDATE_PROPERTY);
         prop != nullptr; prop = icalcomponent_get_next_property(main, ICAL_EXDATE_PROPERTY)) {
      if (auto at = ICalTime::instant(ICalTime::valueOf(prop, main), state->start.zone)) {
        state->removed.insert(*at);
      }
    }
  }
  return Cursor(std::move(state));
}

std::optional<PimTime> ICalItem::settledAfter(PimTime from) const {
  icalcomponent* main = master();
  return main != nullptr ? ICalSeries::settledAfter(main, from) : std::nullopt;
}

bool ICalItem::hasOccurrenceAt(PimTime original) const {
  // A changed occurrence stands even where the series has none (any more).
  return changed().byOriginal.count(original) != 0 || inRule(original);
}

bool ICalItem::inRule(PimTime original) const {
  auto found = cursor(original, false, original).next();
  return found && *found == original;
}

std::vector<PimTime> ICalItem::changedOriginals() const {
  std::vector<PimTime> found;
  for (const auto& [original, own] : changed().inOrder) found.push_back(original);
  return found;
}

Event ICalItem::occurrenceAt(PimTime original) const {
  const auto& byOriginal = changed().byOriginal;
  const auto found = byOriginal.find(original);
  icalcomponent* own = found != byOriginal.end() ? found->second : nullptr;
  Event occurrence = occurrenceFrom(event(), original, own);
  if (own == nullptr) {
    const auto all = periods();
    if (auto period = all.find(original); period != all.end()) occurrence.end = period->second;
  }
  return occurrence;
}

std::optional<Event> ICalItem::occurrence(PimTime original) const {
  if (!hasOccurrenceAt(original)) return std::nullopt;
  return occurrenceAt(original);
}

std::optional<Event> ICalItem::firstOccurrence() const {
  auto first = cursor(PimTime::min()).next();
  for (PimTime original : changedOriginals()) {
    if (!first || original < *first) first = original;
  }
  if (!first) return std::nullopt;
  return occurrenceAt(*first);
}

std::optional<std::string> ICalItem::changeEvent(const Event& before, const Event& after) {
  const Changing changing(*this);
  icalcomponent* main = master();
  if (main == nullptr) return kNoSeries;
  const bool sameRule = before.recurrence == after.recurrence;
  if (sameRule && (before.start != after.start || before.allDay != after.allDay)) {
    if (auto refused = rulesUnwritable()) return refused;
  }
  // A rule that is replaced need not follow the start.
  ICalSeries::StartMove move(main, overrides(), sameRule, rulePlace());
  applyDifferences(main, before, after);
  if (auto refused = move.apply(after)) return refused;
  if (before.start != after.start && !after.allDay) {
    if (auto refused = unheldStart(after.start)) return refused;
  }
  fitZones();  // what follows adds no time on a zone's clock (a rule's end is in UTC)
  if (sameRule) return std::nullopt;
  removeAll(main, ICAL_RRULE_PROPERTY);
  if (after.recurrence) {
    icalcomponent_add_property(
        main, ruleProperty(*after.recurrence, ICalTime::formOf(main, ICAL_DTSTART_PROPERTY)));
    return std::nullopt;
  }
  removeAll(main, ICAL_RDATE_PROPERTY);
  removeAll(main, ICAL_EXDATE_PROPERTY);
  for (icalcomponent* c : overrides()) {
    discard(c);
  }
  return std::nullopt;
}

std::optional<std::string> ICalItem::changeFrom(PimTime original, const Event& before,
                                                const Event& after) {
  const Changing changing(*this);
  icalcomponent* main = master();
  if (main == nullptr) return kNoSeries;
  const Event series = event();
  icalcomponent* at = nullptr;
  for (icalcomponent* c : overrides()) {
    const auto its = originalOf(c);
    if (its == original) {
      at = c;
    } else if (its && *its > original) {
      // A later changed occurrence takes a new text where it had the series' own.
      bool changed = false;
      for (const auto& [kind, member] : kEventTexts) {
        if (before.*member != after.*member && textOf(c, kind) == series.*member) {
          setText(c, kind, after.*member);
          changed = true;
        }
      }
      if (changed) touch(c);
    }
  }
  const Event moved =
      ICalSeries::changedFrom(series, before, after, ICalTime::formOf(main, ICAL_DTSTART_PROPERTY));
  if (auto refused = changeEvent(series, moved)) return refused;
  // Without changes of its own, the occurrence moves as the series' start does, on its clock.
  if (at == nullptr && before.start != after.start && !after.allDay) {
    if (auto refused = unheldStart(after.start)) return refused;
  }
  // The occurrence the change was made at takes it whole, its own changes beside it.
  if (at != nullptr) {
    if (const auto now = eventOf(at)) {
      Event wanted = *now;
      for (const auto& [kind, member] : kEventTexts) {
        if (before.*member != after.*member) wanted.*member = after.*member;
      }
      wanted.start = after.start;
      wanted.end = after.end;
      wanted.allDay = after.allDay;
      if (recordDiffers(*now, wanted)) applyDifferences(at, *now, wanted);
    }
  }
  fitZones();
  return std::nullopt;
}

bool ICalItem::changeOccurrence(PimTime original, const Event& before, const Event& after) {
  const Changing changing(*this);
  if (!hasOccurrenceAt(original)) return false;
  icalcomponent* main = master();
  const auto& byOriginal = changed().byOriginal;
  const auto found = byOriginal.find(original);
  icalcomponent* own = found != byOriginal.end() ? found->second : nullptr;
  if (own == nullptr) {
    own = derive(main);
    for (auto kind : {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY}) {
      removeAll(own, kind);
    }
    const ICalTime::Form start = ICalTime::formOf(main, ICAL_DTSTART_PROPERTY);
    const ICalTime::Form end = icalcomponent_get_first_property(main, ICAL_DTEND_PROPERTY)
                                   ? ICalTime::formOf(main, ICAL_DTEND_PROPERTY)
                                   : start;
    const icaltimetype wall = originalWall(original);
    setTime(own, ICAL_RECURRENCEID_PROPERTY, wall, start);
    removeAll(own, ICAL_DURATION_PROPERTY);
    // Where a floating one has not moved from a time of day the clock skips (02:30 on the night
    // the clock goes forward), its start is that wall clock too, as its rule gives it: no
    // instant's wall clock is. libical reads a floating time as it stands and khal with the
    // offset before the gap, so its length goes with it, which both read alike; so too where its
    // floating end is the first of two times the clock shows, which written would be the later.
    const bool keptSkipped = before.start == original && !ICalTime::shows(wall, start);
    if (keptSkipped) {
      setTime(own, ICAL_DTSTART_PROPERTY, wall, start);
    } else {
      setTime(own, ICAL_DTSTART_PROPERTY, before.start, ICalTime::heldBy(before.start, start));
    }
    if (keptSkipped ||
        (end.kind == ICalTime::Form::Kind::floating && !ICalTime::holds(before.end, end))) {
      setLength(own, before.end - before.start);
    } else {
      setTime(own, ICAL_DTEND_PROPERTY, before.end, ICalTime::heldBy(before.end, end));
    }
    icalcomponent_add_component(root_, own);
  }
  applyDifferences(own, before, after);
  fitZones();
  // A RECURRENCE-ID that reads back as another instant (a wall clock the zone repeats) would
  // leave the occurrence as it was beside a second one.
  return originalOf(own) == original;
}

bool ICalItem::removeOccurrence(PimTime original) {
  const Changing changing(*this);
  if (!hasOccurrenceAt(original)) return false;
  for (icalcomponent* c : overrides()) {
    if (originalOf(c) == original) {
      discard(c);
    }
  }
  // Added beside the exceptions already there, in the form of the series' start and as the wall
  // clock its rule gives (a time the clock skips included); a changed occurrence where the series
  // has none goes with its own component.
  if (icalcomponent* main = master(); main != nullptr && inRule(original)) {
    icalcomponent_add_property(main,
                               ICalTime::property(ICAL_EXDATE_PROPERTY, originalWall(original),
                                                  ICalTime::formOf(main, ICAL_DTSTART_PROPERTY)));
    touch(main);
  }
  return !hasOccurrenceAt(original);
}

std::optional<PimTime> ICalItem::originalOf(icalcomponent* own) const {
  return originalIn(own, master());
}

icaltimetype ICalItem::ruleWall(PimTime original) const {
  Cursor found = cursor(original, false, original);
  if (found.next() == original && !icaltime_is_null_time(found.wall())) return found.wall();
  return ICalTime::inForm(original, ICalTime::formOf(master(), ICAL_DTSTART_PROPERTY));
}

icaltimetype ICalItem::originalWall(PimTime original) const {
  // A zone's wall clock of the instant itself, which libical (matching by instants, and reading a
  // time the clock skips with the offset after the gap) and khal read alike; a floating time
  // names the rule's own wall clock, which both match by it.
  const ICalTime::Form form = ICalTime::formOf(master(), ICAL_DTSTART_PROPERTY);
  if (form.kind == ICalTime::Form::Kind::zoned) return ICalTime::inForm(original, form);
  return ruleWall(original);
}

std::optional<std::string> ICalItem::skippedTime(PimTime original) const {
  icalcomponent* main = master();
  if (main == nullptr) return std::nullopt;
  const icaltimetype wall = ruleWall(original);
  const ICalTime::Form form = ICalTime::formOf(main, ICAL_DTSTART_PROPERTY);
  if (ICalTime::shows(wall, form)) return std::nullopt;
  char text[24];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", wall.year, wall.month, wall.day,
                wall.hour, wall.minute);
  return text + (" " + (form.kind == ICalTime::Form::Kind::zoned ? form.tzid : "local") + " time");
}

std::optional<std::string> ICalItem::unheldStart(PimTime start) const {
  icalcomponent* main = master();
  const ICalTime::Form form = ICalTime::formOf(main, ICAL_DTSTART_PROPERTY);
  if (ICalTime::heldBy(start, form).kind == form.kind) return std::nullopt;
  const icaltimetype wall = ICalTime::inForm(start, form);
  char clock[8];
  std::snprintf(clock, sizeof clock, "%02d:%02d", wall.hour, wall.minute);
  const std::string place =
      placeOf(main, icalcomponent_get_first_property(main, ICAL_DTSTART_PROPERTY));
  return "The series cannot begin there: " + ICalSeries::userText(start) + " " +
         ICalSeries::userZoneText() + " time is the first of the two times its clock (" +
         form.tzid + ") shows " + clock + " that night as it goes back, and its start written as " +
         clock + " would be the later one" + (place.empty() ? "" : " (" + place + ")") + ".";
}

std::optional<std::string> ICalItem::beginAt(PimTime original) {
  const Changing changing(*this);
  const Event series = event();
  icalcomponent* main = master();
  if (main == nullptr) return kNoSeries;
  if (auto refused = rulesUnwritable()) return refused;
  if (auto refused = ICalSeries::countFrom(main, original, rulePlace())) return refused;
  dropDates(main, [&](PimTime at) { return at < original; });
  // The occurrence it begins at keeps its own changes (a new time, a cancellation, an alarm).
  for (icalcomponent* c : overrides()) {
    const auto at = originalOf(c);
    if (!at || *at < original) {
      discard(c);
    }
  }
  Event moved = series;
  moved.start = original;
  moved.end = later(original, series.end - series.start);
  applyDifferences(main, series, moved);
  fitZones();
  return std::nullopt;
}

std::optional<std::string> ICalItem::rulesUnwritable() const {
  for (const long interval : longIntervals_) {
    if (interval == 0) continue;
    return "The series cannot be changed so: its rule repeats every " + std::to_string(interval) +
           " steps of its frequency (INTERVAL=" + std::to_string(interval) +
           "), more than a change can write back. Change its occurrences one at a time.";
  }
  return std::nullopt;
}

void ICalItem::fitZones() {
  ICalProperties::fitZones(root_, [this](icalcomponent* zone) { discard(zone); });
}

void ICalItem::dropChangesFrom(PimTime original) {
  const Changing changing(*this);
  for (icalcomponent* c : overrides()) {
    const auto at = originalOf(c);
    if (at && *at >= original) {
      discard(c);
    }
  }
}

std::optional<std::string> ICalItem::endBefore(PimTime original, bool& anyLeft) {
  const Changing changing(*this);
  icalcomponent* main = master();
  if (auto refused = rulesUnwritable()) return refused;
  if (main == nullptr) {
    dropChangesFrom(original);
    anyLeft = firstOccurrence().has_value();
    return std::nullopt;
  }
  if (auto refused = ICalSeries::endRulesBefore(main, original, rulePlace())) return refused;
  dropDates(main, [&](PimTime at) { return at >= original; });
  dropChangesFrom(original);
  touch(main);
  anyLeft = firstOccurrence().has_value();
  return std::nullopt;
}

std::string ICalItem::placeOf(icalcomponent* comp, icalproperty* prop) const {
  if (origin_.empty() || comp == nullptr) return "";
  return origin_ + ", " + (layout_ ? layout_->lineOf(comp, prop) : "a line");
}

std::function<std::string(const icalrecurrencetype&)> ICalItem::rulePlace() const {
  return [this](const icalrecurrencetype& recur) {
    icalproperty* rule = icalproperty_new_rrule(recur);
    std::string out = placeOf(master(), rule);
    icalproperty_free(rule);
    return out;
  };
}

std::string ICalItem::placeOf(PimTime original) const {
  for (icalcomponent* own : overrides()) {
    if (originalOf(own) == original) {
      return placeOf(own, icalcomponent_get_first_property(own, ICAL_RECURRENCEID_PROPERTY));
    }
  }
  icalcomponent* main = master();
  icalproperty* rule =
      main != nullptr ? icalcomponent_get_first_property(main, ICAL_RRULE_PROPERTY) : nullptr;
  return placeOf(
      main, rule != nullptr ? rule : icalcomponent_get_first_property(main, ICAL_DTSTART_PROPERTY));
}

void ICalItem::setUid(const std::string& uid) {
  const Changing changing(*this);
  if (icalcomponent* main = master()) icalcomponent_set_uid(main, uid.c_str());
  for (icalcomponent* c : overrides()) icalcomponent_set_uid(c, uid.c_str());
}

Reminder ICalItem::reminder() const {
  icalcomponent* main = master();
  Reminder reminder;
  reminder.id = uid();
  reminder.title = textOf(main, ICAL_SUMMARY_PROPERTY);
  reminder.notes = textOf(main, ICAL_DESCRIPTION_PROPERTY);
  const icaltimetype due = timeOf(main, ICAL_DUE_PROPERTY);
  if (!icaltime_is_null_time(due)) {
    if (due.is_date) {
      reminder.dueDateComponents = DateComponents{due.year, due.month, due.day, {}, {}};
    } else if (due.zone == nullptr) {
      reminder.dueDateComponents =
          DateComponents{due.year, due.month, due.day, due.hour, due.minute};
    } else if (auto at = toPim(due)) {
      reminder.dueDateComponents = DateComponents::fromDate(*at, true);
    }
  }
  reminder.completionDate = toPim(timeOf(main, ICAL_COMPLETED_PROPERTY));
  reminder.completed = icalcomponent_get_status(main) == ICAL_STATUS_COMPLETED ||
                       reminder.completionDate.has_value();
  if (auto* prop = icalcomponent_get_first_property(main, ICAL_PRIORITY_PROPERTY)) {
    reminder.priority = std::clamp(icalproperty_get_priority(prop), 0, 9);
  }
  return reminder;
}

void ICalItem::changeReminder(const Reminder& before, const Reminder& after) {
  icalcomponent* main = master();
  if (before.title != after.title) setText(main, ICAL_SUMMARY_PROPERTY, after.title);
  if (before.notes != after.notes) setText(main, ICAL_DESCRIPTION_PROPERTY, after.notes);
  if (before.dueDateComponents != after.dueDateComponents) {
    removeAll(main, ICAL_DUE_PROPERTY);
    if (const auto& due = after.dueDateComponents) {
      if (!due->hour) {
        icaltimetype day = icaltime_null_time();
        day.year = *due->year;
        day.month = *due->month;
        day.day = *due->day;
        day.is_date = 1;
        icalcomponent_add_property(main, icalproperty_new_due(day));
      } else {
        // A time of day is the user's wall clock wherever they are: a floating time.
        icaltimetype at = icaltime_null_time();
        at.year = *due->year;
        at.month = *due->month;
        at.day = *due->day;
        at.hour = *due->hour;
        at.minute = due->minute.value_or(0);
        icalcomponent_add_property(main, icalproperty_new_due(at));
      }
    }
  }
  if (before.completed != after.completed || before.completionDate != after.completionDate) {
    removeAll(main, ICAL_COMPLETED_PROPERTY);
    removeAll(main, ICAL_PERCENTCOMPLETE_PROPERTY);
    removeAll(main, ICAL_STATUS_PROPERTY);
    if (after.completed) {
      icalcomponent_set_status(main, ICAL_STATUS_COMPLETED);
      icalcomponent_add_property(main, icalproperty_new_percentcomplete(100));
      if (after.completionDate) {
        setTime(main, ICAL_COMPLETED_PROPERTY, *after.completionDate, ICalTime::utc());
      }
    } else {
      icalcomponent_set_status(main, ICAL_STATUS_NEEDSACTION);
    }
  }
  if (before.priority != after.priority) {
    removeAll(main, ICAL_PRIORITY_PROPERTY);
    if (after.priority > 0) {
      icalcomponent_add_property(main, icalproperty_new_priority(after.priority));
    }
  }
  touch(main);
}

}  // namespace tvrn
