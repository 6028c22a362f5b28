#include "bridges/LocalDataReply.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "base/Timestamp.h"
#include "bridges/PlatformStores.h"
#include "bridges/TCCMessages.h"
#include "core/JSONText.h"
#include "pim/ICalSeries.h"
#include "pim/PimCodec.h"

namespace tvrn::LocalData {
namespace {

using namespace std::chrono;

// "YYYY-MM-DDTHH:MM:SS" without a zone: its wall clock, read as if it were UTC (which checks the
// form), and taken apart as a day and a time.
std::optional<std::pair<PimTime, DateComponents>> localWall(std::string_view text) {
  if (text.size() != 19) return std::nullopt;
  const auto asUTC = PimCodec::parseTime(std::string(text) + "Z");
  if (!asUTC) return std::nullopt;
  const auto whole = floor<seconds>(*asUTC);
  const sys_days day = floor<days>(whole);
  const year_month_day ymd(day);
  const hh_mm_ss time(whole - day);
  return std::pair{
      *asUTC,
      DateComponents{static_cast<int>(ymd.year()), static_cast<int>(unsigned(ymd.month())),
                     static_cast<int>(unsigned(ymd.day())), static_cast<int>(time.hours().count()),
                     static_cast<int>(time.minutes().count())}};
}

// That time of day in the local zone.
std::optional<PimTime> localDateTime(std::string_view text) {
  const auto wall = localWall(text);
  if (!wall) return std::nullopt;
  const auto minute = wall->second.date();
  if (!minute) return std::nullopt;
  return *minute + (floor<seconds>(wall->first) - floor<minutes>(wall->first));
}

std::string clockText(const DateComponents& c) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", c.hour.value_or(0), c.minute.value_or(0));
  return text;
}

// A colour component as 0...255 (unclamped); a value an integer cannot hold reads as 0.
long long channel(double component) {
  const double scaled = component * 255.0;
  if (!std::isfinite(scaled) || std::fabs(scaled) > std::numeric_limits<int>::max()) return 0;
  return static_cast<long long>(std::trunc(scaled));
}

}  // namespace

// Member by member, cheaper than an initializer list, which makes each member an array first.
Reply ok(nlohmann::json result) {
  Reply reply = Reply::object();
  reply["ok"] = true;
  reply["result"] = std::move(result);
  return reply;
}

Reply okText(std::string text) {
  Reply reply = Reply::object();
  reply["ok"] = true;
  reply["text"] = std::move(text);
  return reply;
}

Reply okPrinted(std::string text) {
  Reply reply = Reply::object();
  reply["ok"] = true;
  reply["printed"] = std::move(text);
  return reply;
}

Reply error(std::string message, bool permission) {
  Reply reply = Reply::object();
  reply["ok"] = false;
  reply["error"] = std::move(message);
  if (permission) reply["permission"] = true;
  return reply;
}

Reply permissionError(std::string message) { return error(std::move(message), true); }

bool isBareDate(std::string_view text) {
  constexpr std::size_t kBareDateLength = 10;  // yyyy-MM-dd, the only form that short
  return text.size() == kBareDateLength;
}

DateComponents dueDayOf(std::string_view text, PimTime date) {
  if (!isBareDate(text)) return DateComponents::fromDate(date, false);
  const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(date)};
  DateComponents components;
  components.year = static_cast<int>(day.year());
  components.month = static_cast<int>(static_cast<unsigned>(day.month()));
  components.day = static_cast<int>(static_cast<unsigned>(day.day()));
  return components;
}

std::optional<PimTime> parseISO8601(std::string_view text) {
  auto date = PimCodec::parseTime(text);
  if (!date) date = localDateTime(text);
  // The year is checked as written; its zone, or the local one a due date is kept in, can still
  // carry the moment past the years the store keeps, and it must not read as a date then.
  if (!date || !PimCodec::inStoredRange(*date) || !DateComponents::fromDate(*date, true).date()) {
    return std::nullopt;
  }
  return date;
}

