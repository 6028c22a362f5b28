#include "pim/PimCodec.h"

#include <cstdio>

#include "base/Timestamp.h"

namespace tvrn::PimCodec {
namespace {

using namespace std::chrono;

bool digitsAt(std::string_view text, size_t at, size_t count, int* out) {
  if (at + count > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

}  // namespace

std::string dayText(PimTime time) {
  const year_month_day day(floor<days>(time));
  char out[16];
  std::snprintf(out, sizeof out, "%04d-%02u-%02u", static_cast<int>(day.year()),
                unsigned(day.month()), unsigned(day.day()));
  return out;
}

std::string instantText(PimTime time) { return Timestamp::iso8601UTC(time); }

std::string timeText(PimTime time, bool asDay) { return asDay ? dayText(time) : instantText(time); }

std::optional<PimTime> parseTime(std::string_view text, bool* dateOnly) {
  int y = 0, mo = 0, d = 0;
  if (!digitsAt(text, 0, 4, &y) || text.size() < 10 || text[4] != '-' ||
      !digitsAt(text, 5, 2, &mo) || text[7] != '-' || !digitsAt(text, 8, 2, &d)) {
    return std::nullopt;
  }
  const year_month_day day{year(y), month(static_cast<unsigned>(mo)),
                           std::chrono::day(static_cast<unsigned>(d))};
  if (y < kPimFirstYear || y > kPimLastYear || !day.ok()) return std::nullopt;
  sys_seconds time = sys_days(day);
  if (text.size() == 10) {
    if (dateOnly != nullptr) *dateOnly = true;
    return PimTime(time);
  }
  int h = 0, mi = 0, s = 0;
  if (text.size() < 20 || text[10] != 'T' || !digitsAt(text, 11, 2, &h) || text[13] != ':' ||
      !digitsAt(text, 14, 2, &mi) || text[16] != ':' || !digitsAt(text, 17, 2, &s) || h > 23 ||
      mi > 59 || s > 59) {
    return std::nullopt;
  }
  time += hours(h) + minutes(mi) + seconds(s);
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    int zh = 0, zm = 0;
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || !digitsAt(text, 20, 2, &zh) ||
        zone[3] != ':' || !digitsAt(text, 23, 2, &zm) || zh > 23 || zm > 59) {
      return std::nullopt;
    }
    const auto offset = hours(zh) + minutes(zm);
    time += zone[0] == '+' ? -offset : offset;
  }
  if (dateOnly != nullptr) *dateOnly = false;
  return PimTime(time);
}

bool inStoredRange(PimTime time) {
  static const PimTime first = sys_days(year(kPimFirstYear) / January / 1);
  static const PimTime last = sys_days(year(kPimLastYear + 1) / January / 1);
  return time >= first && time < last;
}

std::string occurrenceKey(PimTime original, bool allDay) {
  std::string key;
  for (char c : timeText(original, allDay)) {
    if (c != '-' && c != ':') key += c;
  }
  return key;
}

std::optional<PimTime> parseOccurrenceKey(std::string_view key) {
  std::string text;
  if (key.size() == 8) {
    text = std::string(key.substr(0, 4)) + "-" + std::string(key.substr(4, 2)) + "-" +
           std::string(key.substr(6, 2));
  } else if (key.size() == 16 && key[8] == 'T' && key[15] == 'Z') {
    text = std::string(key.substr(0, 4)) + "-" + std::string(key.substr(4, 2)) + "-" +
           std::string(key.substr(6, 2)) + "T" + std::string(key.substr(9, 2)) + ":" +
           std::string(key.substr(11, 2)) + ":" + std::string(key.substr(13, 2)) + "Z";
  } else {
    return std::nullopt;
  }
  return parseTime(text);
}

void coverWholeDays(Event& event) {
  const sys_days first = floor<days>(event.start);
  sys_days after = floor<days>(event.end);
  if (PimTime(after) != event.end) after += days(1);
  if (after <= first) after = first + days(1);
  event.start = PimTime(first);
  event.end = PimTime(after);
}

bool validComponents(const DateComponents& c) {
  auto within = [](const std::optional<int>& value, int low, int high) {
    return !value || (*value >= low && *value <= high);
  };
  return within(c.year, 1, 9999) && within(c.month, 1, 12) && within(c.day, 1, 31) &&
         within(c.hour, 0, 23) && within(c.minute, 0, 59);
}

}  // namespace tvrn::PimCodec
