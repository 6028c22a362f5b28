#include "platform/PimStore.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <queue>
#include <set>
#include <unordered_map>

#include "platform/FileStore.h"
#include "platform/HardwareId.h"
#include "platform/ICalItem.h"
#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"
#include "platform/PimCodec.h"
#include "platform/PimDocument.h"
#include "platform/VCard.h"

namespace tvrn {
// Named rather than anonymous: the index, declared in the header, is made of these.
namespace pimstore {

namespace fs = std::filesystem;
using namespace PimCodec;
using std::chrono::seconds;

// Files another program may rewrite in place are looked at again this often even when their
// folder has not changed; programs that replace files (all the vdir ones) are seen at once.
constexpr auto kFullCheckEvery = seconds(1);
// Item and metadata files are private unless the user's own files say otherwise.
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPrivateFolder = 0700;
constexpr const char* kKindFile = "tavrin-kind";

PimError problem(PimError::Code code, std::string message) { return {code, std::move(message)}; }

PimError notSaved(const std::string& why) {
  return problem(PimError::Code::storage, "The change could not be saved: " + why);
}

// Finds text regardless of case (Unicode case folding), as a part or as the whole.
class CaselessText {
 public:
  CaselessText(std::string_view needle, bool whole) {
    if (needle.empty()) return;
    uint32_t options = PCRE2_LITERAL | PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (whole) options |= PCRE2_ANCHORED | PCRE2_ENDANCHORED;
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(needle.data()), needle.size(), options,
                          &error, &offset, nullptr);
    if (code_ != nullptr) match_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  }
  ~CaselessText() {
    pcre2_match_data_free(match_);
    pcre2_code_free(code_);
  }
  CaselessText(const CaselessText&) = delete;
  CaselessText& operator=(const CaselessText&) = delete;

  bool in(std::string_view haystack) const {
    if (code_ == nullptr || match_ == nullptr) return false;
    return pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(haystack.data()), haystack.size(), 0, 0,
                       match_, nullptr) >= 0;
  }

 private:
  pcre2_code* code_ = nullptr;
  pcre2_match_data* match_ = nullptr;
};

// What tells a file changed: the same path can be a new file (replaced) or the same one
// rewritten in place.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  bool operator==(const Identity& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
  }
};

std::optional<Identity> identify(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return Identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

// One item file as last read.
struct Entry {
  std::optional<Identity> identity;
  std::optional<std::string> readError;  // "<file> could not be read: ..."
  std::optional<std::string> damage;     // why it does not read as an item
  std::shared_ptr<const ICalItem> item;  // calendars and reminder lists
  std::shared_ptr<const VCard::Card> card;
  VCard::Decoded decoded;  // address books
  std::string uid;
  Event series;  // an event item's own record, for listing without libical
  bool repeats = false;
  long order = 0;  // when the store first saw it: the order of listings
  bool duplicate = false;
  bool usable() const { return (item || card) && !duplicate; }
};

enum class Kind { events, tasks, contacts };

// A calendar, reminder list or address book folder.
struct Collection {
  fs::path folder;
  std::string id;
  Kind kind = Kind::events;
  std::string title;
  std::optional<std::vector<double>> color;
  std::optional<Identity> identity;
  std::optional<std::string> readError;
  bool writable = true;
  // Empty and not marked: offered as a calendar and as a reminder list until its first item.
  bool undecided = false;
  std::map<std::string, Entry> entries;  // by file name
  long order = 0;                        // when the store first saw it: the order of listings
  bool ofEvents() const { return kind == Kind::events; }
};

std::optional<std::vector<double>> colorOf(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  unsigned r = 0, g = 0, b = 0;
  if (text.size() < 7 || text[0] != '#' ||
      std::sscanf(text.c_str() + 1, "%2x%2x%2x", &r, &g, &b) != 3) {
    return std::nullopt;
  }
  return std::vector<double>{r / 255.0, g / 255.0, b / 255.0};
}

std::string colorText(const std::vector<double>& color) {
  char out[16];
  auto channel = [&](size_t i) {
    const double v = i < color.size() ? color[i] : 0.0;
    return static_cast<unsigned>(std::clamp(v, 0.0, 1.0) * 255.0);
  };
  std::snprintf(out, sizeof out, "#%02X%02X%02X", channel(0), channel(1), channel(2));
  return out;
}

std::string trimmed(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// A UID as a file name: what a path cannot hold becomes '_'.
std::string fileNameFor(const std::string& uid, const char* extension) {
  std::string name;
  for (char c : uid) name += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  return name + extension;
}

bool isTemporaryOfOurs(const std::string& name) {
  // FileStore::writeAtomic writes ".<file>.XXXXXX" beside the file.
  if (name.size() < 12 || name[0] != '.') return false;
  const std::string_view rest(name);
  return rest.find(".ics.") != std::string_view::npos ||
         rest.find(".vcf.") != std::string_view::npos;
}

// The folders the config lists under `key`, or `fallback`; nothing when the config is there but
// cannot be read, so the caller keeps what it had rather than turning to the default folders.
std::optional<std::vector<fs::path>> foldersFromConfig(const char* key, const fs::path& fallback) {
  const auto config = JsonObjectFile::read(Paths::appSupport() / "config.json");
  if (config.readError) return std::nullopt;
  std::vector<fs::path> folders;
  auto it = config.object.find(key);
  if (it != config.object.end() && it->is_array()) {
    for (const auto& value : *it) {
      if (!value.is_string()) continue;
      std::string text = value.get<std::string>();
      if (text.empty()) continue;
      if (text == "~" || text.rfind("~/", 0) == 0) {
        folders.push_back(Paths::home() / text.substr(std::min<size_t>(2, text.size())));
      } else {
        folders.emplace_back(text);
      }
    }
  }
  if (folders.empty()) folders.push_back(fallback);
  return folders;
}

std::optional<mode_t> modeOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_mode & 07777;
}

// Writes of ours under way in this process: while one is, a temporary file may be its own.
std::atomic<int> writesInFlight{0};

std::function<void(const fs::path&)>& beforeReplaceHook() {
  static std::function<void(const fs::path&)> hook;
  return hook;
}

// Replaces a file keeping its mode (a new one gets `newMode`). `stillWanted`, when given, is
// asked just before the replacement; nothing is written when it answers false.
bool writeFile(const fs::path& file, const std::string& text, std::string* why,
               mode_t newMode = kPrivateFile, const std::function<bool()>& stillWanted = {}) {
  ++writesInFlight;
  const bool written =
      FileStore::writeAtomic(file, text, modeOf(file).value_or(newMode), why, stillWanted);
  --writesInFlight;
  return written;
}

}  // namespace pimstore

using namespace pimstore;

// ---------------------------------------------------------------- the index

struct PimIndex {
  std::map<std::string, Collection> collections;  // by folder path: calendars, lists, books
  std::unordered_map<std::string, std::pair<Collection*, Entry*>> byUid[2];  // events+tasks, cards
  std::chrono::steady_clock::time_point lastFullCheck{};
  long nextOrder = 0;
  fs::path folder;                 // the store's own folder
  bool duplicates = false;         // some UID is held by more than one item
  std::vector<fs::path> roots[2];  // the calendar and contact folders last configured

  void reset(const fs::path& to) {
    collections.clear();
    for (auto& map : byUid) map.clear();
    lastFullCheck = {};
    for (auto& r : roots) r.clear();
    folder = to;
    duplicates = false;
  }

