#include "pim/ICalZones.h"

#include <libical/ical.h>
#include <libical/icaltz-util.h>
#include <sys/stat.h>

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

 private:
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

  std::shared_mutex mutex_;  // guards byTzid_, and libical's list of zones while it grows
  std::unordered_map<std::string, const icaltimezone*> byTzid_;
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

}  // namespace

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
  if (const icaltimezone* zone = systemZone(tzid)) return zone;
  icalcomponent* root = within;
  while (icalcomponent* parent = icalcomponent_get_parent(root)) root = parent;
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

}  // namespace tvrn::ICalZones
