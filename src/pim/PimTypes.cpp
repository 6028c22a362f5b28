#include "pim/PimTypes.h"

#include <ctime>

namespace tvrn {

DateComponents DateComponents::fromDate(PimTime date, bool withTimeOfDay) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  DateComponents components{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, {}, {}};
  if (withTimeOfDay) {
    components.hour = local.tm_hour;
    components.minute = local.tm_min;
  }
  return components;
}

std::optional<PimTime> DateComponents::date() const {
  if (!year || !month || !day || *year < kPimFirstYear || *year > kPimLastYear) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = *year - 1900;
  local.tm_mon = *month - 1;
  local.tm_mday = *day;
  local.tm_hour = hour.value_or(0);
  local.tm_min = minute.value_or(0);
  local.tm_isdst = -1;
  local.tm_wday = -1;  // mktime sets it only when it succeeds
  const std::time_t seconds = ::mktime(&local);
  if (local.tm_wday == -1) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

std::optional<std::string> formattedFullName(const Contact& contact) {
  std::string name;
  for (const std::string* part : {&contact.givenName, &contact.middleName, &contact.familyName}) {
    if (part->empty()) continue;
    if (!name.empty()) name += ' ';
    name += *part;
  }
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace tvrn
