// How the store's calls reach the index, and the pieces its query and write files share.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>

#include "pim/PimIndex.h"
#include "platform/FileWatch.h"

namespace tvrn {

namespace pimstore {

// A turn at the store's update mutex. Its end wakes the calls that wait for a walk of the folders
// (see PimStore::reading), as the index's walks do at each kind of folder they finish.
struct UpdateTurn {
  std::unique_lock<std::mutex> held;
  PimIndex& index;
  ~UpdateTurn() {
    if (!held.owns_lock()) return;
    held.unlock();
    index.noteProgress();
  }
};

// The user's config.json, for a store handed no settings (see PimStore::Sources).
std::shared_ptr<const nlohmann::json> userSettings();

// Whether items may be put into (`required`) or taken out of this collection.
std::optional<PimError> checkWritable(const PimIndex& index, Kind kind, std::string_view id,
                                      bool required);
// Why no item is found by an identifier, when "not found" would not say it: it fits several
// items (the text names each by its own identifier), or the file that would hold the item could
// not be read.
PimError eventNotFound(const PimIndex& index, std::string_view id);
PimError reminderNotFound(const PimIndex& index, std::string_view id);
PimError contactNotFound(const PimIndex& index, std::string_view id);
std::optional<std::string> whyNotFound(const PimIndex& index, std::string_view id, Kind kind);
// Hands a lookup's caller the reason, keeping one it holds already.
inline void noteUnreadable(PimUnreadable* unreadable, std::optional<std::string> why) {
  if (unreadable != nullptr && !*unreadable) *unreadable = std::move(why);
}

// An event item with, for a series, the occurrence an identifier names.
struct Located {
  Collection* collection = nullptr;
  const Entry* entry = nullptr;
  std::optional<PimTime> original;  // for an occurrence
  Event event;
};
std::optional<Located> locateEvent(const PimIndex& index, std::string_view id);
// The one item of a kind an identifier names; none when it names none or several.
std::pair<Collection*, const Entry*> theItem(const PimIndex& index, std::string_view id, Kind kind);

// The records of an item, named by its identifier (PimIndex::idOf).
Reminder reminderOf(const PimIndex& index, const Collection& c, const Entry& entry);
Contact contactOf(const PimIndex& index, const Collection& c, const Entry& entry);
// A record id the item's file gives (its UID, for an occurrence followed by '/' and the
// occurrence) with the item's identifier in place of the UID.
std::string idFor(const PimIndex& index, const Collection& c, const Entry& entry,
                  const std::string& recordId);
std::string categoryGroupId(const Collection& c, const std::string& category);
std::string defaultContainerIn(const PimIndex& index);

// Makes or changes a collection folder: its metadata files only.
Result<const Collection*, PimError> saveCollection(PimIndex& index, const std::string& givenId,
                                                   const std::string& title,
                                                   const std::optional<std::vector<double>>& color,
                                                   Kind kind, PimWarnings& warnings);

}  // namespace pimstore

template <typename Work>
auto PimStore::reading(pimstore::Kind kind, Work&& work) const {
  PimWarnings warnings;
  const auto folder = currentFolder();
  const std::filesystem::path& here = *folder;
  const auto settings = this->settings();
  auto result = [&] {
    {
      std::shared_lock lock(mutex_);
      if (!index_->stale(here, settings)) return work(std::as_const(*index_));
    }
    {
      // A walk of the folders under way (the start-up's, above all) does not hold up a call whose
      // folders it has read already: it answers as it would have a moment before the walk's end,
      // and what other programs changed meanwhile is seen by the next call.
      pimstore::UpdateTurn update{std::unique_lock(updating_, std::defer_lock), *index_};
      for (;;) {
        const auto seen = index_->progress();
        if (update.held.try_lock()) break;
        {
          std::shared_lock lock(mutex_);
          if (index_->readAlready(kind, here, settings)) return work(std::as_const(*index_));
        }
        index_->awaitProgress(seen);
      }
      index_->update(here, settings, warnings);
    }
    Readiness::ownChange();  // an update may have made folders
    std::shared_lock lock(mutex_);
    return work(std::as_const(*index_));
  }();
  emitPimWarnings(warnings, sources_.warn);
  return result;
}

template <typename Seen, typename Work>
auto PimStore::changing(Seen&& seen, Work&& work) {
  PimWarnings warnings;
  const auto folder = currentFolder();
  const std::filesystem::path& here = *folder;
  const auto settings = this->settings();
  auto result = [&] {
    // Only the holder of `updating_` changes the index, so the work reads it without the lock
    // and takes the exclusive one only to put a changed item in place.
    pimstore::UpdateTurn update{std::unique_lock(updating_), *index_};
    auto before = seen(std::as_const(*index_));
    index_->update(here, settings, warnings);
    auto done = work(*index_, warnings, std::move(before));
    Readiness::ownChange();
    return done;
  }();
  emitPimWarnings(warnings, sources_.warn);
  return result;
}

template <typename Work>
auto PimStore::writing(Work&& work) {
  return changing(
      [](const pimstore::PimIndex&) { return 0; },
      [&](pimstore::PimIndex& index, PimWarnings& warnings, int) { return work(index, warnings); });
}

}  // namespace tvrn
