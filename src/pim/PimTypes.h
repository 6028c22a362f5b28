// The records of the personal-data store: calendars and reminder lists, events, reminders,
// contact containers, groups and contacts, as the data services read and change them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tvrn {

using PimTime = std::chrono::system_clock::time_point;

// The years the store keeps dates in: what a PimTime (nanoseconds from 1970) can hold, rounded in.
inline constexpr int kPimFirstYear = 1700;
inline constexpr int kPimLastYear = 2261;
// The longest event the store keeps: a PimTime difference spans less than 300 years, so a longer
// one could not be worked with.
inline constexpr std::chrono::hours kPimLongestEvent{24 * 366 * 200};

// What a calendar holds: events, or reminders (a reminder list).
enum class EntityType { event, reminder };

enum class CalendarType { local, calDAV, exchange, subscription, birthday };

enum class SourceType { local, exchange, calDAV, mobileMe, subscribed, birthdays };

// The account a calendar or reminder list belongs to.
struct CalendarSource {
  std::string title;
  SourceType type = SourceType::local;

  bool operator==(const CalendarSource&) const = default;
};

// An event calendar or a reminder list.
struct Calendar {
  std::string id;  // empty for a calendar not yet saved
  std::string title;
  EntityType entityType = EntityType::event;
  CalendarType type = CalendarType::local;
  // The colour's components as stored (red, green, blue in 0...1 for an RGB colour).
  std::optional<std::vector<double>> color;
  std::optional<CalendarSource> source;
  bool allowsContentModifications = true;
};

enum class ParticipantRole { unknown, required, optional, chair, nonParticipant };

enum class ParticipantStatus {
  unknown,
  pending,
  accepted,
  declined,
  tentative,
  delegated,
  completed,
  inProcess
};

struct Attendee {
  std::string name;
  std::string url;  // "mailto:address" for an e-mail invitee
  ParticipantRole role = ParticipantRole::unknown;
  ParticipantStatus status = ParticipantStatus::unknown;
  bool isCurrentUser = false;
};

enum class RecurrenceFrequency { daily, weekly, monthly, yearly };

// How an event repeats: every `interval` days, weeks, months or years from its start (monthly and
// yearly on the start's day of the month, skipping months that lack it), ending after
// `occurrenceCount` occurrences or with the last occurrence starting at or before `endDate`.
struct RecurrenceRule {
  RecurrenceFrequency frequency = RecurrenceFrequency::daily;
  int interval = 1;
  std::optional<int> occurrenceCount;
  std::optional<PimTime> endDate;

  bool operator==(const RecurrenceRule&) const = default;
};

// Which occurrences of a repeating event a change or removal applies to.
enum class Span { thisEvent, futureEvents };

// One event, or one occurrence of a repeating event. An occurrence's id names the series and the
// occurrence's original start, so it stays the same when the occurrence is moved.
// An all-day event covers whole calendar days: `start` is midnight (UTC) of its first day and
// `end` midnight of the day after its last.
struct Event {
  std::string id;  // empty for an event not yet saved
  std::string calendarId;
  std::string calendarTitle;  // filled when read; saving ignores it
  std::string title;
  std::string location;
  std::string notes;
  std::string url;
  PimTime start;
  PimTime end;
  bool allDay = false;
  std::vector<Attendee> attendees;  // read-only: saving keeps the stored ones
  std::optional<RecurrenceRule> recurrence;
};

// A date as a person gives it, read in the current calendar and time zone: a due date with or
// without a time of day, or a birthday that may lack its year.
struct DateComponents {
  std::optional<int> year{};
  std::optional<int> month{};
  std::optional<int> day{};
  std::optional<int> hour{};
  std::optional<int> minute{};

  // The components of a moment in the local time zone; the time of day only when asked for.
  static DateComponents fromDate(PimTime date, bool withTimeOfDay);
  // The moment they denote in the local time zone (missing hour and minute count as 0), or
  // nothing without a year, month and day or outside the years the store keeps. A time the clock
  // shows twice as it goes back is the later; one it skips as it goes forward is read with the
  // offset before the gap (02:30 of the night summer time begins is 03:30 summer time).
  std::optional<PimTime> date() const;
  // Where the local clock skips the time they name as it goes forward: the wall clocks it springs
  // from and to (02:00 and 03:00 for 02:30 of that night); nothing where the clock shows it.
  std::optional<std::pair<DateComponents, DateComponents>> skipped() const;

  bool operator==(const DateComponents&) const = default;
};

struct Reminder {
  std::string id;  // empty for a reminder not yet saved
  std::string listId;
  std::string listTitle;  // filled when read; saving ignores it
  std::string title;
  std::string notes;
  std::optional<DateComponents> dueDateComponents;
  bool completed = false;
  // Set to the time of saving when a reminder is saved completed without one; cleared when it is
  // saved not completed.
  std::optional<PimTime> completionDate;
  int priority = 0;  // 0 none, 1 high ... 9 low
};

enum class ReminderFilter { all, incomplete, completed };

// Which reminders a fetch returns. A window [from, to) applies to the due date of incomplete
// reminders and to the completion date of completed ones; with a window, reminders without that
// date are left out. No list ids means every list; an empty list means none.
struct ReminderQuery {
  ReminderFilter filter = ReminderFilter::all;
  std::optional<std::vector<std::string>> listIds{};
  std::optional<PimTime> from{};
  std::optional<PimTime> to{};
};

enum class ContainerType { unassigned, local, exchange, cardDAV };

// An address book account; contacts belong to one.
struct ContactContainer {
  std::string id;  // empty for a container not yet saved
  std::string name;
  ContainerType type = ContainerType::local;
};

struct ContactGroup {
  std::string id;  // empty for a group not yet saved
  std::string name;
  std::string containerId;
  std::vector<std::string> memberIds;  // contact ids
};

struct LabeledValue {
  std::string label;  // as shown: "home", "work", "mobile", ...; may be empty
  std::string value;

  bool operator==(const LabeledValue&) const = default;
};

struct PostalAddress {
  std::string label;
  std::string street;
  std::string city;
  std::string state;
  std::string postalCode;
  std::string country;

  bool operator==(const PostalAddress&) const = default;
};

struct Contact {
  std::string id;           // empty for a contact not yet saved
  std::string containerId;  // empty: the default container
  std::string givenName;
  std::string middleName;
  std::string familyName;
  std::string nickname;
  std::string organizationName;
  std::string jobTitle;
  std::vector<LabeledValue> emailAddresses;
  std::vector<LabeledValue> phoneNumbers;
  std::vector<PostalAddress> postalAddresses;
  std::optional<DateComponents> birthday;  // month and day, with or without a year
  std::string note;
};

// The contact's full name as a person reads it ("given middle family"), or nothing when it has no
// personal name.
std::optional<std::string> formattedFullName(const Contact& contact);

// Why the store refused a change. `message` is the text shown to the user. `ambiguous`: the
// identifier fits several items, and none was guessed at.
struct PimError {
  enum class Code { notFound, noCalendar, readOnly, invalid, storage, ambiguous };
  Code code = Code::invalid;
  std::string message;
};

}  // namespace tvrn
