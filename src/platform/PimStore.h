// The user's calendars, reminders and contacts on Linux: JSON files under <app-support>/pim/,
// read and changed by the data services the way they would use the platform's event and contact
// stores. Whether the user allows that is PrivacyGate's business, not the store's.
//
// Files (each one JSON object; keys the store does not know are kept as they are):
//   calendars.json          {"calendars": [calendar...], "default": id}
//   reminder-lists.json     {"lists": [calendar...], "default": id}
//   events.json             {"events": [event...]}
//   reminders.json          {"reminders": [reminder...]}
//   contact-containers.json {"containers": [{"id", "name", "type"}...], "default": id}
//   contact-groups.json     {"groups": [{"id", "name", "container", "members": [id...]}...]}
//   contacts.json           {"contacts": [contact...]}
// calendar: {"id", "title", "type": "local"|"calDAV"|"exchange"|"subscription"|"birthday",
//   "color": [r, g, b] (0...1), "source": {"title", "type": "local"|"exchange"|"calDAV"|
//   "mobileMe"|"subscribed"|"birthdays"}, "writable": bool}
// event: {"id", "calendar", "title", "location", "notes", "url", "allDay", "start", "end",
//   "attendees": [{"name", "url", "role", "status", "isMe"}], "recurrence": {"frequency":
//   "daily"|"weekly"|"monthly"|"yearly", "interval", "count" | "until"}, "exceptions": [...]}
//   Timed events hold instants ("2024-05-01T08:30:00Z" or with an offset); all-day events hold
//   days ("2024-05-01"), the end being the day after the last. A date-only "until" ends the
//   series with that day.
// reminder: {"id", "list", "title", "notes", "due": components, "completed", "completionDate",
//   "priority"}; components: {"year", "month", "day", "hour", "minute"}, each optional.
// contact: {"id", "container", "givenName", "middleName", "familyName", "nickname",
//   "organization", "jobTitle", "emails": [{"label", "value"}], "phones": [{"label", "value"}],
//   "addresses": [{"label", "street", "city", "state", "postalCode", "country"}],
//   "birthday": components, "note"}
// A file that does not read as this is left alone and reads as empty; the next change to it
// moves it aside as <file>.corrupt-<UTC time> (with a warning, see PimDocument.h) before writing.
// A file that is there but cannot be read is never changed: a change that needs it fails as
// storage, and a reading call says so to a caller that passes `unreadable` (see PimUnreadable).
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.h"
#include "platform/PimDocument.h"
#include "platform/PimTypes.h"

namespace tvrn {

// Whether `text` contains `part`, ignoring case (Unicode case folding): how names, titles and
// groups given to the data service are matched. An empty part is in nothing.
bool caselessContains(std::string_view text, std::string_view part);

// How many events and occurrences one listing matches at most before it stops, so that a wide
// range over many repeating events costs bounded time and memory (a daily event repeats about
// 200,000 times over all the years the store keeps).
inline constexpr size_t kMaxMatchedEvents = 100000;

// Why a file that a reading call needed could not be read: the call then answered as if the file
// were empty, which says nothing about what it holds. A reading call given one sets it at such a
// failure (keeping a reason already set) and leaves it alone otherwise, so one can serve several
// calls in a row.
using PimUnreadable = std::optional<std::string>;

// The first events of a listing and how many matched.
struct EventPage {
  std::vector<Event> events;  // the earliest, in the order of PimStore::events
  // Every match when `complete`; otherwise the listing stopped at its cap, and this is the number
  // matched until then: at least the cap, and a lower bound for the whole range.
  size_t totalMatched = 0;
  bool complete = true;
};

class PimStore {
 public:
  // Keeps its files in `folder`; without one, in Paths::appSupport() / "pim", worked out at each
  // call.
  explicit PimStore(std::filesystem::path folder = {});

  // The process's one store.
  static PimStore& shared();

  std::filesystem::path folder() const;