  fs::path defaultsFile() const { return folder / "defaults.json"; }

  // ---- reading the folders

  void refresh(PimWarnings& warnings) {
    const auto now = std::chrono::steady_clock::now();
    const bool full = now - lastFullCheck >= kFullCheckEvery;
    if (full) lastFullCheck = now;
    std::set<std::string> present;
    bool changed = false;
    for (const Kind kind : {Kind::events, Kind::contacts}) {
      const bool calendars = kind == Kind::events;
      const fs::path fallback = folder / (calendars ? "calendars" : "contacts");
      auto& roots = this->roots[calendars ? 0 : 1];
      if (auto configured =
              foldersFromConfig(calendars ? "calendar_folders" : "contact_folders", fallback)) {
        roots = std::move(*configured);
      }
      if (roots.size() == 1 && roots.front() == fallback && !fs::exists(fallback)) {
        createFresh(calendars, warnings);
      }
      for (const auto& root : roots) {
        std::error_code error;
        std::set<fs::path> folders;  // in name order, so the order seen is the same each run
        for (fs::directory_iterator it(root, error), end; !error && it != end;
             it.increment(error)) {
          const std::string name = it->path().filename().string();
          if (!name.empty() && name[0] != '.' && it->is_directory(error))
            folders.insert(it->path());
        }
        if (error && error.value() != ENOENT) {
          // What the folder holds is unknown: its collections stay as last read.
          for (auto& [id, c] : collections) {
            if (c.folder.parent_path() != root) continue;
            present.insert(id);
            c.readError = root.string() + " could not be read: " + std::strerror(error.value());
          }
          continue;
        }
        for (const auto& path : folders) {
          const std::string id = path.string();
          present.insert(id);
          auto [at, added] = collections.try_emplace(id);
          Collection& c = at->second;
          if (added) {
            c.order = ++nextOrder;
            c.folder = path;
            c.id = id;
            c.kind = kind;
          }
          const auto identity = identify(c.folder);
          if (!added && !full && identity == c.identity && !c.readError) continue;
          c.identity = identity;
          changed |= scan(c, calendars, warnings);
        }
      }
    }
    for (auto it = collections.begin(); it != collections.end();) {
      if (present.count(it->first) == 0) {
        it = collections.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
    if (changed) index(warnings);
  }

  // Reads a collection's metadata and whatever of its item files changed. Answers whether any
  // item did.
  bool scan(Collection& c, bool calendars, PimWarnings& warnings) {
    c.readError.reset();
    c.writable = ::access(c.folder.c_str(), W_OK) == 0;
    c.title = c.folder.filename().string();
    c.color.reset();
    std::optional<std::string> marked;
    for (const char* name : {"displayname", "color", kKindFile}) {
      FileStore::ReadError error;
      auto text = FileStore::read(c.folder / name, &error);
      if (!text) {
        if (!error.missing && !c.readError) {
          c.readError = (c.folder / name).string() + " could not be read: " + error.reason;
        }
        continue;
      }
      const std::string value = trimmed(*text);
      if (std::string_view(name) == "displayname" && !value.empty()) c.title = value;
      if (std::string_view(name) == "color") c.color = colorOf(value);
      if (std::string_view(name) == kKindFile) marked = value;
    }
    const char* extension = calendars ? ".ics" : ".vcf";
    std::set<std::string> seen;
    bool changed = false;
    std::error_code error;
    for (fs::directory_iterator it(c.folder, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (isTemporaryOfOurs(name)) {
        // Every write of ours finishes under the lock this runs under, so one found now is left
        // from a process that ended mid-write.
        std::error_code ignored;
        if (writesInFlight == 0) fs::remove(it->path(), ignored);
        continue;
      }
      if (name.size() <= 4 || name.compare(name.size() - 4, 4, extension) != 0) continue;
      seen.insert(name);
    }
    // In name order, so items first seen together keep one order from run to run.
    for (const auto& name : seen) {
      Entry& entry = c.entries[name];
      const auto identity = identify(c.folder / name);
      if (identity && identity == entry.identity && !entry.readError) continue;
      load(entry, c.folder / name, calendars, warnings);
      changed = true;
    }
    if (error && !c.readError) {
      c.readError = c.folder.string() + " could not be read: " + std::strerror(error.value());
    }
    for (auto it = c.entries.begin(); it != c.entries.end();) {
      if (seen.count(it->first) == 0 && !error) {
        it = c.entries.erase(it);
        changed = true;
      } else {
        ++it;
      }
    }
    if (calendars) {
      bool tasks = false, events = false;
      for (const auto& [name, entry] : c.entries) {
        if (!entry.item) continue;
        (entry.item->isTask() ? tasks : events) = true;
      }
      c.undecided = false;
      if (marked == "tasks" || marked == "events") {
        c.kind = *marked == "tasks" ? Kind::tasks : Kind::events;
      } else {
        c.kind = (tasks && !events) ? Kind::tasks : Kind::events;
        c.undecided = !tasks && !events;
      }
    }
    return changed;
  }

  void load(Entry& entry, const fs::path& file, bool calendars, PimWarnings& warnings) {
    const Entry before = std::move(entry);
    entry = Entry{};
    entry.order = before.order != 0 ? before.order : ++nextOrder;
    entry.identity = identify(file);
    FileStore::ReadError error;
    auto text = FileStore::read(file, &error);
    if (!text) {
      entry.identity.reset();  // tried again at the next use
      entry.readError = file.string() + " could not be read: " + error.reason;
      if (before.readError != entry.readError) {
        warnings.push_back("Personal data file " +
                           entry.readError->substr(file.string().size() + 1));
      }
      return;
    }
    std::string why;
    if (calendars) {
      if (auto item = ICalItem::parse(*text, &why)) {
        entry.uid = item->uid();
        entry.repeats = item->repeats();
        if (!item->isTask()) entry.series = item->event();
        entry.item = std::make_shared<const ICalItem>(std::move(*item));
      }
    } else if (auto card = VCard::parse(*text)) {
      entry.decoded = VCard::decode(*card);
      entry.uid = entry.decoded.contact.id;
      if (entry.uid.empty()) {
        why = "its card has no UID";
      } else {
        entry.card = std::make_shared<const VCard::Card>(std::move(*card));
      }
    } else {
      why = "it holds no vCard";
    }
    if (!entry.item && !entry.card) {
      entry.damage = why;
      warnings.push_back("Personal data file " + file.string() + " is skipped (" + why +
                         "); it is left as it is");
    }
  }

  // Finds every item by UID; of two with one UID the one seen first is kept.
  void index(PimWarnings& warnings) {
    for (auto& map : byUid) map.clear();
    duplicates = false;
    std::vector<std::pair<Collection*, Entry*>> all;
    for (auto& [id, c] : collections) {
      for (auto& [name, entry] : c.entries) all.emplace_back(&c, &entry);
    }
    std::sort(all.begin(), all.end(),
              [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
    for (auto& [c, entry] : all) {
      const bool wasDuplicate = entry->duplicate;
      entry->duplicate = false;
      if (!entry->item && !entry->card) continue;
      auto& map = byUid[c->kind == Kind::contacts ? 1 : 0];
      auto [at, added] = map.emplace(entry->uid, std::make_pair(c, entry));
      if (added) continue;
      entry->duplicate = true;
      duplicates = true;
      if (!wasDuplicate) {
        warnings.push_back("Personal data file in " + c->folder.string() + " has the UID " +
                           entry->uid + " of an item in " + at->second.first->folder.string() +
                           "; only that one is used");
      }
    }
  }

  // A new store gets a calendar and a reminder list (or an address book), each the default.
  void createFresh(bool calendars, PimWarnings& warnings) {
    const fs::path root = folder / (calendars ? "calendars" : "contacts");
    std::string why;
    const auto make = [&](const char* name, const char* title, const char* kind) {
      const fs::path at = root / name;
      return FileStore::ensureDirectory(at, kPrivateFolder) &&
             writeFile(at / "displayname", title, &why) && writeFile(at / kKindFile, kind, &why);
    };
    bool made = true;
    if (calendars) {
      made = make("calendar", "Calendar", "events") && make("reminders", "Reminders", "tasks");
      if (made) {
        setDefault("event", (root / "calendar").string());
        setDefault("reminder", (root / "reminders").string());
      }
    } else {
      made = make("contacts", "Contacts", "contacts");
      if (made) setDefault("contacts", (root / "contacts").string());
    }
    if (!made) warnings.push_back("The default personal-data folders could not be made: " + why);
  }

  // ---- defaults

  std::string defaultFor(const char* key) {
    const auto contents = JsonObjectFile::read(defaultsFile());
    auto it = contents.object.find(key);
    return it != contents.object.end() && it->is_string() ? it->get<std::string>() : "";
  }

  bool setDefault(const char* key, const std::string& id) {
    return JsonObjectFile::update(defaultsFile(), [&](nlohmann::json& o) { o[key] = id; }).written;
  }

  // ---- finding

  static bool isOf(const Collection& c, Kind kind) {
    return c.kind == kind || (c.undecided && kind != Kind::contacts);
  }

  Collection* collection(std::string_view id, std::optional<Kind> kind = {}) {
    auto it = collections.find(std::string(id));
    if (it == collections.end() || (kind && !isOf(it->second, *kind))) return nullptr;
    return &it->second;
  }

  std::pair<Collection*, Entry*> item(std::string_view uid, bool card) {
    auto& map = byUid[card ? 1 : 0];
    auto it = map.find(std::string(uid));
    if (it == map.end()) return {nullptr, nullptr};
    return it->second;
  }

  // Notes, for a caller that asks, why something a reading call needed could not be read.
  void noteUnreadable(PimUnreadable* unreadable, const std::function<bool(const Collection&)>& in) {
    if (unreadable == nullptr || *unreadable) return;
    for (const auto& [id, c] : collections) {
      if (!in(c)) continue;
      if (c.readError) {
        *unreadable = c.readError;
        return;
      }
      for (const auto& [name, entry] : c.entries) {
        if (entry.readError) {
          *unreadable = entry.readError;
          return;
        }
      }
    }
  }

  // The collections of a kind in the order the store first saw them.
  std::vector<Collection*> ofKind(Kind kind) {
    std::vector<Collection*> found;
    for (auto& [id, c] : collections) {
      if (isOf(c, kind)) found.push_back(&c);
    }
    std::sort(found.begin(), found.end(),
              [](const Collection* a, const Collection* b) { return a->order < b->order; });
    return found;
  }

  // As a calendar or reminder list: an undecided collection is either, as it is asked for.
  Calendar calendarOf(const Collection& c, std::optional<Kind> as = {}) const {
    Calendar calendar;
    calendar.id = c.id;
    calendar.title = c.title;
    calendar.entityType =
        as.value_or(c.kind) == Kind::tasks ? EntityType::reminder : EntityType::event;
    calendar.color = c.color;
    calendar.source = CalendarSource{c.folder.parent_path().filename().string(), SourceType::local};
    calendar.allowsContentModifications = c.writable;
    return calendar;
  }

  std::vector<std::pair<Collection*, Entry*>> inOrder(Kind kind) {
    std::vector<std::pair<Collection*, Entry*>> found;
    for (auto& [id, c] : collections) {
      if (c.kind != kind) continue;
      for (auto& [name, entry] : c.entries) {
        if (entry.usable()) found.emplace_back(&c, &entry);
      }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
    return found;
  }

  // ---- writing

  // Writes an item file and takes it into the index at once, so the next call need not read
  // the folder again. `expected` is what the file was when its contents were read (nothing for
  // a new file, which must not be there yet).
  std::optional<PimError> write(Collection& c, const std::string& name, const std::string& text,
                                const std::optional<Identity>& expected, PimWarnings& warnings) {
    const fs::path file = c.folder / name;
    if (identify(file) != expected) return changedMeanwhile();
    const auto folderBefore = identify(c.folder);
    std::string why;
    bool changed = false;
    // Another program may write the item between our reading and our replacing it: checked once
    // more at the last moment, so its change is not silently lost.
    const auto unchanged = [&] {
      if (beforeReplaceHook()) beforeReplaceHook()(file);
      changed = identify(file) != expected;
      return !changed;
    };
    if (!writeFile(file, text, &why, itemMode(c), unchanged)) {
      return changed ? changedMeanwhile() : notSaved(why);
    }
    Entry& entry = c.entries[name];
    load(entry, file, c.kind != Kind::contacts, warnings);
    if (c.undecided && entry.item) {  // its first item decides what it is
      c.kind = entry.item->isTask() ? Kind::tasks : Kind::events;
      c.undecided = false;
    }
    // Our own write is not a change by someone else: the folder need not be read again for it.
    if (folderBefore == c.identity) c.identity = identify(c.folder);
    // One item changed: only it is put in the index, so a write costs the same in a large store.
    auto& map = byUid[c.kind == Kind::contacts ? 1 : 0];
    if (entry.item || entry.card) {
      auto [at, added] = map.emplace(entry.uid, std::make_pair(&c, &entry));
      if (!added && at->second.second != &entry) index(warnings);
    }
    return std::nullopt;
  }

  std::optional<PimError> remove(Collection& c, const std::string& name, PimWarnings& warnings) {
    const fs::path file = c.folder / name;
    const auto folderBefore = identify(c.folder);
    std::error_code error;
    if (!fs::remove(file, error) && error) return notSaved(std::strerror(error.value()));
    auto at = c.entries.find(name);
    if (at != c.entries.end()) {
      auto& map = byUid[c.kind == Kind::contacts ? 1 : 0];
      auto found = map.find(at->second.uid);
      if (found != map.end() && found->second.second == &at->second) map.erase(found);
      c.entries.erase(at);
    }
    if (folderBefore == c.identity) c.identity = identify(c.folder);
    if (duplicates) index(warnings);  // the item kept of two may be gone
    return std::nullopt;
  }

  // A new item is as private as the collection's other items; 0600 in a collection without any.
  static mode_t itemMode(const Collection& c) {
    for (const auto& [name, entry] : c.entries) {
      if (auto mode = modeOf(c.folder / name)) return *mode;
    }
    return kPrivateFile;
  }

  static PimError changedMeanwhile() {
    return problem(PimError::Code::storage,
                   "The change could not be saved: another program changed the item at the same "
                   "time; try again.");
  }

  // The file's current contents as an item, for a change to be made to; its identity is what a
  // write checks against.
  template <typename Parsed, typename Parse>
  Result<std::pair<Parsed, std::optional<Identity>>, PimError> fresh(const Collection& c,
                                                                     const std::string& name,
                                                                     Parse parse) {
    const fs::path file = c.folder / name;
    const auto identity = identify(file);
    FileStore::ReadError error;
    auto text = FileStore::read(file, &error);
    if (!text) {
      if (error.missing) return fail(changedMeanwhile());
      return fail(notSaved(file.string() + " could not be read: " + error.reason));
    }
    auto parsed = parse(*text);
    if (!parsed) return fail(changedMeanwhile());
    return std::make_pair(std::move(*parsed), identity);
  }

  std::string nameOf(const Collection& c, const Entry& entry) const {
    for (const auto& [name, e] : c.entries) {
      if (&e == &entry) return name;
    }
    return {};
  }
};

namespace {

using Index = PimIndex;

std::optional<ICalItem> parseItem(const std::string& text) {
  return ICalItem::parse(text, nullptr);
}

// Whether items may be put into (`required`) or taken out of this collection.
std::optional<PimError> checkWritable(Index& index, Kind kind, std::string_view id, bool required) {
  const bool events = kind == Kind::events;
  if (id.empty()) {
    if (!required) return std::nullopt;
    return problem(PimError::Code::noCalendar,
                   events ? "The event has no calendar." : "The reminder has no list.");
  }
  const Collection* c = index.collection(id, kind);
  if (c == nullptr) {
    if (!required) return std::nullopt;
    return problem(PimError::Code::noCalendar,
                   events ? "The calendar does not exist." : "The list does not exist.");
  }
  if (!c->writable) {
    return problem(PimError::Code::readOnly,
                   events ? "The calendar is read-only." : "The list is read-only.");
  }
  return std::nullopt;
}

// An item that is not found may be in a file that could not be read: a change to it then fails
// as the write would, rather than as a missing item.
PimError missing(Index& index, Kind kind, PimError notFound) {
  PimUnreadable unreadable;
  index.noteUnreadable(&unreadable, [&](const Collection& c) { return c.kind == kind; });
  return unreadable ? notSaved(*unreadable) : notFound;
}

PimError eventNotFound(Index& index) {
  return missing(index, Kind::events,
                 problem(PimError::Code::notFound, "The event does not exist."));
}

PimError reminderNotFound(Index& index) {
  return missing(index, Kind::tasks,
                 problem(PimError::Code::notFound, "The reminder does not exist."));
}

// An event item with, for a series, the occurrence an identifier names.
struct Located {
  Collection* collection = nullptr;
  Entry* entry = nullptr;
  std::optional<PimTime> original;  // for an occurrence
  Event event;
};

std::optional<Located> locateEvent(Index& index, std::string_view id) {
  auto [c, entry] = index.item(id, false);
  if (entry != nullptr && c->ofEvents() && !entry->item->isTask()) {
    if (!entry->repeats) return Located{c, entry, std::nullopt, entry->series};
    auto first = entry->item->firstOccurrence();
    if (!first) return std::nullopt;
    auto original = parseOccurrenceKey(first->id.substr(first->id.rfind('/') + 1));
    return Located{c, entry, original, std::move(*first)};
  }
  const size_t slash = id.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::tie(c, entry) = index.item(id.substr(0, slash), false);
  const auto original = parseOccurrenceKey(id.substr(slash + 1));
  if (entry == nullptr || !original || !c->ofEvents() || !entry->repeats ||
      occurrenceKey(*original, entry->series.allDay) != id.substr(slash + 1)) {
    return std::nullopt;
  }
  auto occurrence = entry->item->occurrence(*original);
  if (!occurrence) return std::nullopt;
  return Located{c, entry, original, std::move(*occurrence)};
}

// Checks an event before it is stored and brings its times to what the files hold.
std::optional<PimError> normalized(Event& event) {
  // Checked before any arithmetic: a time near the ends of the clock would overflow it.
  if (!inStoredRange(event.start) || !inStoredRange(event.end)) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  event.start = std::chrono::floor<seconds>(event.start);
  event.end = std::chrono::floor<seconds>(event.end);
  if ((event.recurrence && event.recurrence->endDate &&
       !inStoredRange(*event.recurrence->endDate))) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  if (event.allDay) {
    coverWholeDays(event);
    if (!inStoredRange(event.end)) {
      return problem(PimError::Code::invalid, "The event's dates are out of range.");
    }
  } else if (event.end < event.start) {
    return problem(PimError::Code::invalid, "The event ends before it starts.");
  }
  // In seconds: the difference of two instants this far apart does not fit in nanoseconds.
  if (std::chrono::floor<seconds>(event.end).time_since_epoch() -
          std::chrono::floor<seconds>(event.start).time_since_epoch() >
      kPimLongestEvent) {
    return problem(PimError::Code::invalid, "The event's dates are out of range.");
  }
  if (event.recurrence &&
      (event.recurrence->interval < 1 ||
       (event.recurrence->occurrenceCount && *event.recurrence->occurrenceCount < 1))) {
    return problem(PimError::Code::invalid, "The repetition rule is not valid.");
  }
  return std::nullopt;
}

bool within(const std::optional<PimTime>& when, const ReminderQuery& query) {
  if (!query.from && !query.to) return true;
  if (!when) return false;
  return (!query.from || *when >= *query.from) && (!query.to || *when < *query.to);
}

bool matches(const Reminder& reminder, const ReminderQuery& query) {
  if (query.listIds && std::find(query.listIds->begin(), query.listIds->end(), reminder.listId) ==
                           query.listIds->end()) {
    return false;
  }
  switch (query.filter) {
    case ReminderFilter::all:
      return true;
    case ReminderFilter::incomplete:
      return !reminder.completed &&
             within(reminder.dueDateComponents ? reminder.dueDateComponents->date() : std::nullopt,
                    query);
    case ReminderFilter::completed:
      return reminder.completed && within(reminder.completionDate, query);
  }
  return false;
}

Reminder reminderOf(const Collection& c, const Entry& entry) {
  Reminder reminder = entry.item->reminder();
  reminder.listId = c.id;
  reminder.listTitle = c.title;
  return reminder;
}

Contact contactOf(const Collection& c, const Entry& entry) {
  Contact contact = entry.decoded.contact;
  contact.containerId = c.id;
  return contact;
}

std::string categoryGroupId(const Collection& c, const std::string& category) {
  return c.id + "#" + category;
}

}  // namespace

// ---------------------------------------------------------------- the store

bool caselessContains(std::string_view text, std::string_view part) {
  return CaselessText(part, false).in(text);
}

PimStore::PimStore(std::filesystem::path folder)
    : fixedFolder_(std::move(folder)), index_(std::make_unique<PimIndex>()) {}

PimStore::~PimStore() = default;

PimStore& PimStore::shared() {
  // Never destroyed, so a request still running while the process exits finds it.
  static auto* store = new PimStore();
  return *store;
}

void PimStore::setBeforeReplaceHook(std::function<void(const std::filesystem::path&)> hook) {
  beforeReplaceHook() = std::move(hook);
}

std::filesystem::path PimStore::folder() const {
  return fixedFolder_.empty() ? Paths::appSupport() / "pim" : fixedFolder_;
}

template <typename Work>
auto PimStore::locked(Work&& work) const {
  PimWarnings warnings;
  auto result = [&] {
    std::lock_guard lock(mutex_);
    const auto here = folder();
    if (index_->folder != here) {
      index_->reset(here);  // another HOME: nothing read before applies
    }
    index_->refresh(warnings);
    return work(*index_, warnings);
  }();
  emitPimWarnings(warnings);
  return result;
}

// ---- calendars

std::vector<Calendar> PimStore::calendars(EntityType type, PimUnreadable* unreadable) const {
  const Kind kind = type == EntityType::event ? Kind::events : Kind::tasks;
  return locked([&](Index& index, PimWarnings&) {
    std::vector<Calendar> found;
    for (const Collection* c : index.ofKind(kind)) found.push_back(index.calendarOf(*c, kind));
    if (unreadable != nullptr && !*unreadable) {
      for (const auto& [id, c] : index.collections) {
        if (c.kind != Kind::contacts && c.readError) {
          *unreadable = c.readError;
          break;
        }
      }
    }
    return found;
  });
}

std::optional<Calendar> PimStore::calendar(std::string_view id, PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) -> std::optional<Calendar> {
    const Collection* c = index.collection(id);
    if (c != nullptr && c->readError && unreadable != nullptr && !*unreadable) {
      *unreadable = c->readError;
    }
    if (c == nullptr || c->kind == Kind::contacts) return std::nullopt;
    return index.calendarOf(*c);
  });
}

namespace {

std::optional<Calendar> defaultIn(Index& index, Kind kind) {
  const char* key = kind == Kind::events ? "event" : "reminder";
  if (const Collection* chosen = index.collection(index.defaultFor(key), kind)) {
    return index.calendarOf(*chosen, kind);
  }
  for (const Collection* c : index.ofKind(kind)) {
    if (c->writable) return index.calendarOf(*c, kind);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Calendar> PimStore::defaultCalendarForNewEvents(PimUnreadable*) const {
  return locked([&](Index& index, PimWarnings&) { return defaultIn(index, Kind::events); });
}

std::optional<Calendar> PimStore::defaultCalendarForNewReminders(PimUnreadable*) const {
  return locked([&](Index& index, PimWarnings&) { return defaultIn(index, Kind::tasks); });
}

namespace {

// Makes or changes a collection folder: its metadata files only.
template <typename Made>
Result<Made, PimError> saveCollection(Index& index, const std::string& givenId,
                                      const std::string& title,
                                      const std::optional<std::vector<double>>& color, Kind kind,
                                      PimWarnings& warnings,
                                      const std::function<Made(const Collection&)>& answer) {
  fs::path at;
  if (givenId.empty()) {
    const bool calendars = kind != Kind::contacts;
    const auto& roots = index.roots[calendars ? 0 : 1];
    if (roots.empty()) return fail(notSaved("no folder is configured for it"));
    const fs::path root = roots.front();
    at = root / HardwareId::randomUUID();
  } else {
    const Collection* existing = index.collection(givenId);
    if (existing == nullptr) {
      return fail(problem(PimError::Code::notFound, kind == Kind::contacts
                                                        ? "The container does not exist."
                                                        : "The calendar does not exist."));
    }
    if ((existing->kind == Kind::contacts) != (kind == Kind::contacts) ||
        (kind != Kind::contacts && existing->kind != kind && !existing->entries.empty())) {
      return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
    }
    at = existing->folder;
  }
  std::string why;
  const char* kindText = kind == Kind::tasks ? "tasks" : kind == Kind::events ? "events" : "";
  if (!FileStore::ensureDirectory(at, kPrivateFolder) ||
      !writeFile(at / "displayname", title, &why) ||
      (color && !writeFile(at / "color", colorText(*color), &why)) ||
      (*kindText != '\0' && !writeFile(at / kKindFile, kindText, &why))) {
    return fail(notSaved(why.empty() ? "cannot create " + at.string() : why));
  }
  index.refresh(warnings);
  const Collection* saved = index.collection(at.string());
  if (saved == nullptr) {
    return fail(notSaved(at.string() + " is not in a folder the store reads"));
  }
  return answer(*saved);
}

}  // namespace

Result<Calendar, PimError> PimStore::saveCalendar(const Calendar& calendar) {
  return locked([&](Index& index, PimWarnings& warnings) {
    const Kind kind = calendar.entityType == EntityType::event ? Kind::events : Kind::tasks;
    return saveCollection<Calendar>(index, calendar.id, calendar.title, calendar.color, kind,
                                    warnings,
                                    [&](const Collection& c) { return index.calendarOf(c); });
  });
}

Result<Calendar, PimError> PimStore::setDefaultCalendar(EntityType type, std::string_view id) {
  return locked([&](Index& index, PimWarnings&) -> Result<Calendar, PimError> {
    const Kind kind = type == EntityType::event ? Kind::events : Kind::tasks;
    const Collection* c = index.collection(id, kind);
    if (c == nullptr) {
      return fail(problem(PimError::Code::notFound, kind == Kind::events
                                                        ? "The calendar does not exist."
                                                        : "The list does not exist."));
    }
    if (!index.setDefault(kind == Kind::events ? "event" : "reminder", c->id)) {
      return fail(notSaved("cannot write " + index.defaultsFile().string()));
    }
    return index.calendarOf(*c, kind);
  });
}

// ---- events

std::vector<Event> PimStore::events(PimTime start, PimTime end,
                                    const std::optional<std::vector<std::string>>& ids,
                                    PimUnreadable* unreadable) const {
  return firstEvents(start, end, ids, kMaxMatchedEvents, kMaxMatchedEvents, unreadable).events;
}

EventPage PimStore::firstEvents(PimTime start, PimTime end,
                                const std::optional<std::vector<std::string>>& ids, size_t limit,
                                size_t cap, PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    const std::set<std::string> chosen =
        ids ? std::set<std::string>(ids->begin(), ids->end()) : std::set<std::string>();
    const auto wanted = [&](const Collection& c) {
      return c.kind == Kind::events && (!ids || chosen.count(c.id) != 0);
    };
    index.noteUnreadable(unreadable, wanted);
    // Single events, changed occurrences and the next occurrence of every series wait in one
    // queue, earliest first (then in the order the store holds items), so a listing that stops at
    // `cap` matches still holds the earliest events and costs no more than it keeps.
    struct Series {
      const Collection* collection;
      const Entry* entry;
      ICalItem::Cursor cursor;
      std::set<PimTime> changed;
      PimTime::duration length;
      long position = 0;
    };
    std::vector<std::pair<const Collection*, Event>> ready;
    std::vector<Series> series;
    using Due = std::tuple<PimTime, long, long, size_t, bool>;  // start, order, position, which
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
    const PimTime stepsEnd = end > PimTime::max() - std::chrono::hours(48)
                                 ? PimTime::max()
                                 : end + std::chrono::hours(48);
    const auto advance = [&](size_t which) {
      Series& s = series[which];
      Event probe;
      probe.allDay = s.entry->series.allDay;
      while (auto original = s.cursor.next()) {
        if (*original >= stepsEnd) return;
        if (s.changed.count(*original) != 0) continue;
        probe.start = *original;
        // A file may hold a length of centuries: the end stops at the last instant a clock holds.
        probe.end = *original > PimTime::max() - s.length ? PimTime::max() : *original + s.length;
        if (!eventOverlaps(probe, start, end)) continue;
        due.emplace(*original, s.entry->order, s.position++, which, true);
        return;
      }
    };
    for (const Collection* c : index.ofKind(Kind::events)) {
      if (!wanted(*c)) continue;
      for (const auto& [name, entry] : c->entries) {
        if (!entry.usable() || entry.item->isTask()) continue;
        if (!entry.repeats) {
          if (!eventOverlaps(entry.series, start, end)) continue;
          due.emplace(entry.series.start, entry.order, 0, ready.size(), false);
          ready.emplace_back(c, entry.series);
          continue;
        }
        const auto changed = entry.item->changedOriginals();
        for (PimTime original : changed) {
          if (!entry.item->hasOccurrenceAt(original)) continue;
          Event occurrence = entry.item->occurrenceAt(original);
          if (!eventOverlaps(occurrence, start, end)) continue;
          due.emplace(occurrence.start, entry.order, -1, ready.size(), false);
          ready.emplace_back(c, std::move(occurrence));
        }
        const auto length = entry.series.end - entry.series.start;
        const PimTime from = start < PimTime::min() + length + std::chrono::hours(48)
                                 ? PimTime::min()
                                 : start - length - std::chrono::hours(48);
        series.push_back({c, &entry, entry.item->cursor(from),
                          std::set<PimTime>(changed.begin(), changed.end()), length});
        advance(series.size() - 1);
      }
    }
    EventPage page;
    while (!due.empty()) {
      if (page.totalMatched >= cap) {
        page.complete = false;
        break;
      }
      const auto [at, order, position, which, isSeries] = due.top();
      due.pop();
      ++page.totalMatched;
      if (page.events.size() < limit) {
        const Collection* c = isSeries ? series[which].collection : ready[which].first;
        Event event =
            isSeries ? series[which].entry->item->occurrenceAt(at) : std::move(ready[which].second);
        event.calendarId = c->id;
        event.calendarTitle = c->title;
        page.events.push_back(std::move(event));
      }
      if (isSeries) advance(which);
    }
    return page;
  });
}

std::optional<Event> PimStore::event(std::string_view id, PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) -> std::optional<Event> {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::events; });
    auto located = locateEvent(index, id);
    if (!located) return std::nullopt;
    located->event.calendarId = located->collection->id;
    located->event.calendarTitle = located->collection->title;
    return located->event;
  });
}

namespace {

// Applies a change to an occurrence and every later one of a series that began before it: the
// series ends before it and a new one, with its own UID, carries on from it.
Result<std::string, PimError> splitSeries(Index& index, const Located& located, const Event& wanted,
                                          PimWarnings& warnings) {
  Collection& c = *located.collection;
  const std::string name = index.nameOf(c, *located.entry);
  auto current = index.fresh<ICalItem>(c, name, parseItem);
  if (!current) return fail(current.error());
  auto& [item, identity] = current.value();
  if (!item.hasOccurrenceAt(*located.original)) return fail(eventNotFound(index));
  ICalItem next = item.copy();
  next.beginAt(*located.original);
  const bool anyLeft = item.endBefore(*located.original);

  // The new series is the old one from the chosen occurrence on, with only what the caller
  // changed changed.
  const Event from = next.event();
  Event carriedOn = from;
  for (auto member : {&Event::title, &Event::location, &Event::notes, &Event::url}) {
    if (wanted.*member != located.event.*member) carriedOn.*member = wanted.*member;
  }
  if (wanted.start != located.event.start || wanted.end != located.event.end ||
      wanted.allDay != located.event.allDay) {
    // Later changed occurrences are named by original starts the moved series no longer has.
    next.dropChangesFrom(PimTime::min());
    carriedOn.start = wanted.start;
    carriedOn.end = wanted.end;
    carriedOn.allDay = wanted.allDay;
  }
  if (wanted.recurrence != located.event.recurrence) carriedOn.recurrence = wanted.recurrence;
  const std::string uid = HardwareId::randomUUID();
  next.setUid(uid);
  next.changeEvent(from, carriedOn);

  Collection* target = index.collection(wanted.calendarId, Kind::events);
  const std::string nextName = fileNameFor(uid, ".ics");
  if (auto failure = index.write(*target, nextName, next.text(), std::nullopt, warnings)) {
    return fail(*failure);
  }
  auto failure = anyLeft ? index.write(c, name, item.text(), identity, warnings)
                         : index.remove(c, name, warnings);
  if (failure) {
    // The first write must not stand alone: the two series would overlap.
    index.remove(*target, nextName, warnings);
    return fail(*failure);
  }
  return uid;
}

}  // namespace

Result<Event, PimError> PimStore::saveEvent(const Event& event, Span span) {
  return locked([&](Index& index, PimWarnings& warnings) -> Result<Event, PimError> {
    Event wanted = event;
    if (auto invalid = normalized(wanted)) return fail(*invalid);
    if (auto refused = checkWritable(index, Kind::events, wanted.calendarId, true)) {
      return fail(*refused);
    }
    Collection& target = *index.collection(wanted.calendarId, Kind::events);
    std::string savedId;
    if (wanted.id.empty()) {
      savedId = HardwareId::randomUUID();
      ICalItem item = ICalItem::create(savedId, false);
      Event nothing;
      nothing.start = nothing.end = PimTime::min();
      item.changeEvent(nothing, wanted);
      if (auto failure = index.write(target, fileNameFor(savedId, ".ics"), item.text(),
                                     std::nullopt, warnings)) {
        return fail(*failure);
      }
    } else {
      auto located = locateEvent(index, wanted.id);
      if (!located) return fail(eventNotFound(index));
      Collection& c = *located->collection;
      if (auto refused = checkWritable(index, Kind::events, c.id, false)) return fail(*refused);
      const std::string name = index.nameOf(c, *located->entry);
      const bool moves = &c != &target;
      savedId = located->entry->uid;
      if (!located->original ||
          (span == Span::futureEvents && *located->original == located->entry->series.start)) {
        auto current = index.fresh<ICalItem>(c, name, parseItem);
        if (!current) return fail(current.error());
        auto& [item, identity] = current.value();
        item.changeEvent(located->event, wanted);
        if (moves) {
          if (auto failure = index.write(target, name, item.text(), std::nullopt, warnings)) {
            return fail(*failure);
          }
          if (auto failure = index.remove(c, name, warnings)) return fail(*failure);
        } else if (auto failure = index.write(c, name, item.text(), identity, warnings)) {
          return fail(*failure);
        }
      } else if (span == Span::thisEvent) {
        if (moves) {
          return fail(problem(PimError::Code::invalid,
                              "A single occurrence cannot move to another calendar."));
        }
        if (wanted.recurrence != located->event.recurrence) {
          return fail(problem(PimError::Code::invalid,
                              "A single occurrence cannot change how the event repeats."));
        }
        auto current = index.fresh<ICalItem>(c, name, parseItem);
        if (!current) return fail(current.error());
        auto& [item, identity] = current.value();
        if (!item.changeOccurrence(*located->original, located->event, wanted)) {
          return fail(eventNotFound(index));
        }
        if (auto failure = index.write(c, name, item.text(), identity, warnings)) {
          return fail(*failure);
        }
        savedId = located->event.id;
      } else {
        auto split = splitSeries(index, *located, wanted, warnings);
        if (!split) return fail(split.error());
        savedId = split.value();
      }
    }
    auto located = locateEvent(index, savedId);
    if (!located) return fail(eventNotFound(index));
    located->event.calendarId = located->collection->id;
    located->event.calendarTitle = located->collection->title;
    return located->event;
  });
}

Result<Event, PimError> PimStore::removeEvent(std::string_view id, Span span) {
  return locked([&](Index& index, PimWarnings& warnings) -> Result<Event, PimError> {
    auto located = locateEvent(index, id);
    if (!located) return fail(eventNotFound(index));
    Collection& c = *located->collection;
    if (auto refused = checkWritable(index, Kind::events, c.id, false)) return fail(*refused);
    Event removed = located->event;
    removed.calendarId = c.id;
    removed.calendarTitle = c.title;
    const std::string name = index.nameOf(c, *located->entry);
    const bool whole = !located->original || (span == Span::futureEvents &&
                                              *located->original == located->entry->series.start);
    if (whole) {
      if (auto failure = index.remove(c, name, warnings)) return fail(*failure);
      return removed;
    }
    auto current = index.fresh<ICalItem>(c, name, parseItem);
    if (!current) return fail(current.error());
    auto& [item, identity] = current.value();
    bool anyLeft = true;
    if (span == Span::thisEvent) {
      if (!item.removeOccurrence(*located->original)) return fail(eventNotFound(index));
      anyLeft = item.firstOccurrence().has_value();
    } else {
      if (!item.hasOccurrenceAt(*located->original)) return fail(eventNotFound(index));
      anyLeft = item.endBefore(*located->original);
    }
    auto failure = anyLeft ? index.write(c, name, item.text(), identity, warnings)
                           : index.remove(c, name, warnings);
    if (failure) return fail(*failure);
    return removed;
  });
}

// ---- reminders

std::vector<Reminder> PimStore::reminders(const ReminderQuery& query,
                                          PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [&](const Collection& c) {
      return c.kind == Kind::tasks &&
             (!query.listIds || std::find(query.listIds->begin(), query.listIds->end(), c.id) !=
                                    query.listIds->end());
    });
    std::vector<Reminder> found;
    for (auto [c, entry] : index.inOrder(Kind::tasks)) {
      if (!entry->item->isTask()) continue;
      Reminder reminder = reminderOf(*c, *entry);
      if (matches(reminder, query)) found.push_back(std::move(reminder));
    }
    return found;
  });
}

