// One iCalendar item file (an event with its changed occurrences, or a task) as the event store
// reads and changes it through libical: the records the data services see, the occurrences of a
// repeating event, and changes that touch only the properties they concern.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pim/ICalZones.h"
#include "pim/PimTypes.h"

struct icalcomponent_impl;
struct icalproperty_impl;
struct icalrecurrencetype;
struct icaltimetype;

namespace tvrn {

class ICalLayout;

// Whether the event overlaps [from, to); an all-day event is weighed as its days in the local
// time zone, an event without length as its start.
bool eventOverlaps(const Event& event, PimTime from, PimTime to);

class ICalItem {
 public:
  // Why a change that reaches every occurrence, or the later ones, is refused where the file
  // holds changed occurrences without their series (another program may have left it so since
  // it was listed): there is nothing to carry the change, and nothing would be written.
  static constexpr const char* kNoSeries =
      "The occurrences of this event have no series to change together; change each one on its "
      "own.";

  // What an item is read for: one that may be changed and written back holds every VTIMEZONE of
  // its file; one only read leaves out those whose zones are known already.
  enum class Use { change, reading };
  // The file's item, or why it is not one: no VCALENDAR, no VEVENT or VTODO, no UID, or no
  // start that the store can hold. A file of changed occurrences without their series (what a
  // server keeps for an invitation to one occurrence) is an item of those occurrences. A line that
  // is not UTF-8 is read as cp1252, else Latin-1, so the item holds UTF-8 and writes it back as
  // such. An item read for a change keeps the file's text and is written back into it, changing
  // only the lines its changes concern. `leftOut` is given a line for each changed occurrence the
  // item leaves out because its time is not one the store can hold, naming it by line and UID.
  static std::optional<ICalItem> parse(const std::string& text, std::string* why,
                                       Use use = Use::change,
                                       std::vector<std::string>* leftOut = nullptr);
  // A new event or task with this UID and nothing else in it yet.
  static ICalItem create(const std::string& uid, bool task);

  ICalItem(ICalItem&&) noexcept;
  ICalItem& operator=(ICalItem&&) noexcept;
  ~ICalItem();
  ICalItem copy() const;

  std::string text() const;
  // The text, read back before it is written: nothing, and why, when it would not read as this
  // item (another UID, not one calendar, a property that would read back otherwise, named by its
  // line) or would state twice a property that RFC 5545 allows once where the file did not.
  std::optional<std::string> checkedText(std::string* why) const;
  // The same check of any text, as checkedText makes it of the item's own: a test's way to each
  // refusal, which the item's own text may never meet.
  std::optional<std::string> checked(std::string text, std::string* why) const;
  // The file the item was read from, for the messages about it; empty for a new item. A copy
  // keeps it.
  std::filesystem::path origin() const { return origin_; }
  void setOrigin(const std::filesystem::path& file) { origin_ = file.string(); }
  std::string uid() const;
  bool isTask() const;
  bool repeats() const;    // RRULE or RDATE on the event, or changed occurrences alone
  bool hasSeries() const;  // false for changed occurrences alone
  // For each rule of the series that names a part RFC 5545 does not allow at its frequency: the
  // rule and those parts, with how they are read (see RecurrenceWalk::misplaced); for each whose
  // UNTIL names no day, that it is read without an end.
  std::vector<std::string> misplacedRuleParts() const;

  // The event as the file states it, without ids; for a repeating one, the series' own start
  // (without a series, the earliest occurrence).
  Event event() const;
  // The occurrences extra dates give as periods (RDATE;VALUE=PERIOD): their ends by their starts.
  std::map<PimTime, PimTime> periods() const;
  // The occurrence that originally starts at `original`, or nothing when the series has none
  // there (or it was removed).
  std::optional<Event> occurrence(PimTime original) const;
  // Hands out a series' original starts from `from` on, earliest first, one at a time, so a
  // listing can stop anywhere; removed occurrences only when asked for. Given `to`, none after it
  // need be handed out: the rules are not followed much past it.
  class Cursor {
   public:
    struct State;
    explicit Cursor(std::unique_ptr<State> state);
    Cursor(Cursor&&) noexcept;
    ~Cursor();
    std::optional<PimTime> next();
    // Whether a rule was given up where following it further would cost more than a listing may
    // (see RecurrenceWalk): the starts after the last one handed out are then unknown.
    bool cut() const;
    // The wall clock of the start's frame the last start handed out is at as the series' start
    // or a rule gives it (a time the clock skips stays so); a null time for an extra date.
    icaltimetype wall() const;

   private:
    std::unique_ptr<State> state_;
  };
  Cursor cursor(PimTime from, bool withRemoved = false,
                std::optional<PimTime> to = std::nullopt) const;
  // From when on the series' original starts repeat as before (see ICalSeries::settledAfter).
  std::optional<PimTime> settledAfter(PimTime from) const;
  // Whether an occurrence starts at `original`: one the series gives, or a changed one (which
  // stands on its own where the series gives none).
  bool hasOccurrenceAt(PimTime original) const;
  // The originals of the occurrences that have changes of their own (their start may differ).
  std::vector<PimTime> changedOriginals() const;
  // The occurrence at `original`, without asking whether the series has one there.
  Event occurrenceAt(PimTime original) const;
  // The first occurrence that has not been removed.
  std::optional<Event> firstOccurrence() const;

