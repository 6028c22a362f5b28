// The user's calendars, reminders and contacts on Linux, read and changed by the data services
// the way they would use the platform's event and contact stores. Whether the user allows that is
// PrivacyGate's business, not the store's.
//
// The data lives in the user's vdir folders, as khal, todoman, khard and vdirsyncer keep them:
// every sub-folder of a folder listed in the config key "calendar_folders" (default
// <app-support>/pim/calendars) is a calendar or a reminder list, every sub-folder of one listed in
// "contact_folders" (default <app-support>/pim/contacts) an address book; each item is one
// iCalendar (.ics) or vCard (.vcf) file named after its UID. A collection's title comes from its
// "displayname" file, its colour from "color", its source from the parent folder's name; a
// "tavrin-kind" file saying "tasks" or "events" marks what a collection is for; without one, a
// collection that is empty or holds both serves as a calendar and as a reminder list. The
// defaults for new items are kept in <app-support>/pim/defaults.json.
// Calendar and address-book identifiers are the collection folders' paths; items are named by
// UID (items that share one, by UID, '#' and their folder's name), an occurrence of a repeating
// event by its series' identifier, "/" and its original start.
// Nothing a folder holds can hang or flood the store: an entry that cannot be used (a named
// pipe, a device, a folder or a link to nothing in an item's place, a file it may not read, one
// larger than kMaxItemBytes, one that holds no item) is skipped with one warning naming it, the
// rest listed as usual, and it is never written over; a lookup by identifier that finds nothing
// says, through `unreadable`, when the file named for that identifier could not be read, and a
// change that needs that file fails as storage. A folder that cannot be read is skipped the same
// way (one read before keeps what it held then).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "pim/PimTypes.h"

namespace tvrn {

// Whether `text` contains `part`, ignoring case (Unicode case folding): how names, titles and
// groups given to the data service are matched. An empty part is in nothing.
bool caselessContains(std::string_view text, std::string_view part);
// Whether `text` is `other`, ignoring case as caselessContains does.
bool caselessEquals(std::string_view text, std::string_view other);

// How many events and occurrences one listing matches at most before it stops, so that a wide
// range over many repeating events costs bounded time and memory (a daily event repeats about
// 200,000 times over all the years the store keeps).
inline constexpr size_t kMaxMatchedEvents = 100000;

// The largest item file the store reads; a larger one is skipped. libical's time grows with the
// square of a line's length: an item of this size, all on one line, costs it about half a second
// (bench/ICalParseBench), one twice as large four times that.
inline constexpr size_t kMaxItemBytes = size_t{2} * 1024 * 1024;

// Why a lookup by identifier found nothing, where "not found" would say nothing about it: the
// file that would hold the item could not be read, or the identifier fits several items (the text
// names each by its own identifier; none is guessed at). A lookup given one sets it at such a
// failure (keeping a reason already set) and leaves it alone otherwise.
using PimUnreadable = std::optional<std::string>;

// The first events of a listing and how many matched.
struct EventPage {
  std::vector<Event> events;  // the earliest, in the order of PimStore::events
  // Every match when `complete`; otherwise the listing stopped at its cap, and this is the number
  // matched until then: at least the cap, and a lower bound for the whole range.
  size_t totalMatched = 0;
  bool complete = true;
};

// What the store last read of the folders (defined with the store).
namespace pimstore {
class PimIndex;
enum class Kind;
}  // namespace pimstore

class PimStore {
 public:
  using SettingsSource = std::function<std::shared_ptr<const nlohmann::json>()>;

  // What the one who builds a store hands it; each may be left out.
  struct Sources {
    // The settings that name its folders ("calendar_folders", "contact_folders"): the system's
    // settings snapshot, the same object while nothing changed, or nothing while they cannot be
    // read (the folders last read stay, else the default ones are read; none is made). Unset: the
    // store reads the user's config.json itself, again only when it changed.
    SettingsSource settings = {};
    // Runs just before an item file is replaced, once the new contents are ready, so a test can
    // play another program writing at the worst moment.
    std::function<void(const std::filesystem::path&)> beforeReplace = {};
    // Runs just before an item file is read, on the thread that reads it, so a test can hold a
    // walk of the folders at one file.
    std::function<void(const std::filesystem::path&)> beforeRead = {};
    // Where the files it could not read or had to move aside are reported. Unset: standard
    // error.
    std::function<void(const std::string&)> warn = {};
  };

  // Keeps its own files and default folders in `folder`; without one, in Paths::appSupport() /
  // "pim", worked out again whenever the variables it is named from change.
  explicit PimStore(std::filesystem::path folder = {});
  PimStore(std::filesystem::path folder, Sources sources);
  ~PimStore();

  std::filesystem::path folder() const;

  // Reads the folders ahead of the first call (start-up runs it in the background): the address
  // books, then the calendars. A call that reads waits at most until the folders of its kind are
  // read (calendars and reminder lists share theirs), one that changes anything for the whole
  // walk. It makes no folder: a fresh store's calendar, reminder list and address book come with
  // its first call.
  void warmUp() const;
  // Ends the store's reading of the folders, for good and within moments, for a process that is
  // going away: a walk under way (the warm-up's, a call's) stops once the files it is reading are
  // read, and calls from then on answer from what was read, without looking at the folders again.
  void stop();
  // Whether stop() was called: the store's answers from then on may leave out what it had not
  // read yet, so a caller refuses rather than answer with them.
  bool stopped() const;