std::optional<Reminder> PimStore::reminder(std::string_view id, PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) -> std::optional<Reminder> {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::tasks; });
    auto [c, entry] = index.item(id, false);
    if (entry == nullptr || c->kind != Kind::tasks || !entry->item->isTask()) return std::nullopt;
    return reminderOf(*c, *entry);
  });
}

Result<Reminder, PimError> PimStore::saveReminder(const Reminder& reminder) {
  return locked([&](Index& index, PimWarnings& warnings) -> Result<Reminder, PimError> {
    Reminder wanted = reminder;
    if (wanted.dueDateComponents &&
        (!validComponents(*wanted.dueDateComponents) || !wanted.dueDateComponents->date())) {
      return fail(problem(PimError::Code::invalid, "The due date is not valid."));
    }
    if (wanted.priority < 0 || wanted.priority > 9) {
      return fail(problem(PimError::Code::invalid, "The priority is not valid."));
    }
    if (!wanted.completed) {
      wanted.completionDate.reset();
    } else if (!wanted.completionDate) {
      wanted.completionDate = std::chrono::system_clock::now();
    }
    if (wanted.completionDate) {
      wanted.completionDate = std::chrono::floor<seconds>(*wanted.completionDate);
      if (!inStoredRange(*wanted.completionDate)) {
        return fail(problem(PimError::Code::invalid, "The completion date is out of range."));
      }
    }
    if (auto refused = checkWritable(index, Kind::tasks, wanted.listId, true)) {
      return fail(*refused);
    }
    Collection& target = *index.collection(wanted.listId, Kind::tasks);
    if (wanted.id.empty()) {
      wanted.id = HardwareId::randomUUID();
      ICalItem item = ICalItem::create(wanted.id, true);
      item.changeReminder(Reminder{}, wanted);
      if (auto failure = index.write(target, fileNameFor(wanted.id, ".ics"), item.text(),
                                     std::nullopt, warnings)) {
        return fail(*failure);
      }
    } else {
      auto [c, entry] = index.item(wanted.id, false);
      if (entry == nullptr || c->kind != Kind::tasks || !entry->item->isTask()) {
        return fail(reminderNotFound(index));
      }
      if (auto refused = checkWritable(index, Kind::tasks, c->id, false)) return fail(*refused);
      const Reminder before = reminderOf(*c, *entry);
      const std::string name = index.nameOf(*c, *entry);
      auto current = index.fresh<ICalItem>(*c, name, parseItem);
      if (!current) return fail(current.error());
      auto& [item, identity] = current.value();
      item.changeReminder(before, wanted);
      if (c != &target) {
        if (auto failure = index.write(target, name, item.text(), std::nullopt, warnings)) {
          return fail(*failure);
        }
        if (auto failure = index.remove(*c, name, warnings)) return fail(*failure);
      } else if (auto failure = index.write(*c, name, item.text(), identity, warnings)) {
        return fail(*failure);
      }
    }
    auto [c, entry] = index.item(wanted.id, false);
    if (entry == nullptr) return fail(reminderNotFound(index));
    return reminderOf(*c, *entry);
  });
}

