#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <tuple>

#include "pim/PimIndex.h"
#include "platform/JsonObjectFile.h"
#include "platform/ProcessInfo.h"

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

namespace {

bool isOfKind(const Entry& entry, Kind kind) {
  if (kind == Kind::contacts) return entry.decoded != nullptr;
  return kind == Kind::tasks ? entry.parsed && entry.task : entry.isEvent();
}

Kind kindOf(const Entry& entry) {
  if (entry.decoded) return Kind::contacts;
  return entry.task ? Kind::tasks : Kind::events;
}

std::string folderName(const Collection& c) { return c.folder.filename().string(); }

std::string cardSuffix(const Entry& entry) { return "/" + std::to_string(entry.card + 1); }

}  // namespace

std::vector<std::pair<Collection*, const Entry*>> PimIndex::holders(std::string_view uid,
                                                                    bool card) const {
  std::vector<std::pair<Collection*, const Entry*>> found;
  auto [from, to] = byUid_[card ? 1 : 0].equal_range(std::string(uid));
  for (auto it = from; it != to; ++it) found.emplace_back(it->second);
  // In the order the store first saw them, so candidates are named the same way each time.
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.second->order < b.second->order; });
  return found;
}

std::vector<std::pair<Collection*, const Entry*>> PimIndex::items(std::string_view id,
                                                                  Kind kind) const {
  const bool card = kind == Kind::contacts;
  const auto serves = [&](const std::pair<Collection*, const Entry*>& held) {
    return held.first->isOf(kind) && isOfKind(*held.second, kind);
  };
  std::vector<std::pair<Collection*, const Entry*>> found;
  for (const auto& held : holders(id, card)) {
    if (serves(held)) found.push_back(held);
  }
  // "<uid>#<folder>", "<uid>#<folder>/<file>" or "<uid>#<folder path>/<file>", for a card also
  // followed by "/<its number in the file>": a UID may hold '#' itself.
  const auto inFile = [&](std::string_view place, const std::string& folder,
                          const std::pair<Collection*, const Entry*>& held) {
    if (place.size() <= folder.size() + 1 || place.substr(0, folder.size()) != folder ||
        place[folder.size()] != '/') {
      return false;
    }
    const std::string_view file = place.substr(folder.size() + 1);
    const std::string name = nameOf(*held.first, *held.second);
    return file == name || (card && file == name + cardSuffix(*held.second));
  };
  for (size_t hash = id.find('#'); hash != std::string_view::npos; hash = id.find('#', hash + 1)) {
    const std::string_view place = id.substr(hash + 1);
    for (const auto& held : holders(id.substr(0, hash), card)) {
      const std::string folder = folderName(*held.first);
      const bool named =
          place == folder || inFile(place, folder, held) || inFile(place, held.first->id, held);
      if (!serves(held) || !named) continue;
      if (std::find(found.begin(), found.end(), held) == found.end()) found.push_back(held);
    }
  }
  return found;
}