  // Calendars (EntityType::event) and reminder lists (EntityType::reminder), in file order.
  std::vector<Calendar> calendars(EntityType type, PimUnreadable* unreadable = nullptr) const;
  // A calendar or reminder list by identifier.
  std::optional<Calendar> calendar(std::string_view id, PimUnreadable* unreadable = nullptr) const;
  // The recorded default, else the first writable calendar of that kind, else nothing.
  std::optional<Calendar> defaultCalendarForNewEvents(PimUnreadable* unreadable = nullptr) const;
  std::optional<Calendar> defaultCalendarForNewReminders(PimUnreadable* unreadable = nullptr) const;
  // Adds (empty id) or replaces a calendar or reminder list; answers it as stored.
  Result<Calendar, PimError> saveCalendar(const Calendar& calendar);
  Result<Calendar, PimError> setDefaultCalendar(EntityType type, std::string_view id);

  // Events and occurrences that overlap [start, end), in the given calendars (every calendar when
  // none are given, none for an empty list), ordered by start (equal starts in the order the
  // store holds them); at most kMaxMatchedEvents of them, the earliest.
  std::vector<Event> events(PimTime start, PimTime end,
                            const std::optional<std::vector<std::string>>& calendarIds = {},
                            PimUnreadable* unreadable = nullptr) const;
  // The same listing, keeping only its first `limit` events while counting all of them, and
  // stopping once `cap` have matched.
  EventPage firstEvents(PimTime start, PimTime end,
                        const std::optional<std::vector<std::string>>& calendarIds, size_t limit,
                        size_t cap = kMaxMatchedEvents, PimUnreadable* unreadable = nullptr) const;
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
  std::vector<Reminder> reminders(const ReminderQuery& query = {},
                                  PimUnreadable* unreadable = nullptr) const;
  std::optional<Reminder> reminder(std::string_view id, PimUnreadable* unreadable = nullptr) const;
  Result<Reminder, PimError> saveReminder(const Reminder& reminder);
  Result<Reminder, PimError> removeReminder(std::string_view id);

  std::vector<ContactContainer> containers(PimUnreadable* unreadable = nullptr) const;
  // The recorded default container, else the first, else the empty identifier.
  std::string defaultContainerIdentifier(PimUnreadable* unreadable = nullptr) const;
  Result<ContactContainer, PimError> saveContainer(const ContactContainer& container);
  Result<ContactContainer, PimError> setDefaultContainer(std::string_view id);

  std::vector<ContactGroup> groups(PimUnreadable* unreadable = nullptr) const;
  Result<ContactGroup, PimError> saveGroup(const ContactGroup& group);

  // Contacts in file order.
  std::vector<Contact> contacts(PimUnreadable* unreadable = nullptr) const;
  std::optional<Contact> contact(std::string_view id, PimUnreadable* unreadable = nullptr) const;
  // Contacts whose given, middle, family or nick name, organisation or full name contains `name`,
  // ignoring case.
  std::vector<Contact> contactsMatchingName(std::string_view name,
                                            PimUnreadable* unreadable = nullptr) const;
  // Contacts with an e-mail address equal to `address`, ignoring case.
  std::vector<Contact> contactsMatchingEmailAddress(std::string_view address,
                                                    PimUnreadable* unreadable = nullptr) const;
  std::vector<Contact> contactsInGroup(std::string_view groupId,
                                       PimUnreadable* unreadable = nullptr) const;
  // A contact without a container belongs to the default one.
  std::vector<Contact> contactsInContainer(std::string_view containerId,
                                           PimUnreadable* unreadable = nullptr) const;
  Result<Contact, PimError> saveContact(const Contact& contact);

 private:
  // Runs `work` under the store's mutex, then hands on the warnings it gathered.
  template <typename Work>
  auto locked(Work&& work) const;

  std::filesystem::path fixedFolder_;
  mutable std::mutex mutex_;  // guards every document below and their files
  mutable PimDocument calendars_;
  mutable PimDocument reminderLists_;
  mutable PimDocument events_;
  mutable PimDocument reminders_;
  mutable PimDocument containers_;
  mutable PimDocument groups_;
  mutable PimDocument contacts_;
};

}  // namespace tvrn