Result<Reminder, PimError> PimStore::removeReminder(std::string_view id) {
  return locked([&](Index& index, PimWarnings& warnings) -> Result<Reminder, PimError> {
    auto [c, entry] = index.item(id, false);
    if (entry == nullptr || c->kind != Kind::tasks || !entry->item->isTask()) {
      return fail(reminderNotFound(index));
    }
    if (auto refused = checkWritable(index, Kind::tasks, c->id, false)) return fail(*refused);
    Reminder removed = reminderOf(*c, *entry);
    if (auto failure = index.remove(*c, index.nameOf(*c, *entry), warnings)) {
      return fail(*failure);
    }
    return removed;
  });
}

// ---- contacts

std::vector<ContactContainer> PimStore::containers(PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    std::vector<ContactContainer> found;
    for (const Collection* c : index.ofKind(Kind::contacts)) {
      found.push_back({c->id, c->title, ContainerType::local});
    }
    return found;
  });
}

namespace {

std::string defaultContainerIn(Index& index) {
  if (const Collection* chosen = index.collection(index.defaultFor("contacts"), Kind::contacts)) {
    return chosen->id;
  }
  const auto books = index.ofKind(Kind::contacts);
  return books.empty() ? std::string() : books.front()->id;
}

std::vector<Contact> contactsWhere(
    Index& index, const std::function<bool(const Contact&)>& keep,
    const std::function<bool(const Collection&, const Entry&)>& also = nullptr) {
  std::vector<Contact> kept;
  for (auto [c, entry] : index.inOrder(Kind::contacts)) {
    if (entry->decoded.isGroup) continue;
    if (also && !also(*c, *entry)) continue;
    Contact contact = contactOf(*c, *entry);
    if (keep(contact)) kept.push_back(std::move(contact));
  }
  return kept;
}

// The address book a card goes into (the default one when none is given), giving a new card its
// UID.
Result<Collection*, PimError> placeCard(Index& index, std::string& containerId, std::string& id) {
  if (containerId.empty()) containerId = defaultContainerIn(index);
  Collection* target = index.collection(containerId, Kind::contacts);
  if (target == nullptr) {
    return fail(problem(PimError::Code::notFound, "The container does not exist."));
  }
  if (id.empty()) id = HardwareId::randomUUID();
  return target;
}

}  // namespace