bool outsideStoredYears(std::string_view text) {
  if (text.size() < 10 || parseISO8601(text)) return false;
  if (!std::all_of(text.begin(), text.begin() + 4, [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  // The same in a year the store keeps, far from its ends, that has a 29 February as the year
  // written has one or not: a day that does not exist (2031-02-29) is unreadable in any year.
  const int written = std::stoi(std::string(text.substr(0, 4)));
  const bool leap = (written % 4 == 0 && written % 100 != 0) || written % 400 == 0;
  std::string within(text);
  within.replace(0, 4, leap ? "2000" : "2001");
  return parseISO8601(within).has_value();
}

std::string iso8601(PimTime date) { return Timestamp::iso8601UTC(date); }

PimTime parseDateStr(std::string_view text, PimTime fallback) {
  if (text.empty()) return fallback;
  return parseISO8601(text).value_or(fallback);
}

std::string hexColor(const std::optional<std::vector<double>>& components) {
  if (!components || components->size() < 3) return "#000000";
  char text[40];
  std::snprintf(text, sizeof text, "#%02X%02X%02X",
                static_cast<unsigned>(channel((*components)[0])),
                static_cast<unsigned>(channel((*components)[1])),
                static_cast<unsigned>(channel((*components)[2])));
  return text;
}

std::string calendarType(CalendarType type) {
  switch (type) {
    case CalendarType::local:
      return "local";
    case CalendarType::calDAV:
      return "caldav";
    case CalendarType::exchange:
      return "exchange";
    case CalendarType::subscription:
      return "subscription";
    case CalendarType::birthday:
      return "birthday";
  }
  return "unknown";
}

std::string sourceTypeName(std::optional<SourceType> type) {
  if (!type) return "unknown";
  switch (*type) {
    case SourceType::local:
      return "local";
    case SourceType::exchange:
      return "exchange";
    case SourceType::calDAV:
      return "caldav";
    case SourceType::subscribed:
      return "subscribed";
    case SourceType::mobileMe:
    case SourceType::birthdays:
      break;
  }
  return "unknown";
}

std::string tccStatusString(AuthorizationStatus status) {
  switch (status) {
    case AuthorizationStatus::notDetermined:
      return "notDetermined";
    case AuthorizationStatus::restricted:
      return "restricted";
    case AuthorizationStatus::denied:
      return "denied";
    case AuthorizationStatus::granted:
      return "authorized";
    case AuthorizationStatus::writeOnly:
      return "writeOnly";
    case AuthorizationStatus::unknown:
      break;
  }
  return "unknown";
}

std::string tccContactsString(AuthorizationStatus status) {
  return status == AuthorizationStatus::writeOnly ? "unknown" : tccStatusString(status);
}

Reply getTCCStatus(PlatformStores& stores) {
  return ok(
      {{"calendar", tccStatusString(stores.events.authorizationStatus(EntityType::event))},
       {"reminders", tccStatusString(stores.events.authorizationStatus(EntityType::reminder))},
       {"contacts", tccContactsString(stores.contacts.authorizationStatus())}});
}

Reply probeAccess(PrivacyGate& gate, std::string_view key, AuthorizationStatus status,
                  std::string (*word)(AuthorizationStatus), PrivacyEntity entity) {
  if (status != AuthorizationStatus::notDetermined) return ok({{key, word(status)}});
  gate.requestAccessInBackground({entity});
  return ok({{key, "requested"}});
}

std::string calendarDeniedMsg(std::string_view service) {
  return std::string(service) + " access denied.\n\nOpen " + TCCMessages::grantPlace(service) +
         " and turn ON the toggle for **Tavrin**.";
}

std::string calendarWriteOnlyMsg() {
  return "Calendar permission is set to **Write Only**, but reading events requires **Full "
         "Access**.\n\nOpen " +
         TCCMessages::grantPlace("Calendars") + ", find **Tavrin** and switch it to 'Full Access'.";
}

std::string calendarNotDeterminedMsg() {
  return "Calendar access hasn't been granted yet. Open " + TCCMessages::grantPlace("Calendars") +
         ", find **Tavrin** and set it to **Full Access**.";
}

std::string remindersNotDeterminedMsg() {
  return "Reminders access hasn't been granted yet. Open " + TCCMessages::grantPlace("Reminders") +
         ", find **Tavrin** and turn its toggle ON.";
}

std::string contactsDeniedMsg() {
  return "Contacts — grant access in " + TCCMessages::grantPlace("Contacts") +
         " → enable **Tavrin**.";
}

std::string noneWhileSettingsUnreadable(std::string_view things, std::string_view own,
                                        const std::string& unreadable) {
  return "No " + std::string(things) + " while Tavrin's settings file " + unreadable +
         ": until it reads, Tavrin makes no " + std::string(own) +
         " of its own, and folders that the file names may not be read. Correct the file or put "
         "back a good copy of it, then ask again.";
}

std::optional<std::string> nilIfEmpty(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

std::string invalidDate(std::string_view key, std::string_view text) {
  return "Invalid " + std::string(key) + " '" + std::string(text) +
         "'. Use a date such as 2026-05-01 (a whole day), a local time such as "
         "2026-05-01T14:30:00, or a time with its zone such as 2026-05-01T14:30:00Z or "
         "2026-05-01T14:30:00+02:00.";
}

std::optional<std::string> skippedClockTime(std::string_view key, std::string_view text) {
  const auto wall = localWall(text);
  const auto gap = wall ? wall->second.skipped() : std::nullopt;
  const auto read = gap ? wall->second.date() : std::nullopt;
  if (!read) return std::nullopt;
  // The offset in force before the gap, which reads it as the RFC 5545 reading of the file would.
  const auto offset = duration_cast<minutes>(wall->first - *read).count();
  const int whole = static_cast<int>(std::min<long long>(std::llabs(offset), 99 * 60));
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', whole / 60, whole % 60);
  const std::string day(text.substr(0, 10));
  return "Invalid " + std::string(key) + " '" + std::string(text) + "': the clock goes from " +
         clockText(gap->first) + " straight to " + clockText(gap->second) + " on " + day + " (" +
         ICalSeries::userZoneText() + "), so that time does not exist there. Give a time before " +
         clockText(gap->first) + " or from " + clockText(gap->second) +
         " on, or the time with its offset from UTC, such as " + std::string(text) + zone + ".";
}

std::string shownTarget(const CreateTarget& target) {
  std::string shown = target.calendar ? target.calendar->title : "(default)";
  if (!target.unmatched.empty()) shown += " (default; " + target.unmatched + ")";
  return shown;
}

std::string uncheckedTarget(std::string_view found) {
  return "(default, unless " + std::string(found) + " once access is allowed)";
}

namespace {

std::string leftOut(std::size_t listed, std::size_t matched, bool atLeast, std::string_view noun,
                    std::string_view why, std::string_view how) {
  const std::string bound = atLeast ? "at least " : "";
  return "Only the first " + std::to_string(listed) + " of " + bound + std::to_string(matched) +
         " " + std::string(noun) + " " + std::string(why) + "; " + bound +
         std::to_string(matched - listed) + " were left out. To see them, " + std::string(how) +
         ".";
}

}  // namespace

std::string leftOutNote(std::size_t listed, std::size_t matched, bool atLeast,
                        std::string_view noun, std::string_view how) {
  return leftOut(listed, matched, atLeast, noun, "are listed", how);
}

std::string cutNote(std::size_t listed, std::size_t matched, bool atLeast, std::string_view noun,
                    std::string_view how) {
  return leftOut(listed, matched, atLeast, noun,
                 "fit in one reply (at most " + std::to_string(kMaxListingBytes >> 20) + " MiB)",
                 how);
}

std::size_t sentRecordBytes(std::string_view printed) {
  constexpr std::size_t kDeeper = 4;  // two levels of two spaces on every line
  constexpr std::size_t kBefore = 7;  // ",\n    ", the line break escaped
  const auto lines = static_cast<std::size_t>(std::count(printed.begin(), printed.end(), '\n'));
  return kBefore + JSONText::escapedSize(printed) + lines * kDeeper;
}

BoundedRecords::BoundedRecords(std::size_t besides)
    : room_(kMaxListingBytes - std::min(kMaxListingBytes, besides)) {}

bool BoundedRecords::add(nlohmann::json record) {
  if (full_) return false;
  auto printed = JSONText::dump(record, 2);
  // Text that is not UTF-8 makes the whole reply an error later; here it only needs a size.
  if (!printed) printed = record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  const std::size_t bytes = sentRecordBytes(*printed);
  if (bytes > room_) {
    full_ = true;
    return false;
  }
  room_ -= bytes;
  records_.push_back(std::move(record));
  return true;
}

}  // namespace tvrn::LocalData
