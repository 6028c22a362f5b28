// One iCalendar item file (an event with its changed occurrences, or a task) as the event store
// reads and changes it through libical: the records the data services see, the occurrences of a
// repeating event, and changes that touch only the properties they concern.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pim/PimTypes.h"

struct icalcomponent_impl;

namespace tvrn {

class ICalLayout;

// Whether the event overlaps [from, to); an all-day event is weighed as its days in the local
// time zone, an event without length as its start.
bool eventOverlaps(const Event& event, PimTime from, PimTime to);

class ICalItem {
 public:
  // The file's item, or why it is not one: no VCALENDAR, no VEVENT or VTODO, no UID, or no
  // start that the store can hold. A line that is not UTF-8 is read as cp1252, else Latin-1, so
  // the item holds UTF-8 and writes it back as such. A `rewritable` item keeps the file's text
  // and is written back into it, changing only the lines its changes concern.
  static std::optional<ICalItem> parse(const std::string& text, std::string* why,
                                       bool rewritable = false);
  // A new event or task with this UID and nothing else in it yet.
  static ICalItem create(const std::string& uid, bool task);

  ICalItem(ICalItem&&) noexcept;
  ICalItem& operator=(ICalItem&&) noexcept;
  ~ICalItem();
  ICalItem copy() const;

  std::string text() const;
  std::string uid() const;
  bool isTask() const;
  bool repeats() const;  // RRULE or RDATE on the event

  // The event as the file states it, without ids; for a repeating one, the series' own start.
  Event event() const;
  // The occurrence that originally starts at `original`, or nothing when the series has none
  // there (or it was removed).
  std::optional<Event> occurrence(PimTime original) const;
  // Hands out a series' original starts from `from` on, earliest first, one at a time, so a
  // listing can stop anywhere; removed occurrences only when asked for.
  class Cursor {
   public:
    struct State;
    explicit Cursor(std::unique_ptr<State> state);
    Cursor(Cursor&&) noexcept;
    ~Cursor();
    std::optional<PimTime> next();

   private:
    std::unique_ptr<State> state_;
  };
  Cursor cursor(PimTime from, bool withRemoved = false) const;
  bool hasOccurrenceAt(PimTime original) const;
  // The originals of the occurrences that have changes of their own (their start may differ).
  std::vector<PimTime> changedOriginals() const;
  // The occurrence at `original`, without asking whether the series has one there.
  Event occurrenceAt(PimTime original) const;
  // The first occurrence that has not been removed.
  std::optional<Event> firstOccurrence() const;

  // Writes the fields that differ between `before` and `after` onto the event.
  void changeEvent(const Event& before, const Event& after);
  // Gives one occurrence its own changes; false when the series has no occurrence there.
  bool changeOccurrence(PimTime original, const Event& before, const Event& after);
  // Takes one occurrence out of the series, keeping every earlier exception; false when the
  // series has no occurrence there.
  bool removeOccurrence(PimTime original);
  // Ends the series just before `original`; false when no occurrence is left.
  bool endBefore(PimTime original);
  // The number of occurrences before `original` (for a rule with a count).
  long occurrencesBefore(PimTime original) const;
  // Drops the changed occurrences at or after `original`.
  void dropChangesFrom(PimTime original);
  // Carries a change made to the occurrence at `original` and every later one (from `before` to
  // `after`, of a series whose own record is `series`) into the changed occurrences it covers:
  // the one at `original` takes it whole, a later one in each text it has not changed itself.
  void carryIntoChanged(PimTime original, const Event& series, const Event& before,
                        const Event& after);
  // Makes a copy of a series start at its occurrence `original`, for the series split off there:
  // the occurrences before it and their exceptions, extra dates and changes go (its own change
  // too), a rule's count loses as many, and everything else stays as the file had it.
  void beginAt(PimTime original);
  // Gives the item a new UID (for a series split off another).
  void setUid(const std::string& uid);

  Reminder reminder() const;
  void changeReminder(const Reminder& before, const Reminder& after);

 private:
  explicit ICalItem(icalcomponent_impl* root);
  icalcomponent_impl* master() const;
  std::vector<icalcomponent_impl*> overrides() const;
  // The original start a changed occurrence stands for, read in the series' zone.
  std::optional<PimTime> originalOf(icalcomponent_impl* own) const;
  // A new component made as a copy of `from`, to be added to the item.
  icalcomponent_impl* derive(icalcomponent_impl* from);
  // Takes a component out of the item and frees it.
  void discard(icalcomponent_impl* comp);

  icalcomponent_impl* root_ = nullptr;
  // The file's own text, which the item is written back into; none for a new item.
  std::unique_ptr<ICalLayout> layout_;
};

}  // namespace tvrn
