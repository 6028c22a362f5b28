#include "pim/PimIndex.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/TextDecoding.h"
#include "base/Utf8.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"

namespace tvrn::pimstore {

namespace {

bool isMetadata(const std::string& name) {
  return name == "displayname" || name == "color" || name == kKindFile;
}

bool hasExtension(const std::string& name, bool calendars) {
  const char* extension = calendars ? ".ics" : ".vcf";
  return name.size() > 4 && name.compare(name.size() - 4, 4, extension) == 0;
}

// The folders the settings list under `key`, or `fallback`.
std::vector<fs::path> foldersIn(const nlohmann::json& settings, const char* key,
                                const fs::path& fallback) {
  std::vector<fs::path> folders;
  auto it = settings.find(key);
  if (it != settings.end() && it->is_array()) {
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

}  // namespace

// ---------------------------------------------------------------- keeping current

struct PimIndex::Scanned {
  std::string title;
  std::optional<std::vector<double>> color;
  std::optional<std::string> marked;
  std::vector<std::string> problems;     // what of the folder could not be read
  std::optional<std::string> readError;  // the first of them that may pass
  bool writable = true;
  bool listed = true;                    // false when the folder's list could not be read
  std::set<std::string> present;         // item files now there
  std::map<std::string, Entry> changed;  // those read again
};

bool PimIndex::stale(const fs::path& storeFolder,
                     const std::shared_ptr<const nlohmann::json>& settings) {
  // The text compared, not the components: the store names its folder the same way each time.
  if (folder.native() != storeFolder.native() || settings != settings_ || !walked_ || !watcher_) {
    return true;
  }
  if (watcher_->inherited()) return true;
  if (!unreadable_.empty() || watcher_->pending()) return true;
  size_t rootCount = roots.of[0].size() + roots.of[1].size();
  if (rootWatches_.size() < rootCount) return true;
  for (const auto& [id, c] : collections) {
    if (!watching(c) || c.readError) return true;
  }
  return false;
}

void PimIndex::update(const fs::path& storeFolder,
                      const std::shared_ptr<const nlohmann::json>& settings, PimWarnings& warnings,
                      bool makeFresh) {
  if (stopped_) return;
  // Another HOME: nothing read before applies.
  if (folder.native() != storeFolder.native()) reset(storeFolder);
  if (watcher_ && watcher_->inherited()) forgetWatches();
  if (!watcher_ && !walked_) {
    auto opened = PimWatcher::open();
    std::unique_lock lock(guard_);
    watcher_ = std::move(opened);
  }
  applyRoots(settings, warnings);
  for (const bool calendars : {true, false}) {
    // Settings that cannot be read may name other folders, and writes wait until they read.
    if (makeFresh && settings && freshWanted(calendars)) createFresh(calendars, warnings);
  }
  if (!walked_) {
    if (watcher_) {
      std::vector<PimWatcher::Report> ignored;
      watcher_->drain(ignored);  // the walk below reads everything they could say
    }
    walkRoots(warnings);
    return;
  }
  applyWatchReports(warnings);
  retryUnreadable(warnings);
}

void PimIndex::reset(const fs::path& to) {
  std::unique_lock lock(guard_);
  collections.clear();
  for (auto& map : byUid_) map.clear();
  unreadable_.clear();
  skipped_.clear();
  roots = {};
  rootWatches_.clear();
  folderWatches_.clear();
  watcher_.reset();
  settings_.reset();
  forgetWalk();
  folder = to;
}

void PimIndex::forgetWalk() {
  walked_ = false;
  kindWalked_[0] = kindWalked_[1] = false;
}

bool PimIndex::readAlready(Kind kind, const fs::path& storeFolder,
                           const std::shared_ptr<const nlohmann::json>& settings) const {
  const int of = kind == Kind::contacts ? 1 : 0;
  if (walked_ || !kindWalked_[of] || folder.native() != storeFolder.native()) return false;
  // Settings that name other folders of the kind want those read.
  if (settings && settings != settings_ && rootsIn(*settings).of[of] != roots.of[of]) return false;
  // The first call that brings the index up to date makes them.
  return !freshWanted(of == 0);
}

unsigned long PimIndex::progress() const {
  std::lock_guard lock(progressMutex_);
  return progress_;
}

void PimIndex::awaitProgress(unsigned long seen) const {
  std::unique_lock lock(progressMutex_);
  progressed_.wait(lock, [&] { return progress_ != seen; });
}

void PimIndex::noteProgress() {
  {
    std::lock_guard lock(progressMutex_);
    ++progress_;
  }
  progressed_.notify_all();
}

bool PimIndex::freshWanted(bool calendars) const {
  const fs::path fallback = folder / (calendars ? "calendars" : "contacts");
  const auto& configured = roots.of[calendars ? 0 : 1];
  return configured.size() == 1 && configured.front() == fallback && !fs::exists(fallback);
}

// Leaves the watches to the process that set them; this one sets its own and reads every folder.
void PimIndex::forgetWatches() {
  std::unique_lock lock(guard_);
  watcher_.reset();
  rootWatches_.clear();
  folderWatches_.clear();
  for (auto& [id, c] : collections) c.watch = -1;
  forgetWalk();
}

void PimIndex::applyRoots(const std::shared_ptr<const nlohmann::json>& settings, PimWarnings&) {
  if (settings == settings_ && (settings || walked_)) return;
  // Settings that cannot be read keep the folders last read rather than the default ones; with
  // none read yet, the default ones are read (never made: see update).
  Roots configured = settings ? rootsIn(*settings) : roots;
  if (!settings && configured.of[0].empty() && configured.of[1].empty()) {
    configured = rootsIn(nlohmann::json::object());
  }
  std::unique_lock lock(guard_);
  settings_ = settings;
  if (configured.of[0] == roots.of[0] && configured.of[1] == roots.of[1]) return;
  roots = std::move(configured);
  forgetWalk();
  for (auto& [watch, root] : rootWatches_) {
    if (watcher_) watcher_->unwatch(watch);
  }
  rootWatches_.clear();
}

Roots PimIndex::rootsIn(const nlohmann::json& settings) const {
  Roots named;
  named.of[0] = foldersIn(settings, "calendar_folders", folder / "calendars");
  named.of[1] = foldersIn(settings, "contact_folders", folder / "contacts");
  return named;
}

void PimIndex::createFresh(bool calendars, PimWarnings& warnings) {
  const fs::path root = folder / (calendars ? "calendars" : "contacts");
  std::string why;
  const auto make = [&](const char* name, const char* title, const char* kind) {
    const fs::path at = root / name;
    return FileStore::ensureDirectory(at, kPrivateFolder) &&
           writeFile(at / "displayname", title, &why) && writeFile(at / kKindFile, kind, &why);
  };
  // Without the record new items go to the first writable collection, so a failed one is
  // told in the log, not fatal.
  const auto record = [&](const char* key, const char* name) {
    if (auto recorded = setDefault(key, (root / name).string()); !recorded) {
      warnings.push_back("The default personal-data folders could not be recorded: " +
                         recorded.error());
    }
  };
  bool made = true;
  if (calendars) {
    made = make("calendar", "Calendar", "events") && make("reminders", "Reminders", "tasks");
    if (made) {
      record("event", "calendar");
      record("reminder", "reminders");
    }
  } else {
    made = make("contacts", "Contacts", "contacts");
    if (made) record("contacts", "contacts");
  }
  if (!made) warnings.push_back("The default personal-data folders could not be made: " + why);
}

void PimIndex::walkRoots(PimWarnings& warnings) {
  // The address books first, since they are read in moments while calendars may take long: their
  // calls need not wait for the calendars (see readAlready).
  for (const Kind kind : {Kind::contacts, Kind::events}) {
    const int of = kind == Kind::contacts ? 1 : 0;
    std::set<std::string> present;
    for (const auto& root : roots.of[of]) {
      // A folder named for both holds calendars, as the kernel's reports on it are taken.
      const bool calendars =
          std::find(roots.of[0].begin(), roots.of[0].end(), root) != roots.of[0].end();
      if (of == 0 || !calendars) walkRoot(root, kind, present, warnings);
    }
    // Half walked: what it did not reach is neither gone nor read.
    if (stopped_) return;
    {
      std::unique_lock lock(guard_);
      for (auto it = collections.begin(); it != collections.end();) {
        if ((it->second.kind == Kind::contacts) == (of == 1) && present.count(it->first) == 0) {
          dropCollection(it++);
        } else {
          ++it;
        }
      }
      kindWalked_[of] = true;
    }
    noteProgress();
  }
  std::unique_lock lock(guard_);
  walked_ = true;
  overflowed_ = false;
}

// Reads the collections in one configured folder: every one on a full walk (`present` given),
// else only those the kernel does not report on.
void PimIndex::walkRoot(const fs::path& root, Kind kind, std::set<std::string>& present,
                        PimWarnings& warnings) {
  const bool full = !walked_ || overflowed_;
  if (watcher_) {
    const bool watched = std::any_of(rootWatches_.begin(), rootWatches_.end(),
                                     [&](const auto& w) { return w.second == root; });
    if (!watched) {
      const int watch = watcher_->watch(root);
      std::unique_lock lock(guard_);
      if (watch >= 0) rootWatches_[watch] = root;
    }
  }
  std::error_code error;
  std::set<fs::path> folders;  // in name order, so the order seen is the same each run
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code unused;  // a link that leads nowhere or in circles is no collection
    if (!name.empty() && name[0] != '.' && it->is_directory(unused)) folders.insert(it->path());
  }
  if (error && error.value() != ENOENT) {
    // What the folder holds is unknown: its collections stay as last read.
    const std::string why = root.string() + " could not be read: " + std::strerror(error.value());
    skipFolder(root, why, warnings);
    std::unique_lock lock(guard_);
    for (auto& [id, c] : collections) {
      if (c.folder.parent_path() != root) continue;
      present.insert(id);
      c.readError = why;
    }
    return;
  }
  skipped_.erase(root);
  std::set<std::string> here;
  for (const auto& path : folders) {
    here.insert(path.string());
    present.insert(path.string());
    auto at = collections.find(path.string());
    if (full || at == collections.end() || !watching(at->second)) {
      rescanFolder(path, kind, warnings);
    }
  }
  if (full) return;
  std::unique_lock lock(guard_);
  for (auto it = collections.begin(); it != collections.end();) {
    if (it->second.folder.parent_path() == root && here.count(it->first) == 0) {
      dropCollection(it++);
    } else {
      ++it;
    }
  }
}

void PimIndex::rescanFolder(const fs::path& path, Kind kind, PimWarnings& warnings) {
  // Its identifier could not be written in a reply.
  if (!Utf8::isValid(path.string())) {
    skipFolder(path, path.string() + " has a name that is not UTF-8", warnings);
    return;
  }
  auto at = collections.find(path.string());
  if (at == collections.end()) {
    Collection made;
    made.order = ++nextOrder;
    made.folder = path;
    made.id = path.string();
    made.account = path.parent_path().filename().string();
    made.kind = kind;
    std::unique_lock lock(guard_);
    at = collections.emplace(made.id, std::move(made)).first;
  }
  Collection& c = at->second;
  if (watcher_ && c.watch < 0) {
    // Watched before it is read, so nothing written meanwhile goes unseen.
    const int watch = watcher_->watch(path);
    std::unique_lock lock(guard_);
    c.watch = watch;
    if (watch >= 0) folderWatches_[watch] = c.id;
  }
  adopt(c, scanFolder(c, warnings), warnings);
}

PimIndex::Scanned PimIndex::scanFolder(const Collection& c, PimWarnings& warnings) {
  Scanned scanned;
  scanned.writable = ::access(c.folder.c_str(), W_OK) == 0;
  scanned.title = c.folder.filename().string();
  for (const char* name : {"displayname", "color", kKindFile}) {
    auto text = readFolderFile(c.folder / name, kMaxMetadataBytes);
    if (!text) {
      if (text.error().missing) continue;
      scanned.problems.push_back("file " + (c.folder / name).string() +
                                 " could not be read: " + text.error().reason);
      if (!text.error().lasting && !scanned.readError) scanned.readError = scanned.problems.back();
      continue;
    }
    const std::string value = trimmed(TextDecoding::fromLegacy(text.value()));
    if (std::string_view(name) == "displayname" && !value.empty()) scanned.title = value;
    if (std::string_view(name) == "color") scanned.color = colorOf(value);
    if (std::string_view(name) == kKindFile) scanned.marked = value;
  }
  const bool calendars = c.kind != Kind::contacts;
  std::error_code error;
  for (fs::directory_iterator it(c.folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (isTemporaryOfOurs(name)) {
      removeLeftover(it->path());
      continue;
    }
    if (hasExtension(name, calendars)) scanned.present.insert(name);
  }
  if (error) {
    scanned.listed = false;
    // Its own failure says it all: nothing in it can be read either.
    scanned.problems = {"folder " + c.folder.string() +
                        " could not be read: " + std::strerror(error.value())};
    scanned.readError = scanned.problems.front();
  }
  // In name order, so items first seen together keep one order from run to run.
  std::vector<Load> loads;
  for (const auto& name : scanned.present) {
    auto at = c.entries.find(name);
    const Entry* before = at != c.entries.end() ? &at->second : nullptr;
    const auto identity = identify(c.folder / name);
    // One that could not be read is tried again, unless what is there stays unusable as it is.
    if (before && identity && identity == before->identity) continue;
    loads.push_back({name, before, {}, {}});
  }
  loadAll(c.folder, calendars, loads, warnings, true);
  for (auto& load : loads) scanned.changed.emplace(load.name, std::move(load.entry));
  return scanned;
}

void PimIndex::adopt(Collection& c, Scanned&& scanned, PimWarnings& warnings) {
  const bool kept = !scanned.listed && c.listed;
  for (const auto& problem : scanned.problems) {
    if (std::find(c.problems.begin(), c.problems.end(), problem) != c.problems.end()) continue;
    warnings.push_back("Personal data " + problem + "; " +
                       (kept ? "what it held when last read is kept" : "it is skipped"));
  }
  std::unique_lock lock(guard_);
  c.listed = c.listed || scanned.listed;
  c.readError = scanned.readError;
  c.problems = std::move(scanned.problems);
  c.writable = scanned.writable;
  c.title = scanned.title;
  c.color = scanned.color;
  c.marked = scanned.marked;
  c.identity = identify(c.folder);
  for (auto& [name, entry] : scanned.changed) put(c, name, std::move(entry), warnings);
  if (scanned.listed) {
    for (auto it = c.entries.begin(); it != c.entries.end();) {
      if (scanned.present.count(it->first) == 0) {
        drop(c, it++);
      } else {
        ++it;
      }
    }
  }
  settleKind(c);
}

void PimIndex::settleKind(Collection& c) {
  if (c.kind == Kind::contacts) return;
  c.both = false;
  if (c.marked == "tasks" || c.marked == "events") {
    c.kind = *c.marked == "tasks" ? Kind::tasks : Kind::events;
  } else {
    // Its first item decides what it is; one that holds both serves as both.
    c.kind = (c.tasks > 0 && c.events == 0) ? Kind::tasks : Kind::events;
    c.both = (c.tasks == 0) == (c.events == 0);
  }
}

void PimIndex::applyWatchReports(PimWarnings& warnings) {
  std::vector<PimWatcher::Report> reports;
  if (watcher_ && !watcher_->drain(reports)) {
    // Reports were lost: what changed is unknown, so every folder is read again.
    {
      std::unique_lock lock(guard_);
      overflowed_ = true;
    }
    walkRoots(warnings);
    return;
  }
  std::map<fs::path, Kind> folders;  // collection folders that may have come, gone or changed
  // A watch that no longer follows the folder it was set on: the kernel dropped it, or it moves
  // with the folder to where it is not wanted.
  constexpr uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
  const auto forgetWatch = [&](const PimWatcher::Report& report) {
    if (!(report.mask & IN_IGNORED)) watcher_->unwatch(report.watch);
  };
  std::map<std::string, std::set<std::string>> items;  // by collection id
  for (const auto& report : reports) {
    if (auto root = rootWatches_.find(report.watch); root != rootWatches_.end()) {
      const Kind kind =
          std::find(roots.of[0].begin(), roots.of[0].end(), root->second) != roots.of[0].end()
              ? Kind::events
              : Kind::contacts;
      if (report.mask & kGone) {
        // Walked below, as a folder not watched, and watched again once it is there.
        forgetWatch(report);
        std::unique_lock lock(guard_);
        rootWatches_.erase(root);
      } else if (!report.name.empty() && report.name[0] != '.') {
        folders[root->second / report.name] = kind;
      }
      continue;
    }
    auto owner = folderWatches_.find(report.watch);
    if (owner == folderWatches_.end()) continue;
    auto c = collections.find(owner->second);
    if (c == collections.end()) continue;
    if (report.name.empty()) {
      folders[c->second.folder] = c->second.kind == Kind::contacts ? Kind::contacts : Kind::events;
      if (report.mask & kGone) {
        // A folder made again in its place is another one, watched anew when it is read.
        forgetWatch(report);
        std::unique_lock lock(guard_);
        c->second.watch = -1;
        folderWatches_.erase(owner);
      }
    } else {
      items[c->first].insert(report.name);
    }
  }
  // Gone first: a folder renamed within its root is taken for a new collection.
  for (const auto& [path, kind] : folders) {
    std::error_code error;
    if (fs::is_directory(path, error)) continue;
    std::unique_lock lock(guard_);
    if (auto at = collections.find(path.string()); at != collections.end()) dropCollection(at);
  }
  for (const auto& [path, kind] : folders) {
    std::error_code error;
    if (!fs::is_directory(path, error)) continue;
    rescanFolder(path, kind, warnings);
    items.erase(path.string());
  }
  for (const auto& [id, names] : items) {
    auto c = collections.find(id);
    if (c == collections.end()) continue;
    if (std::any_of(names.begin(), names.end(), isMetadata)) {
      rescanFolder(c->second.folder, c->second.kind, warnings);
      continue;
    }
    refreshItems(c->second, names, warnings);
  }
  // Folders the kernel does not report on are walked at every call.
  std::set<std::string> present;
  for (const Kind kind : {Kind::events, Kind::contacts}) {
    for (const auto& root : roots.of[kind == Kind::events ? 0 : 1]) {
      const bool watched = std::any_of(rootWatches_.begin(), rootWatches_.end(),
                                       [&](const auto& w) { return w.second == root; });
      if (!watched) walkRoot(root, kind, present, warnings);
    }
  }
  std::vector<std::pair<fs::path, Kind>> unwatched;
  for (const auto& [id, c] : collections) {
    if (!watching(c) || c.readError) unwatched.emplace_back(c.folder, c.kind);
  }
  for (const auto& [path, kind] : unwatched) {
    if (present.count(path.string()) == 0) rescanFolder(path, kind, warnings);
  }
}

void PimIndex::skipFolder(const fs::path& path, const std::string& why, PimWarnings& warnings) {
  auto [at, added] = skipped_.try_emplace(path, why);
  if (!added && at->second == why) return;
  at->second = why;
  warnings.push_back("Personal data folder " + why + "; it is skipped");
}

void PimIndex::retryUnreadable(PimWarnings& warnings) {
  std::map<std::string, std::set<std::string>> pending;  // by collection
  for (const auto& [id, name] : unreadable_) pending[id].insert(name);
  for (const auto& [id, names] : pending) {
    auto c = collections.find(id);
    if (c != collections.end()) refreshItems(c->second, names, warnings);
  }
}

void PimIndex::refreshItems(Collection& c, const std::set<std::string>& names,
                            PimWarnings& warnings) {
  std::vector<Load> loads;
  for (const auto& name : names) {
    const fs::path file = c.folder / name;
    if (isTemporaryOfOurs(name)) removeLeftover(file);
    if (!hasExtension(name, c.kind != Kind::contacts)) continue;
    auto at = c.entries.find(name);
    const Entry* before = at != c.entries.end() ? &at->second : nullptr;
    const auto identity = identify(file);
    struct stat link {};
    // A link to nothing is there, and cannot be read.
    if (!identity && errno == ENOENT && ::lstat(file.c_str(), &link) != 0) {
      if (before == nullptr) continue;
      std::unique_lock lock(guard_);
      drop(c, at);
      settleKind(c);
      continue;
    }
    if (before && identity && identity == before->identity) continue;
    loads.push_back({name, before, {}, {}});
  }
  if (loads.empty()) return;
  loadAll(c.folder, c.kind != Kind::contacts, loads, warnings, true);
  std::unique_lock lock(guard_);
  for (auto& load : loads) put(c, load.name, std::move(load.entry), warnings);
  settleKind(c);
}

}  // namespace tvrn::pimstore
