#include "bridges/LocalDataReply.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "bridges/PlatformStores.h"

namespace tvrn::LocalData {
namespace {

using namespace std::chrono;

// Reads exactly `width` digits at `at`.
bool digitsAt(std::string_view text, size_t at, size_t width, int& out) {
  if (at + width > text.size()) return false;
  int value = 0;
  for (size_t i = at; i < at + width; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  out = value;
  return true;
}

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DD", checked as a real day within the years the store keeps.
std::optional<Fields> readDay(std::string_view text) {
  Fields f;
  if (!digitsAt(text, 0, 4, f.year) || text.size() < 10 || text[4] != '-' ||
      !digitsAt(text, 5, 2, f.month) || text[7] != '-' || !digitsAt(text, 8, 2, f.day)) {
    return std::nullopt;
  }
  const year_month_day ymd{year(f.year), month(static_cast<unsigned>(f.month)),
                           day(static_cast<unsigned>(f.day))};
  if (!ymd.ok() || f.year < kPimFirstYear || f.year > kPimLastYear) return std::nullopt;
  return f;
}

// "YYYY-MM-DDTHH:MM:SS", the rest of the text left to the caller.
std::optional<Fields> readDateTime(std::string_view text) {
  auto f = readDay(text);
  if (!f || text.size() < 19 || text[10] != 'T' || !digitsAt(text, 11, 2, f->hour) ||
      text[13] != ':' || !digitsAt(text, 14, 2, f->minute) || text[16] != ':' ||
      !digitsAt(text, 17, 2, f->second) || f->hour > 23 || f->minute > 59 || f->second > 59) {
    return std::nullopt;
  }
  return f;
}

PimTime utc(const Fields& f) {
  const sys_days day = year_month_day{year(f.year), month(static_cast<unsigned>(f.month)),
                                      std::chrono::day(static_cast<unsigned>(f.day))};
  return PimTime(day + hours(f.hour) + minutes(f.minute) + seconds(f.second));
}

// The zone designator after the time: "Z" or "+HH:MM" / "-HH:MM"; the offset east of UTC.
std::optional<seconds> readZone(std::string_view zone) {
  if (zone == "Z") return seconds(0);
  int h = 0, m = 0;
  if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !digitsAt(zone, 1, 2, h) ||
      zone[3] != ':' || !digitsAt(zone, 4, 2, m) || h > 23 || m > 59) {
    return std::nullopt;
  }
  const seconds offset = hours(h) + minutes(m);
  return zone[0] == '-' ? -offset : offset;
}

std::optional<PimTime> internetDateTime(std::string_view text) {
  auto f = readDateTime(text);
  if (!f || text.size() <= 19) return std::nullopt;
  auto offset = readZone(text.substr(19));
  if (!offset) return std::nullopt;
  return utc(*f) - *offset;
}

std::optional<PimTime> localDateTime(std::string_view text) {
  auto f = readDateTime(text);
  if (!f || text.size() != 19) return std::nullopt;
  auto minute = DateComponents{f->year, f->month, f->day, f->hour, f->minute}.date();
  if (!minute) return std::nullopt;
  return *minute + seconds(f->second);
}

std::optional<PimTime> dayOnly(std::string_view text) {
  auto f = readDay(text);
  if (!f || text.size() != 10) return std::nullopt;
  return utc(*f);
}

// A colour component as 0...255 (unclamped); a value an integer cannot hold reads as 0.
long long channel(double component) {
  const double scaled = component * 255.0;
  if (!std::isfinite(scaled) || std::fabs(scaled) > std::numeric_limits<int>::max()) return 0;
  return static_cast<long long>(std::trunc(scaled));
}

}  // namespace

Reply ok(nlohmann::json result) { return Reply{{"ok", true}, {"result", std::move(result)}}; }

Reply okText(std::string text) { return Reply{{"ok", true}, {"text", std::move(text)}}; }

Reply error(std::string message, bool permission) {
  Reply reply{{"ok", false}, {"error", std::move(message)}};
  if (permission) reply["permission"] = true;
  return reply;
}

Reply permissionError(std::string message) { return error(std::move(message), true); }

std::optional<PimTime> parseISO8601(std::string_view text) {
  if (auto date = internetDateTime(text)) return date;
  if (auto date = localDateTime(text)) return date;
  return dayOnly(text);
}

std::string iso8601(PimTime date) {
  const auto whole = floor<seconds>(date);
  const sys_days day = floor<days>(whole);
  const year_month_day ymd(day);
  const hh_mm_ss time(whole - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

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

Reply getTCCStatus() {
  return ok({{"calendar", tccStatusString(eventStore().authorizationStatus(EntityType::event))},
             {"reminders", tccStatusString(eventStore().authorizationStatus(EntityType::reminder))},
             {"contacts", tccContactsString(contactStore().authorizationStatus())}});
}

std::string calendarDeniedMsg(std::string_view service) {
  return std::string(service) + " access denied.\n\nOpen System Settings → Privacy & Security → " +
         std::string(service) + " and turn ON the toggle for **Tavrin**.";
}

std::string calendarWriteOnlyMsg() {
  return "Calendar permission is set to **Write Only**, but reading events requires **Full "
         "Access**.\n\nOpen System Settings → Privacy & Security → Calendars, find **Tavrin** "
         "and switch it to 'Full Access'.";
}

std::string calendarNotDeterminedMsg() {
  return "Calendar access hasn't been granted yet. Open System Settings → Privacy & Security → "
         "Calendars, find **Tavrin** and set it to **Full Access**.";
}

std::string remindersNotDeterminedMsg() {
  return "Reminders access hasn't been granted yet. Open System Settings → Privacy & Security → "
         "Reminders, find **Tavrin** and turn its toggle ON.";
}

std::string contactsDeniedMsg() {
  return "Contacts — grant access in System Settings → Privacy & Security → Contacts → enable "
         "**Tavrin**.";
}

std::optional<std::string> nilIfEmpty(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

}  // namespace tvrn::LocalData
