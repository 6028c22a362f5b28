#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "pim/PimIndex.h"
#include "platform/JsonObjectFile.h"

namespace tvrn::pimstore {

// ---- finding (under either lock)

const Collection* PimIndex::collection(std::string_view id, std::optional<Kind> kind) const {
  auto it = collections.find(std::string(id));
  if (it == collections.end() || !it->second.listed || (kind && !it->second.isOf(*kind))) {
    return nullptr;
  }
  return &it->second;
}

Collection* PimIndex::collection(std::string_view id, std::optional<Kind> kind) {
  return const_cast<Collection*>(std::as_const(*this).collection(id, kind));
}

std::pair<Collection*, const Entry*> PimIndex::item(std::string_view uid, bool card) const {
  auto& map = byUid_[card ? 1 : 0];
  auto it = map.find(std::string(uid));
  if (it == map.end()) return {nullptr, nullptr};
  return it->second;
}

std::optional<std::string> PimIndex::unreadableFileOf(std::string_view uid, bool card) const {
  const std::string name = fileNameFor(std::string(uid), card ? ".vcf" : ".ics");
  for (const auto& [id, c] : collections) {
    if ((c.kind == Kind::contacts) != card) continue;
    if (auto at = c.entries.find(name); at != c.entries.end() && at->second.readError) {
      return at->second.readError;
    }
  }
  return std::nullopt;
}

std::vector<const Collection*> PimIndex::ofKind(Kind kind) const {
  std::vector<const Collection*> found;
  for (auto& [id, c] : collections) {
    if (c.listed && c.isOf(kind)) found.push_back(&c);
  }
  std::sort(found.begin(), found.end(),
            [](const Collection* a, const Collection* b) { return a->order < b->order; });
  return found;
}

std::vector<std::pair<const Collection*, const Entry*>> PimIndex::inOrder(Kind kind) const {
  std::vector<std::pair<const Collection*, const Entry*>> found;
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

Calendar PimIndex::calendarOf(const Collection& c, std::optional<Kind> as) const {
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

std::string PimIndex::nameOf(const Collection& c, const Entry& entry) const {
  for (const auto& [name, e] : c.entries) {
    if (&e == &entry) return name;
  }
  return {};
}

std::string PimIndex::defaultFor(const char* key) const {
  const auto contents = JsonObjectFile::read(defaultsFile());
  auto it = contents.object.find(key);
  return it != contents.object.end() && it->is_string() ? it->get<std::string>() : "";
}

Result<void, std::string> PimIndex::setDefault(const char* key, const std::string& id) {
  const auto update =
      JsonObjectFile::update(defaultsFile(), [&](nlohmann::json& o) { o[key] = id; });
  if (update.written) return {};
  return fail(defaultsFile().string() + " could not be written" +
              (update.readError ? ": " + *update.readError : ""));
}

// ---- writing: the file first, readers meanwhile served from the index as it was

std::optional<PimError> PimIndex::write(Collection& c, const std::string& name,
                                        const std::string& text,
                                        const std::optional<Identity>& expected,
                                        PimWarnings& warnings) {
  const fs::path file = c.folder / name;
  // The store would skip it when it reads the folder again.
  if (text.size() > kMaxItemBytes) {
    return notSaved("the item would be larger than " + std::to_string(kMaxItemBytes >> 20) +
                    " MiB");
  }
  if (identify(file) != expected) return changedMeanwhile();
  std::string why;
  bool changed = false;
  // Another program may write the item between our reading and our replacing it: checked once
  // more at the last moment, so its change is not silently lost.
  const auto unchanged = [&] {
    runBeforeReplaceHook(file);
    changed = identify(file) != expected;
    return !changed;
  };
  if (!writeFile(file, text, &why, itemMode(c), unchanged)) {
    return changed ? changedMeanwhile() : notSaved(why);
  }
  // Taken into the index at once, so the next call need not read it again.
  auto at = c.entries.find(name);
  Entry entry =
      load(file, c.kind != Kind::contacts, at != c.entries.end() ? &at->second : nullptr, warnings);
  std::unique_lock lock(guard_);
  put(c, name, std::move(entry), warnings);
  settleKind(c);
  return std::nullopt;
}

std::optional<PimError> PimIndex::remove(Collection& c, const std::string& name, PimWarnings&) {
  std::error_code error;
  if (!fs::remove(c.folder / name, error) && error) return notSaved(std::strerror(error.value()));
  std::unique_lock lock(guard_);
  if (auto at = c.entries.find(name); at != c.entries.end()) drop(c, at);
  settleKind(c);
  return std::nullopt;
}

void PimIndex::rescan(const fs::path& path, PimWarnings& warnings) {
  for (const Kind kind : {Kind::events, Kind::contacts}) {
    const auto& configured = roots.of[kind == Kind::events ? 0 : 1];
    if (std::find(configured.begin(), configured.end(), path.parent_path()) != configured.end()) {
      rescanFolder(path, kind, warnings);
      return;
    }
  }
}

mode_t PimIndex::itemMode(const Collection& c) {
  for (const auto& [name, entry] : c.entries) {
    if (auto mode = modeOf(c.folder / name)) return *mode;
  }
  return kPrivateFile;
}

PimError PimIndex::changedMeanwhile() {
  return problem(PimError::Code::storage,
                 "The change could not be saved: another program changed the item at the same "
                 "time; try again.");
}

// ---- the index's own structures (under the exclusive lock)

void PimIndex::put(Collection& c, const std::string& name, Entry&& entry, PimWarnings& warnings) {
  auto [at, added] = c.entries.try_emplace(name);
  Entry& slot = at->second;
  bool reindex = false;
  if (!added) {
    untrack(c, slot);
    auto& map = byUid_[c.kind == Kind::contacts ? 1 : 0];
    auto found = map.find(slot.uid);
    if (found != map.end() && found->second.second == &slot) {
      map.erase(found);
      reindex = duplicates_;  // the item kept of two may be gone
    }
  }
  slot = std::move(entry);
  track(c, slot);
  if (slot.readError && !slot.identity) {
    unreadable_.emplace(c.id, name);
  } else {
    unreadable_.erase({c.id, name});
  }
  if (slot.parsed && !reindex) {
    auto& map = byUid_[c.kind == Kind::contacts ? 1 : 0];
    auto [held, fresh] = map.emplace(slot.uid, std::make_pair(&c, &slot));
    reindex = !fresh && held->second.second != &slot;
  }
  if (reindex) reindexUids(warnings);
}

void PimIndex::drop(Collection& c, std::map<std::string, Entry>::iterator at) {
  untrack(c, at->second);
  unreadable_.erase({c.id, at->first});
  auto& map = byUid_[c.kind == Kind::contacts ? 1 : 0];
  auto found = map.find(at->second.uid);
  const bool held = found != map.end() && found->second.second == &at->second;
  if (held) map.erase(found);
  c.entries.erase(at);
  if (held && duplicates_) {
    PimWarnings none;
    reindexUids(none);
  }
}

void PimIndex::dropCollection(std::map<std::string, Collection>::iterator at) {
  Collection& c = at->second;
  if (c.watch >= 0) {
    if (watcher_) watcher_->unwatch(c.watch);
    folderWatches_.erase(c.watch);
  }
  for (auto entry = c.entries.begin(); entry != c.entries.end();) drop(c, entry++);
  collections.erase(at);
}

void PimIndex::track(Collection& c, const Entry& entry) {
  if (!entry.parsed) return;
  if (entry.decoded) return;
  ++(entry.task ? c.tasks : c.events);
  if (entry.task) return;
  if (entry.repeats || entry.series.end - entry.series.start > kShortSpan) {
    c.wide.insert(&entry);
  } else {
    c.byStart.emplace(entry.series.start, &entry);
  }
}

void PimIndex::untrack(Collection& c, const Entry& entry) {
  if (!entry.parsed || entry.decoded) return;
  --(entry.task ? c.tasks : c.events);
  if (entry.task) return;
  if (c.wide.erase(&entry) != 0) return;
  auto [from, to] = c.byStart.equal_range(entry.series.start);
  for (auto it = from; it != to; ++it) {
    if (it->second == &entry) {
      c.byStart.erase(it);
      return;
    }
  }
}

// Finds every item by UID; of two with one UID the one seen first is kept.
void PimIndex::reindexUids(PimWarnings& warnings) {
  for (auto& map : byUid_) map.clear();
  duplicates_ = false;
  std::vector<std::tuple<Collection*, const std::string*, Entry*>> all;
  for (auto& [id, c] : collections) {
    for (auto& [name, entry] : c.entries) all.emplace_back(&c, &name, &entry);
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return std::get<2>(a)->order < std::get<2>(b)->order;
  });
  for (auto& [c, name, entry] : all) {
    const bool wasDuplicate = entry->duplicate;
    entry->duplicate = false;
    if (!entry->parsed) continue;
    auto& map = byUid_[c->kind == Kind::contacts ? 1 : 0];
    auto [at, added] = map.emplace(entry->uid, std::make_pair(c, entry));
    if (added) continue;
    entry->duplicate = true;
    duplicates_ = true;
    if (!wasDuplicate) {
      warnings.push_back("Personal data file " + (c->folder / *name).string() + " has the UID " +
                         entry->uid + " of an item in " + at->second.first->folder.string() +
                         "; only that one is used");
    }
  }
}

}  // namespace tvrn::pimstore
