// What the personal-data services share: the three shapes of a reply (structured success, text
// success, failure), the date forms requests and records use, the words for colours, calendar and
// account types and permission statuses, and the permission texts.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pim/PimStore.h"
#include "pim/PimTypes.h"
#include "pim/PrivacyGate.h"

namespace tvrn {
struct PlatformStores;
}

namespace tvrn::LocalData {

// A reply is an untyped JSON object that always has "ok".
using Reply = nlohmann::json;

// {"ok": true, "result": result}; `result` must be an object.
Reply ok(nlohmann::json result);
// {"ok": true, "text": text}.
Reply okText(std::string text);
// {"ok": true, "printed": text}: a structured result already written as its tool text (the object
// as dump(2) writes it), for a listing of a fixed shape that is answered inside the process
// without building the object. A reply sent as a line carries the object as "result" instead.
Reply okPrinted(std::string text);
// {"ok": false, "error": message}, with "permission": true only when `permission` is set.
Reply error(std::string message, bool permission = false);
// The failure for a missing privacy permission.
Reply permissionError(std::string message);

// Reads 2024-05-01T10:00:00Z or ...+02:00 with its zone, 2024-05-01T10:00:00 in local time, or
// 2024-05-01 as midnight UTC; nothing for any other form, or for a moment outside the years the
// store keeps, in UTC or in local time.
std::optional<PimTime> parseISO8601(std::string_view text);
// True for the date-only form, 2024-05-01.
bool isBareDate(std::string_view text);
// Whether `text` is in one of the forms parseISO8601 reads but names a moment outside the years
// the store keeps (2300-01-01, 1650-06-01T09:00:00Z), which it does not read as a date.
bool outsideStoredYears(std::string_view text);
// The calendar day a due date names: a bare date (2024-05-01) is that day as written, wherever
// the user is; a moment is its day on the local calendar. Year, month and day only.
DateComponents dueDayOf(std::string_view text, PimTime date);
// 2024-05-01T08:30:00Z: UTC, whole seconds.
std::string iso8601(PimTime date);
// `fallback` for an empty or unreadable text.
PimTime parseDateStr(std::string_view text, PimTime fallback);

// "#RRGGBB" of a colour's first three components; "#000000" without three.
std::string hexColor(const std::optional<std::vector<double>>& components);
// "local", "caldav", "exchange", "subscription", "birthday".
std::string calendarType(CalendarType type);
// An account's type word; "unknown" without an account.
std::string sourceTypeName(std::optional<SourceType> type);
// Calendar and reminders permission: "notDetermined", "restricted", "denied", "authorized",
// "writeOnly", "unknown".
std::string tccStatusString(AuthorizationStatus status);
// Contacts permission: the same words without "writeOnly".
std::string tccContactsString(AuthorizationStatus status);

// The reply of "get_tcc_status": {"calendar", "reminders", "contacts"} words, asking nobody.
Reply getTCCStatus(PlatformStores& stores);

// What a permission probe answers: {key: the status's word} once the user has decided; else
// {key: "requested"}, after starting the question in the background, since whoever probes must
// not wait for the user; `gate` asks.
Reply probeAccess(PrivacyGate& gate, std::string_view key, AuthorizationStatus status,
                  std::string (*word)(AuthorizationStatus), PrivacyEntity entity);

// `service` is "Calendar" or "Reminders".
std::string calendarDeniedMsg(std::string_view service);
std::string calendarWriteOnlyMsg();
std::string calendarNotDeterminedMsg();
std::string remindersNotDeterminedMsg();
std::string contactsDeniedMsg();
// Why a listing finds no `things` ("calendars") while the settings cannot be read: `unreadable`
// names the file and why; `own` is what the store makes of its own once they read ("calendar").
std::string noneWhileSettingsUnreadable(std::string_view things, std::string_view own,
                                        const std::string& unreadable);

// The text, or nothing when it is empty (an empty "notes" or "location" clears the field).
std::optional<std::string> nilIfEmpty(std::string_view text);

// The calendars, lists or groups a name given for a change picks, in the order given: those
// titled exactly so (ignoring case) when there are any, else every one whose title contains it, so
// that "Tasks" picks the list "Tasks" and not "Empty Tasks" before it.
template <typename Item, typename Title>
std::vector<Item> pickedByName(const std::vector<Item>& items, std::string_view name, Title title) {
  std::vector<Item> exact, containing;
  for (const Item& item : items) {
    if (caselessEquals(title(item), name)) {
      exact.push_back(item);
    } else if (exact.empty() && caselessContains(title(item), name)) {
      containing.push_back(item);
    }
  }
  return exact.empty() ? containing : exact;
}

inline const std::string& titleOf(const Calendar& calendar) { return calendar.title; }

// Where a create puts its item: the calendar or list, and, when the default stands in for one the
// caller named that found nothing, why ("no list matches 'Gym'").
struct CreateTarget {
  std::optional<Calendar> calendar;
  std::string unmatched;
};

// The target as a preview and a reply name it: its title ("(default)" without one), followed by
// " (default; <why>)" when the default stands in for what the caller named.
std::string shownTarget(const CreateTarget& target);

// What a preview names before the user allows access, when the store is not read: the default,
// unless `found` is true once access is allowed ("a list matches 'Gym'").
std::string uncheckedTarget(std::string_view found);

// The refusal of a date a create or update tool cannot read: the forms it takes, with examples.
// "Invalid start_date '<text>'. ...".
std::string invalidDate(std::string_view key, std::string_view text);
// Why a local time (2027-03-28T02:30:00) the user's clock skips as it goes forward cannot be an
// event's time, naming the gap and what to give instead; nothing for any other text.
std::optional<std::string> skippedClockTime(std::string_view key, std::string_view text);

// What a listing that stopped at its limit says of what it left out: "Only the first 100 of 104
// events are listed; 4 were left out. To see them, <how>." `atLeast`: the listing stopped
// counting too, and the total is a lower bound.
std::string leftOutNote(std::size_t listed, std::size_t matched, bool atLeast,
                        std::string_view noun, std::string_view how);
// The same for a listing cut where one reply is full: "Only the first 9871 of 100000 events fit
// in one reply (at most 4 MiB); 90129 were left out. To see them, <how>."
std::string cutNote(std::size_t listed, std::size_t matched, bool atLeast, std::string_view noun,
                    std::string_view how);

// What a listing's reply may take as sent: its text escaped once more as the "text" of the
// message that carries it. A client reads that message as one line and gives up on a long one:
// the TypeScript SDK reads none over 10 MiB and then drops the connection, with every call still
// under way on it. 4 MiB leaves more than half of that line for the message around the text and
// for a client that reads less, and is already far more than a model takes in at once.
inline constexpr std::size_t kMaxListingBytes = std::size_t{4} * 1024 * 1024;
// What a listing's members beside its records take at most as sent: the count, the range, the
// flags and the note.
inline constexpr std::size_t kListingMembersBytes = 1024;

// The bytes a record takes in a listing as sent, from the record printed alone (dump(2)): the
// listing's array holds it two levels in, after a comma and a line break.
std::size_t sentRecordBytes(std::string_view printed);

// A listing's records, as many as one reply holds: each is measured as it comes, and the first
// that does not fit closes the listing, so no more is built than is sent.
class BoundedRecords {
 public:
  // `besides`: what the reply's other members take as sent.
  explicit BoundedRecords(std::size_t besides = kListingMembersBytes);
  // Adds the record when it fits; false when it does not, or the listing is closed already.
  bool add(nlohmann::json record);
  bool full() const { return full_; }
  std::size_t size() const { return records_.size(); }
  nlohmann::json take() && { return std::move(records_); }

 private:
  nlohmann::json records_ = nlohmann::json::array();
  std::size_t room_;
  bool full_ = false;
};

}  // namespace tvrn::LocalData
