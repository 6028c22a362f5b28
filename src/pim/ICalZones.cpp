#include "pim/ICalZones.h"

#include <libical/ical.h>
#include <libical/icaltz-util.h>
#include <sys/stat.h>
#include <unicode/ucal.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "base/TextLines.h"

namespace tvrn::ICalZones {
namespace {

// What is kept of the zones met, at most: a folder of odd files cannot fill the memory with them.
constexpr size_t kMaxKeptNames = 4096;
constexpr size_t kMaxKeptBlockBytes = size_t{8} << 20;
constexpr size_t kLongestKeptBlock = size_t{64} << 10;
constexpr size_t kLongestZoneName = 128;
// The most changes one rule of a zone is followed through (a change a year, for centuries).
constexpr int kLongestZoneRule = 1000;

bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A name as the zone database spells its files ("America/Argentina/Buenos_Aires", "Etc/GMT+1"):
// nothing that could lead out of its folder.
bool isZoneName(std::string_view name) {
  if (name.empty() || name.size() > kLongestZoneName || !isLetter(name.front()) ||
      name.back() == '/') {
    return false;
  }
  char previous = 0;
  for (const char c : name) {
    const bool allowed = isLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                         c == '+' || (c == '/' && previous != '/');
    if (!allowed) return false;
    previous = c;
  }
  return true;
}

bool sameCaseless(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

class SystemZones {
 public:
  const icaltimezone* find(std::string_view tzid) {
    std::string key(tzid);
    {
      std::shared_lock lock(mutex_);
      if (auto known = byTzid_.find(key); known != byTzid_.end()) return known->second;
    }
    std::unique_lock lock(mutex_);
    const icaltimezone* zone = lookUp(tzid);
    if (byTzid_.size() < kMaxKeptNames) byTzid_.emplace(std::move(key), zone);
    return zone;
  }

  // The zone CLDR gives a Windows zone name ("W. Europe Standard Time"), or nothing.
  const icaltimezone* forWindowsName(std::string_view name) {
    std::string key(name);
    {
      std::shared_lock lock(mutex_);
      if (auto known = byWindowsName_.find(key); known != byWindowsName_.end()) {
        return known->second;
      }
    }
    const std::string iana = ianaNameOf(name);  // looked up before the lock: find takes it
    const icaltimezone* zone = iana.empty() ? nullptr : find(iana);
    std::unique_lock lock(mutex_);
    if (byWindowsName_.size() < kMaxKeptNames) byWindowsName_.emplace(std::move(key), zone);
    return zone;
  }

 private:
  // The name CLDR maps a Windows zone name to, as ICU gives it; empty for none.
  static std::string ianaNameOf(std::string_view windowsName) {
    if (windowsName.size() > kLongestZoneName) return {};
    const icu::UnicodeString name = icu::UnicodeString::fromUTF8(
        icu::StringPiece(windowsName.data(), static_cast<int32_t>(windowsName.size())));
    UChar id[kLongestZoneName];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        ucal_getTimeZoneIDForWindowsID(name.getBuffer(), name.length(), nullptr, id,
                                       static_cast<int32_t>(kLongestZoneName), &status);
    std::string out;
    if (U_SUCCESS(status) && length > 0) icu::UnicodeString(id, length).toUTF8String(out);
    return out;
  }

  // A vendor prefix ("/mozilla.org/20050126_1/") stands before the name: the longest tail that
  // names a zone is the one meant.
  const icaltimezone* lookUp(std::string_view tzid) const {
    if (tzid.empty() || tzid.front() != '/') return located(tzid);
    for (size_t slash = 0; slash != std::string_view::npos; slash = tzid.find('/', slash + 1)) {
      if (const icaltimezone* zone = located(tzid.substr(slash + 1))) return zone;
    }
    return nullptr;
  }

  static const icaltimezone* located(std::string_view name) {
    if (!isZoneName(name)) return nullptr;
    if (name == "UTC" || name == "GMT") return icaltimezone_get_utc_timezone();
    // libical would also try a file of another kind, such as a named pipe, and wait on it.
    const char* folder = icaltzutil_get_zone_directory();
    const std::string location(name);
    struct stat info {};
    if (folder == nullptr || ::stat((std::string(folder) + "/" + location).c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
      return nullptr;
    }
    return icaltimezone_get_builtin_timezone(location.c_str());
  }

  // guards byTzid_, byWindowsName_, and libical's list of zones while it grows
  std::shared_mutex mutex_;
  std::unordered_map<std::string, const icaltimezone*> byTzid_;
  std::unordered_map<std::string, const icaltimezone*> byWindowsName_;
};

SystemZones& systemZones() {
  static auto* zones = new SystemZones();  // the zones live as long as the process
  return *zones;
}

// The VTIMEZONE texts met, each read once.
class Blocks {
 public:
  std::optional<Block> read(std::string_view text) {
    // A longer one is no zone anyone writes; the file keeps it as its own.
    if (text.size() > kLongestKeptBlock) return std::nullopt;
    std::string key(text);
    {
      std::shared_lock lock(mutex_);
      if (auto known = byText_.find(key); known != byText_.end()) return known->second;
    }
    std::unique_lock lock(mutex_);
    if (auto known = byText_.find(key); known != byText_.end()) return known->second;
    icalcomponent* zone = icalparser_parse_string(key.c_str());
    const char* tzid = nullptr;
    if (zone != nullptr && icalcomponent_isa(zone) == ICAL_VTIMEZONE_COMPONENT) {
      if (icalproperty* prop = icalcomponent_get_first_property(zone, ICAL_TZID_PROPERTY)) {
        tzid = icalproperty_get_tzid(prop);
      }
    }
    if (tzid == nullptr || *tzid == '\0') {
      if (zone != nullptr) icalcomponent_free(zone);
      return std::nullopt;
    }
    Block block{tzid, nullptr};
    const bool known = systemZone(block.tzid) != nullptr;
    if (keptBytes_ + key.size() > kMaxKeptBlockBytes) {
      icalcomponent_free(zone);
      return known ? std::optional(block) : std::nullopt;
    }
    if (known) {
      icalcomponent_free(zone);
    } else {
      icaltimezone* made = icaltimezone_new();
      icaltimezone_set_component(made, zone);  // it holds the VTIMEZONE from now on
      block.zone = made;
    }
    keptBytes_ += key.size();
    byText_.emplace(std::move(key), block);
    return block;
  }

 private:
  std::shared_mutex mutex_;  // guards byText_ and keptBytes_
  std::unordered_map<std::string, Block> byText_;
  size_t keptBytes_ = 0;
};

Blocks& blocks() {
  static auto* kept = new Blocks();
  return *kept;
}

struct Remembered {
  std::shared_mutex mutex;  // guards byRoot
  std::unordered_map<const icalcomponent*, std::shared_ptr<const OwnZones>> byRoot;
};

Remembered& remembered() {
  static auto* kept = new Remembered();
  return *kept;
}

// The observances (STANDARD, DAYLIGHT) of a VTIMEZONE, in its order.
std::vector<icalcomponent*> observancesOf(icalcomponent* vtz) {
  std::vector<icalcomponent*> found;
  for (icalcomponent* c = icalcomponent_get_first_component(vtz, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(vtz, ICAL_ANY_COMPONENT)) {
    const icalcomponent_kind kind = icalcomponent_isa(c);
    if (kind == ICAL_XSTANDARD_COMPONENT || kind == ICAL_XDAYLIGHT_COMPONENT) found.push_back(c);
  }
  return found;
}

std::string textOf(icalcomponent* c, icalproperty_kind kind) {
  icalproperty* prop = icalcomponent_get_first_property(c, kind);
  if (prop == nullptr) return {};
  char* text = icalproperty_get_value_as_string_r(prop);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return out;
}

std::string asText(icalcomponent* c) {
  char* text = icalcomponent_as_ical_string_r(c);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return out;
}

// A rule of an observance without its end, as text, to find the observance that carries it on.
std::string openRule(icalrecurrencetype recur) {
  recur.until = icaltime_null_time();
  char* text = icalrecurrencetype_as_string_r(&recur);
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return out;
}

// The changes an observance's ended rule makes after its DTSTART, on the wall clock, and the
// first one it would make after its end.
struct Steps {
  std::vector<icaltimetype> within;
  icaltimetype next = icaltime_null_time();
};

Steps stepsOf(icalcomponent* observance, icalrecurrencetype recur) {
  Steps steps;
  const icaltimetype until = recur.until;
  recur.until = icaltime_null_time();
  const icaltimetype start = icalcomponent_get_dtstart(observance);
  icalproperty* from = icalcomponent_get_first_property(observance, ICAL_TZOFFSETFROM_PROPERTY);
  const int offset = from != nullptr ? icalproperty_get_tzoffsetfrom(from) : 0;
  icalrecur_iterator* walk = icalrecur_iterator_new(recur, start);
  // The rule's end is UTC; its steps are the wall clock before the change.
  for (int i = 0; walk != nullptr && i < kLongestZoneRule; ++i) {
    const icaltimetype wall = icalrecur_iterator_next(walk);
    if (icaltime_is_null_time(wall)) break;
    icaltimetype utc = wall;
    icaltime_adjust(&utc, 0, 0, 0, -offset);
    if (icaltime_compare(utc, until) > 0) {
      steps.next = wall;
      break;
    }
    if (icaltime_compare(wall, start) != 0) steps.within.push_back(wall);
  }
  if (walk != nullptr) icalrecur_iterator_free(walk);
  return steps;
}

bool sameObservance(icalcomponent* a, icalcomponent* b) {
  return icalcomponent_isa(a) == icalcomponent_isa(b) &&
         textOf(a, ICAL_TZOFFSETFROM_PROPERTY) == textOf(b, ICAL_TZOFFSETFROM_PROPERTY) &&
         textOf(a, ICAL_TZOFFSETTO_PROPERTY) == textOf(b, ICAL_TZOFFSETTO_PROPERTY) &&
         textOf(a, ICAL_TZNAME_PROPERTY) == textOf(b, ICAL_TZNAME_PROPERTY);
}

// The observance that carries on, unchanged, the rule `observance` ends at `next` (the zone data
// splits a rule where its table of changes ends); nothing when none does.
icalcomponent* carriedOnBy(icalcomponent* vtz, icalcomponent* observance,
                           const icalrecurrencetype& recur, icaltimetype next) {
  if (icaltime_is_null_time(next)) return nullptr;
  for (icalcomponent* other : observancesOf(vtz)) {
    icalproperty* its = icalcomponent_get_first_property(other, ICAL_RRULE_PROPERTY);
    if (other != observance && its != nullptr && sameObservance(observance, other) &&
        icaltime_compare(icalcomponent_get_dtstart(other), next) == 0 &&
        openRule(icalproperty_get_rrule(its)) == openRule(recur)) {
      return other;
    }
  }
  return nullptr;
}

// Some readers (khal) take no rule with an end in a VTIMEZONE: each such rule is joined with the
// one that carries it on, or else its changes are written as dates.
void withoutRuleEnds(icalcomponent* vtz) {
  for (bool joined = true; joined;) {
    joined = false;
    for (icalcomponent* observance : observancesOf(vtz)) {
      icalproperty* rule = icalcomponent_get_first_property(observance, ICAL_RRULE_PROPERTY);
      if (rule == nullptr) continue;
      const icalrecurrencetype recur = icalproperty_get_rrule(rule);
      if (icaltime_is_null_time(recur.until)) continue;
      const Steps steps = stepsOf(observance, recur);
      if (icalcomponent* next = carriedOnBy(vtz, observance, recur, steps.next)) {
        icalproperty_set_rrule(rule, icalproperty_get_rrule(icalcomponent_get_first_property(
                                         next, ICAL_RRULE_PROPERTY)));
        icalcomponent_remove_component(vtz, next);
        icalcomponent_free(next);
        joined = true;
        break;
      }
    }
  }
  for (icalcomponent* observance : observancesOf(vtz)) {
    icalproperty* rule = icalcomponent_get_first_property(observance, ICAL_RRULE_PROPERTY);
    if (rule == nullptr || icaltime_is_null_time(icalproperty_get_rrule(rule).until)) continue;
    const Steps steps = stepsOf(observance, icalproperty_get_rrule(rule));
    icalcomponent_remove_property(observance, rule);
    icalproperty_free(rule);
    for (const icaltimetype& wall : steps.within) {
      icaldatetimeperiodtype date{};
      date.time = wall;
      date.period = icalperiodtype_null_period();
      icalcomponent_add_property(observance, icalproperty_new_rdate(date));
    }
  }
}

// The zone a TZID names in the calendar `root`: the system's, else one of its own VTIMEZONEs.
const icaltimezone* definedZone(std::string_view tzid, icalcomponent* root) {
  if (const icaltimezone* zone = systemZones().find(tzid)) return zone;
  {
    std::shared_lock lock(remembered().mutex);
    if (auto own = remembered().byRoot.find(root); own != remembered().byRoot.end()) {
      for (const auto& [name, zone] : *own->second) {
        if (name == tzid) return zone;
      }
    }
  }
  // A VTIMEZONE not shared stays the calendar's own.
  return icalcomponent_get_timezone(root, std::string(tzid).c_str());
}

}  // namespace

std::string_view withoutBlanks(std::string_view tzid) {
  const size_t first = tzid.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return tzid.substr(first, tzid.find_last_not_of(" \t") - first + 1);
}

const icaltimezone* systemZone(std::string_view tzid) { return systemZones().find(tzid); }

std::vector<std::string_view> blocksIn(std::string_view text) {
  std::vector<std::string_view> found;
  size_t begin = std::string_view::npos;
  for (size_t at = TextLines::bomLength(text); at < text.size();) {
    const TextLines::Line line = TextLines::lineAt(text, at);
    const std::string_view content = text.substr(line.from, line.length);
    if (begin == std::string_view::npos && sameCaseless(content, "BEGIN:VTIMEZONE")) {
      begin = at;
    } else if (begin != std::string_view::npos && sameCaseless(content, "END:VTIMEZONE")) {
      found.push_back(text.substr(begin, line.next() - begin));
      begin = std::string_view::npos;
    }
    at = line.next();
  }
  return found;
}

std::optional<Block> readBlock(std::string_view block) { return blocks().read(block); }

void remember(const icalcomponent* root, std::shared_ptr<const OwnZones> own) {
  std::unique_lock lock(remembered().mutex);
  remembered().byRoot[root] = std::move(own);
}

void forget(const icalcomponent* root) {
  std::unique_lock lock(remembered().mutex);
  remembered().byRoot.erase(root);
}

const icaltimezone* zoneFor(std::string_view tzid, icalcomponent* within) {
  icalcomponent* root = within;
  while (icalcomponent* parent = icalcomponent_get_parent(root)) root = parent;
  // As written, else without blanks at its ends: libical reads a VTIMEZONE's TZID without them,
  // while a quoted TZID parameter ("GroupWise Time ") keeps them.
  const std::string_view bare = withoutBlanks(tzid);
  for (const std::string_view name : {tzid, bare}) {
    if (const icaltimezone* zone = definedZone(name, root)) return zone;
    if (name == bare) break;
  }
  // Outlook names the zones by their Windows names, which a file with its VTIMEZONEs stripped
  // still does.
  return systemZones().forWindowsName(bare);
}

Component* rulesFrom(const Zone* zone, const std::string& tzid, int firstYear) {
  icalcomponent* rules =
      zone != nullptr ? icaltimezone_get_component(const_cast<icaltimezone*>(zone)) : nullptr;
  if (rules == nullptr) return nullptr;
  icalcomponent* vtz = icalcomponent_new_clone(rules);
  // From midnight of New Year's Day on the zone's own clock: no observance starts in a year before.
  icaltimetype from = icaltime_null_time();
  from.year = firstYear;
  from.month = from.day = 1;
  from.zone = zone;
  icaltimezone_truncate_vtimezone(vtz,
                                  icaltime_convert_to_zone(from, icaltimezone_get_utc_timezone()),
                                  icaltime_null_time(), 0);
  withoutRuleEnds(vtz);
  // libical names its zones after where it keeps them; the file names them as the user's system.
  icalproperty* name = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY);
  if (name == nullptr) {
    icalcomponent_add_property(vtz, icalproperty_new_tzid(tzid.c_str()));
  } else {
    icalproperty_set_tzid(name, tzid.c_str());
  }
  return vtz;
}

std::optional<icalcomponent*> refitted(icalcomponent* vtz, std::optional<int> firstYear) {
  icalproperty* name = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY);
  const char* tzid = name != nullptr ? icalproperty_get_tzid(name) : nullptr;
  if (tzid == nullptr) return std::nullopt;
  const icaltimezone* zone = systemZones().find(tzid);
  if (zone == nullptr) zone = systemZones().forWindowsName(tzid);
  std::optional<int> from;
  for (icalcomponent* observance : observancesOf(vtz)) {
    const int year = icalcomponent_get_dtstart(observance).year;
    if (!from || year < *from) from = year;
  }
  if (zone == nullptr || !from || from == firstYear) return std::nullopt;
  icalcomponent* made = rulesFrom(zone, tzid, *from);
  const bool ours = made != nullptr && asText(made) == asText(vtz);
  if (made != nullptr) icalcomponent_free(made);
  if (!ours) return std::nullopt;
  return firstYear ? rulesFrom(zone, tzid, *firstYear) : nullptr;
}

}  // namespace tvrn::ICalZones