std::string PimStore::defaultContainerIdentifier(PimUnreadable*) const {
  return locked([&](Index& index, PimWarnings&) { return defaultContainerIn(index); });
}

Result<ContactContainer, PimError> PimStore::saveContainer(const ContactContainer& container) {
  return locked([&](Index& index, PimWarnings& warnings) {
    return saveCollection<ContactContainer>(
        index, container.id, container.name, std::nullopt, Kind::contacts, warnings,
        [](const Collection& c) {
          return ContactContainer{c.id, c.title, ContainerType::local};
        });
  });
}

Result<ContactContainer, PimError> PimStore::setDefaultContainer(std::string_view id) {
  return locked([&](Index& index, PimWarnings&) -> Result<ContactContainer, PimError> {
    const Collection* c = index.collection(id, Kind::contacts);
    if (c == nullptr) {
      return fail(problem(PimError::Code::notFound, "The container does not exist."));
    }
    if (!index.setDefault("contacts", c->id)) {
      return fail(notSaved("cannot write " + index.defaultsFile().string()));
    }
    return ContactContainer{c->id, c->title, ContainerType::local};
  });
}

std::vector<ContactGroup> PimStore::groups(PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    std::vector<ContactGroup> found;
    std::map<std::pair<std::string, std::string>, ContactGroup> categories;
    for (auto [c, entry] : index.inOrder(Kind::contacts)) {
      const auto& decoded = entry->decoded;
      if (decoded.isGroup) {
        found.push_back({decoded.contact.id, decoded.groupName, c->id, decoded.memberIds});
        continue;
      }
      for (const auto& category : decoded.categories) {
        auto& group = categories[{c->id, category}];
        group.id = categoryGroupId(*c, category);
        group.name = category;
        group.containerId = c->id;
        group.memberIds.push_back(decoded.contact.id);
      }
    }
    for (auto& [key, group] : categories) found.push_back(std::move(group));
    return found;
  });
}