  // Calendars (EntityType::event) and reminder lists (EntityType::reminder), in file order.
  std::vector<Calendar> calendars(EntityType type) const;
  // A calendar or reminder list by identifier.
  std::optional<Calendar> calendar(std::string_view id) const;
  // The recorded default, else the first writable calendar of that kind, else nothing.
  std::optional<Calendar> defaultCalendarForNewEvents() const;
  std::optional<Calendar> defaultCalendarForNewReminders() const;
  // Adds (empty id) or replaces a calendar or reminder list; answers it as stored.
  Result<Calendar, PimError> saveCalendar(const Calendar& calendar);
  Result<Calendar, PimError> setDefaultCalendar(EntityType type, std::string_view id);

  // Events and occurrences that overlap [start, end), in the given calendars (every calendar when
  // none are given, none for an empty list), ordered by start (equal starts in the order the
  // store holds them); at most kMaxMatchedEvents of them, the earliest.
  std::vector<Event> events(PimTime start, PimTime end,
                            const std::optional<std::vector<std::string>>& calendarIds = {}) const;
  // The same listing, keeping only its first `limit` events while counting all of them, and
  // stopping once `cap` have matched.
  EventPage firstEvents(PimTime start, PimTime end,
                        const std::optional<std::vector<std::string>>& calendarIds, size_t limit,
                        size_t cap = kMaxMatchedEvents) const;
  // The same listing handed to `take` event by event, in order, for a caller that keeps less than
  // the events (their text): it answers whether it took the event, and after the first it did
  // not take it is not called again. Every match is still counted; the page holds no events.
  // It runs while the store is read, and must not call the store.
  EventPage eachFirstEvent(PimTime start, PimTime end,
                           const std::optional<std::vector<std::string>>& calendarIds,
                           const std::function<bool(Event&&)>& take,
                           size_t cap = kMaxMatchedEvents) const;
  // An event or occurrence by identifier; a repeating event's series id gives its first
  // occurrence.
  std::optional<Event> event(std::string_view id, PimUnreadable* unreadable = nullptr) const;
  // Adds (empty id) or changes an event. For an occurrence, `span` says whether the change is
  // that occurrence's alone or also every later one's. Answers the event as stored.
  Result<Event, PimError> saveEvent(const Event& event, Span span = Span::thisEvent);
  // Removes an event, or one occurrence, or one occurrence and every later one. Answers what was
  // removed.
  Result<Event, PimError> removeEvent(std::string_view id, Span span = Span::thisEvent);

  // Reminders in file order.
  std::vector<Reminder> reminders(const ReminderQuery& query = {}) const;
  std::optional<Reminder> reminder(std::string_view id, PimUnreadable* unreadable = nullptr) const;
  Result<Reminder, PimError> saveReminder(const Reminder& reminder);
  Result<Reminder, PimError> removeReminder(std::string_view id);

  std::vector<ContactContainer> containers() const;
  // The recorded default container, else the first, else the empty identifier.
  std::string defaultContainerIdentifier() const;
  Result<ContactContainer, PimError> saveContainer(const ContactContainer& container);
  Result<ContactContainer, PimError> setDefaultContainer(std::string_view id);

  std::vector<ContactGroup> groups() const;
  Result<ContactGroup, PimError> saveGroup(const ContactGroup& group);

  // Contacts in file order.
  std::vector<Contact> contacts() const;
  std::optional<Contact> contact(std::string_view id, PimUnreadable* unreadable = nullptr) const;
  // Contacts whose given, middle, family or nick name, organisation or full name contains `name`,
  // ignoring case.
  std::vector<Contact> contactsMatchingName(std::string_view name) const;
  // Contacts with an e-mail address equal to `address`, ignoring case.
  std::vector<Contact> contactsMatchingEmailAddress(std::string_view address) const;
  std::vector<Contact> contactsInGroup(std::string_view groupId) const;
  // A contact without a container belongs to the default one.
  std::vector<Contact> contactsInContainer(std::string_view containerId) const;
  Result<Contact, PimError> saveContact(const Contact& contact);

 private:
  // Runs `work` on an index brought up to date with the folders, then hands on the warnings
  // gathered: readers side by side, a change alone while readers go on with the index as it was.
  // A reader of items of `kind` takes the index as it stands once a walk under way has read the
  // folders of that kind.
  template <typename Work>
  auto reading(pimstore::Kind kind, Work&& work) const;
  template <typename Work>
  auto writing(Work&& work);
  // The same, handing the work also what `seen` found in the index as callers last saw it, before
  // it takes in what other programs changed meanwhile: a change is made of the differences
  // between that and what the caller wants, so another program's edit in between stays.
  template <typename Seen, typename Work>
  auto changing(Seen&& seen, Work&& work);
  // folder(), without building the path again while the variables it is named from hold.
  std::shared_ptr<const std::filesystem::path> currentFolder() const;

  // The settings in force: the source's, else the user's config.json.
  std::shared_ptr<const nlohmann::json> settings() const;

  std::filesystem::path fixedFolder_;
  const Sources sources_;
  mutable std::mutex updating_;      // one update of the index or change of the folders at a time
  mutable std::shared_mutex mutex_;  // the index: shared to read it, exclusive to change it
  std::unique_ptr<pimstore::PimIndex> index_;
};

}  // namespace tvrn