  // Writes the fields that differ between `before` and `after` onto the event. A new start of a
  // series moves what names its occurrences by the same wall-clock shift, in the start's new
  // form: its removed and extra dates, its rule's days and end, and its changed occurrences (from
  // their own starts). Nothing, or why the series cannot be moved so (its rule would not give
  // each occurrence moved by the shift): the item is then half changed and must not be written.
  std::optional<std::string> changeEvent(const Event& before, const Event& after);
  // Changes the occurrence at `original` (as the caller saw it: `before`) and every later one
  // into `after`: the series takes the texts the change sets, and its times move by the
  // difference the change makes to that occurrence, so each later occurrence keeps its own day
  // and time apart from it; later changed occurrences take a new text where they had the
  // series' own; the occurrence at `original` takes the change whole. Nothing, or why not (see
  // changeEvent).
  std::optional<std::string> changeFrom(PimTime original, const Event& before, const Event& after);
  // Gives one occurrence its own changes; false when the series has no occurrence there.
  bool changeOccurrence(PimTime original, const Event& before, const Event& after);
  // Takes one occurrence out of the series, keeping every earlier exception; false when the
  // series has no occurrence there.
  bool removeOccurrence(PimTime original);
  // Ends the series just before `original` (each rule with its last instance before it; its
  // extra and removed dates and changed occurrences from there on go); `anyLeft` false when no
  // occurrence is left. Nothing, or why not (a rule too long to follow to it): the item must then
  // not be written.
  std::optional<std::string> endBefore(PimTime original, bool& anyLeft);
  // Drops the changed occurrences at or after `original`.
  void dropChangesFrom(PimTime original);
  // Makes a copy of a series start at its occurrence `original`, for the series split off there:
  // the occurrences before it and their exceptions, extra dates and changes go, a rule's count
  // loses the rule's own instances before it, and everything else stays as the file had it (the
  // changes of the occurrence at `original` too). Nothing, or why not (see endBefore).
  std::optional<std::string> beginAt(PimTime original);
  // Where the series' start or rule puts its occurrence at `original` at a time of day its clock
  // skips (the rule's 02:30 on the night the clock goes forward, which libical reads as 01:30's
  // instant): that wall clock, "2025-03-09 02:30 America/New_York time"; else nothing.
  std::optional<std::string> skippedTime(PimTime original) const;
  // Where a refusal about the series' occurrence `original` points the user: the file and the line
  // ("/path/item.ics, line 9") of its changed occurrence, else of the series' rule, else of its
  // start; empty for a new item.
  std::string placeOf(PimTime original) const;
  // Gives the item a new UID (for a series split off another).
  void setUid(const std::string& uid);

  Reminder reminder() const;
  void changeReminder(const Reminder& before, const Reminder& after);

 private:
  ICalItem(icalcomponent_impl* root, std::shared_ptr<const ICalZones::OwnZones> zones);
  // The changed occurrences by their originals, worked out once rather than for each look-up (a
  // series a server keeps may have thousands); a change to the item drops them (see Changing).
  struct Changed {
    std::vector<std::pair<PimTime, icalcomponent_impl*>> inOrder;  // the file's order
    std::map<PimTime, icalcomponent_impl*> byOriginal;  // of two for one original, the later
  };
  class Changing;
  const Changed& changed() const;
  icalcomponent_impl* master() const;   // the series; none for changed occurrences alone
  icalcomponent_impl* head() const;     // the series, else the first changed occurrence
  bool inRule(PimTime original) const;  // whether the series gives an occurrence there
  std::vector<icalcomponent_impl*> overrides() const;
  // The original start a changed occurrence stands for, read in the series' zone.
  std::optional<PimTime> originalOf(icalcomponent_impl* own) const;
  // The wall clock of the start's frame the series' start or rule gives its occurrence at
  // `original` (the rule's 02:30 on the night the clock skips it, which no instant's wall clock
  // is); else `original` in the start's form.
  icaltimetype ruleWall(PimTime original) const;
  // The wall clock a RECURRENCE-ID or EXDATE names the occurrence at `original` by, as other
  // programs match it: beside a zone, its instant's; else the rule's (see ruleWall).
  icaltimetype originalWall(PimTime original) const;
  // Why the series' start cannot be `start` on its clock: the first of the two instants its zone's
  // clock shows the same time at as it goes back, which the start's wall clock would name the
  // later of; nothing where it can.
  std::optional<std::string> unheldStart(PimTime start) const;
  // The changed occurrences left out as their times are none the store can hold, each named by
  // its line in `lines`, the text it was read from.
  std::vector<std::string> unreadOccurrences(std::string_view lines) const;
  // The file and line that state `prop` of `comp`, as placeOf(PimTime) gives them.
  std::string placeOf(icalcomponent_impl* comp, icalproperty_impl* prop) const;
  // The place of each rule of the series, for the refusals that name it.
  std::function<std::string(const icalrecurrencetype&)> rulePlace() const;
  // A new component made as a copy of `from`, to be added to the item.
  icalcomponent_impl* derive(icalcomponent_impl* from);
  // Takes a component out of the item and frees it.
  void discard(icalcomponent_impl* comp);
  // After a change: the zones the store added cover the years the item's times now reach.
  void fitZones();

  icalcomponent_impl* root_ = nullptr;
  // The file's own text, which the item is written back into; none for a new item.
  std::unique_ptr<ICalLayout> layout_;
  std::shared_ptr<const ICalZones::OwnZones> zones_;  // what its own VTIMEZONEs define, if any
  // As text: a path object keeps each of its parts besides, hundreds of bytes for each series
  // the index holds.
  std::string origin_;
  mutable std::unique_ptr<const Changed> changed_;  // worked out when first asked for
  // The INTERVAL of each rule of the series where libical cannot hold it, else 0 (see parse).
  std::vector<long> longIntervals_;
  // Why the series' rules cannot be written back (an INTERVAL libical cannot hold); nothing
  // where they can.
  std::optional<std::string> rulesUnwritable() const;
};

}  // namespace tvrn