Result<ContactGroup, PimError> PimStore::saveGroup(const ContactGroup& group) {
  return locked([&](Index& index, PimWarnings& warnings) -> Result<ContactGroup, PimError> {
    ContactGroup wanted = group;
    auto book = placeCard(index, wanted.containerId, wanted.id);
    if (!book) return fail(book.error());
    Collection* target = book.value();
    auto [c, entry] = index.item(wanted.id, true);
    if (entry != nullptr && !entry->decoded.isGroup) {
      return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
    }
    const VCard::Card card = VCard::encodeGroup(wanted);
    std::optional<PimError> failure;
    if (entry == nullptr) {
      failure = index.write(*target, fileNameFor(wanted.id, ".vcf"), VCard::serialize(card),
                            std::nullopt, warnings);
    } else {
      const std::string name = index.nameOf(*c, *entry);
      failure = index.write(*c, name, VCard::serialize(card), entry->identity, warnings);
    }
    if (failure) return fail(*failure);
    return wanted;
  });
}

std::vector<Contact> PimStore::contacts(PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    return contactsWhere(index, [](const Contact&) { return true; });
  });
}

std::optional<Contact> PimStore::contact(std::string_view id, PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) -> std::optional<Contact> {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    auto [c, entry] = index.item(id, true);
    if (entry == nullptr || entry->decoded.isGroup) return std::nullopt;
    return contactOf(*c, *entry);
  });
}