std::string PimIndex::idOf(const Collection& c, const Entry& entry) const {
  const Kind kind = kindOf(entry);
  const auto sharing = items(entry.uid, kind);
  if (sharing.size() < 2) return entry.uid;
  const std::string folder = folderName(c);
  const auto anotherIn = [&](const std::function<bool(const Collection&, const Entry&)>& alike) {
    return std::any_of(sharing.begin(), sharing.end(), [&](const auto& held) {
      return held.second != &entry && alike(*held.first, *held.second);
    });
  };
  if (!anotherIn([&](const Collection& o, const Entry&) { return folderName(o) == folder; })) {
    return entry.uid + "#" + folder;
  }
  // Folders of one name under two roots (two accounts' "personal"), and files of one name in
  // them: the folder's path tells them apart; cards of one file, their places in it.
  const std::string file = nameOf(c, entry);
  const bool sameFile = anotherIn([&](const Collection& o, const Entry& e) {
    return &o != &c && folderName(o) == folder && nameOf(o, e) == file;
  });
  const bool sameCollection = anotherIn(
      [&](const Collection& o, const Entry& e) { return &o == &c && nameOf(o, e) == file; });
  return entry.uid + "#" + (sameFile ? c.id : folder) + "/" + file +
         (sameCollection ? cardSuffix(entry) : "");
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
  found.reserve(collections.size());
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
    if (!c.isOf(kind)) continue;
    for (auto& [name, entry] : c.entries) {
      if (isOfKind(entry, kind)) found.emplace_back(&c, &entry);
      for (const Entry& card : entry.moreCards) {
        if (isOfKind(card, kind)) found.emplace_back(&c, &card);
      }
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
  calendar.source = CalendarSource{c.account, SourceType::local};
  calendar.allowsContentModifications = c.writable;
  return calendar;
}

std::string PimIndex::nameOf(const Collection& c, const Entry& entry) const {
  for (const auto& [name, e] : c.entries) {
    if (&e == &entry) return name;
    for (const Entry& card : e.moreCards) {
      if (&card == &entry) return name;
    }
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
  const auto why = update.readError ? update.readError : update.refused;
  return fail(defaultsFile().string() + " could not be written" + (why ? ": " + *why : ""));
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
  const auto found = identify(file);
  // A new file where the collection holds one of that name already (an item moved in beside
  // another with its UID) would replace that item.
  if (!expected && found && c.entries.count(name) != 0) {
    return notSaved((c.folder / name).string() + " holds another item already");
  }
  if (found != expected) return changedMeanwhile();
  std::string why;
  bool changed = false;
  // Another program may write the item between our reading and our replacing it: checked once
  // more at the last moment, so its change is not silently lost.
  const auto unchanged = [&] {
    if (beforeReplace_) beforeReplace_(file);
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

std::optional<PimError> PimIndex::write(Collection& c, const std::string& name,
                                        const ICalItem& item,
                                        const std::optional<Identity>& expected,
                                        PimWarnings& warnings) {
  auto text = itemText(item, c.folder / name);
  if (!text) return text.error();
  return write(c, name, text.value(), expected, warnings);
}

Result<std::string, PimError> PimIndex::itemText(const ICalItem& item, const fs::path& file) {
  std::string why;
  auto text = item.checkedText(&why);
  if (text) return std::move(*text);
  // The file the item was read from, not the one it is to be written to (a series split off, an
  // event moved to another calendar), which is not there.
  if (!item.origin().empty()) return fail(leftAsItIs(item.origin(), why));
  return fail(
      notSaved("nothing is written to " + file.parent_path().string() + ", because " + why + "."));
}

PimError PimIndex::leftAsItIs(const fs::path& file, const std::string& why) {
  return notSaved(file.string() + " is left as it is, because " + why + ".");
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
  // One neighbour writable by everyone must not make every new item so.
  for (const auto& [name, entry] : c.entries) {
    if (auto mode = modeOf(c.folder / name)) return *mode & 0777 & ~S_IWOTH;
  }
  return kNewItemFile & ~ProcessInfo::fileCreationMask().value_or(kUsualMask);
}

PimError PimIndex::changedMeanwhile() {
  return problem(PimError::Code::storage,
                 "The change could not be saved: another program changed the item at the same "
                 "time; try again.");
}

// ---- the index's own structures (under the exclusive lock)

void PimIndex::put(Collection& c, const std::string& name, Entry&& entry, PimWarnings&) {
  auto [at, added] = c.entries.try_emplace(name);
  Entry& slot = at->second;
  if (!added) {
    untrack(c, slot);
    forgetUid(c, slot);
  }
  slot = std::move(entry);
  track(c, slot);
  if (slot.readError && !slot.identity) {
    unreadable_.emplace(c.id, name);
  } else {
    unreadable_.erase({c.id, name});
  }
  auto& byUid = byUid_[c.kind == Kind::contacts ? 1 : 0];
  if (slot.parsed) byUid.emplace(slot.uid, std::make_pair(&c, &slot));
  for (Entry& card : slot.moreCards) byUid.emplace(card.uid, std::make_pair(&c, &card));
}

void PimIndex::drop(Collection& c, std::map<std::string, Entry>::iterator at) {
  untrack(c, at->second);
  unreadable_.erase({c.id, at->first});
  forgetUid(c, at->second);
  c.entries.erase(at);
}

void PimIndex::forgetUid(const Collection& c, const Entry& entry) {
  auto& map = byUid_[c.kind == Kind::contacts ? 1 : 0];
  auto [from, to] = map.equal_range(entry.uid);
  for (auto it = from; it != to; ++it) {
    if (it->second.second == &entry) {
      map.erase(it);
      break;
    }
  }
  for (const Entry& card : entry.moreCards) forgetUid(c, card);
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

}  // namespace tvrn::pimstore