std::vector<Contact> PimStore::contactsMatchingName(std::string_view name,
                                                    PimUnreadable* unreadable) const {
  const CaselessText part(name, false);
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    return contactsWhere(index, [&](const Contact& c) {
      return part.in(c.givenName) || part.in(c.middleName) || part.in(c.familyName) ||
             part.in(c.nickname) || part.in(c.organizationName) ||
             part.in(formattedFullName(c).value_or(""));
    });
  });
}

std::vector<Contact> PimStore::contactsMatchingEmailAddress(std::string_view address,
                                                            PimUnreadable* unreadable) const {
  const CaselessText whole(address, true);
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    return contactsWhere(index, [&](const Contact& c) {
      return std::any_of(c.emailAddresses.begin(), c.emailAddresses.end(),
                         [&](const LabeledValue& email) { return whole.in(email.value); });
    });
  });
}

std::vector<Contact> PimStore::contactsInGroup(std::string_view groupId,
                                               PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    auto [c, entry] = index.item(groupId, true);
    if (entry != nullptr && entry->decoded.isGroup) {
      const std::set<std::string> members(entry->decoded.memberIds.begin(),
                                          entry->decoded.memberIds.end());
      return contactsWhere(index,
                           [&](const Contact& contact) { return members.count(contact.id) != 0; });
    }
    return contactsWhere(
        index, [](const Contact&) { return true; },
        [&](const Collection& in, const Entry& e) {
          const auto& categories = e.decoded.categories;
          return std::any_of(categories.begin(), categories.end(), [&](const std::string& name) {
            return categoryGroupId(in, name) == groupId;
          });
        });
  });
}

std::vector<Contact> PimStore::contactsInContainer(std::string_view containerId,
                                                   PimUnreadable* unreadable) const {
  return locked([&](Index& index, PimWarnings&) {
    index.noteUnreadable(unreadable, [](const Collection& c) { return c.kind == Kind::contacts; });
    return contactsWhere(index, [&](const Contact& c) { return c.containerId == containerId; });
  });
}

Result<Contact, PimError> PimStore::saveContact(const Contact& contact) {
  return locked([&](Index& index, PimWarnings& warnings) -> Result<Contact, PimError> {
    Contact wanted = contact;
    if (wanted.birthday &&
        (!validComponents(*wanted.birthday) || !wanted.birthday->month || !wanted.birthday->day)) {
      return fail(problem(PimError::Code::invalid, "The birthday is not valid."));
    }
    auto book = placeCard(index, wanted.containerId, wanted.id);
    if (!book) return fail(book.error());
    Collection* target = book.value();
    auto [c, entry] = index.item(wanted.id, true);
    if (entry == nullptr) {
      if (auto failure =
              index.write(*target, fileNameFor(wanted.id, ".vcf"),
                          VCard::serialize(VCard::encode(wanted)), std::nullopt, warnings)) {
        return fail(*failure);
      }
    } else {
      if (entry->decoded.isGroup) {
        return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
      }
      const Contact before = contactOf(*c, *entry);
      const std::string name = index.nameOf(*c, *entry);
      auto current = index.fresh<VCard::Card>(
          *c, name, [](const std::string& text) { return VCard::parse(text); });
      if (!current) return fail(current.error());
      auto& [card, identity] = current.value();
      VCard::applyChanges(card, before, wanted);
      if (c != target) {
        if (auto failure =
                index.write(*target, name, VCard::serialize(card), std::nullopt, warnings)) {
          return fail(*failure);
        }
        if (auto failure = index.remove(*c, name, warnings)) return fail(*failure);
      } else if (auto failure = index.write(*c, name, VCard::serialize(card), identity, warnings)) {
        return fail(*failure);
      }
    }
    auto [savedIn, saved] = index.item(wanted.id, true);
    if (saved == nullptr) return fail(problem(PimError::Code::notFound, "The contact is gone."));
    return contactOf(*savedIn, *saved);
  });
}

}  // namespace tvrn
