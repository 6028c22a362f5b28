#include "pim/PimStore.h"

#include <atomic>
#include <nlohmann/json.hpp>

#include "pim/PimAccess.h"
#include "pim/PimCodec.h"
#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"

namespace tvrn {
namespace pimstore {

namespace {

std::atomic<std::shared_ptr<const PimStore::SettingsSource>> settingsSource;

// The user's config.json, parsed again only when it changed; nothing while it cannot be read,
// so the store keeps the folders it had rather than turning to the default ones.
std::shared_ptr<const nlohmann::json> userConfig() {
  static std::mutex mutex;
  static fs::path lastFile;
  static std::optional<Identity> lastIdentity;
  static std::shared_ptr<const nlohmann::json> last;
  const fs::path file = Paths::appSupport() / "config.json";
  const auto identity = identify(file);
  std::lock_guard lock(mutex);
  if (last && file == lastFile && identity == lastIdentity) return last;
  const auto config = JsonObjectFile::read(file);
  if (config.readError) return nullptr;
  lastFile = file;
  lastIdentity = identity;
  last = std::make_shared<const nlohmann::json>(config.object);
  return last;
}

PimError missing(const PimIndex& index, std::string_view id, PimError notFound) {
  const auto unreadable = unreadableFileFor(index, id, false);
  return unreadable ? notSaved(*unreadable) : notFound;
}

}  // namespace

std::shared_ptr<const nlohmann::json> currentSettings() {
  const auto source = settingsSource.load();
  return source && *source ? (*source)() : userConfig();
}

std::optional<PimError> checkWritable(const PimIndex& index, Kind kind, std::string_view id,
                                      bool required) {
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

std::optional<std::string> unreadableFileFor(const PimIndex& index, std::string_view id,
                                             bool card) {
  if (auto unreadable = index.unreadableFileOf(id, card)) return unreadable;
  // An occurrence is in its series' file.
  const size_t slash = id.rfind('/');
  if (card || slash == std::string_view::npos) return std::nullopt;
  return index.unreadableFileOf(id.substr(0, slash), card);
}

// An item that is not found may be in its file that could not be read: a change to it then fails
// as the write would, rather than as a missing item.
PimError eventNotFound(const PimIndex& index, std::string_view id) {
  return missing(index, id, problem(PimError::Code::notFound, "The event does not exist."));
}

PimError reminderNotFound(const PimIndex& index, std::string_view id) {
  return missing(index, id, problem(PimError::Code::notFound, "The reminder does not exist."));
}

std::optional<Located> locateEvent(const PimIndex& index, std::string_view id) {
  auto [c, entry] = index.item(id, false);
  if (entry != nullptr && c->ofEvents() && entry->isEvent()) {
    if (!entry->repeats) return Located{c, entry, std::nullopt, entry->series};
    auto first =
        entry->repeating->with([](const ICalItem& item) { return item.firstOccurrence(); });
    if (!first) return std::nullopt;
    auto original = PimCodec::parseOccurrenceKey(first->id.substr(first->id.rfind('/') + 1));
    return Located{c, entry, original, std::move(*first)};
  }
  const size_t slash = id.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::tie(c, entry) = index.item(id.substr(0, slash), false);
  const auto original = PimCodec::parseOccurrenceKey(id.substr(slash + 1));
  if (entry == nullptr || !original || !c->ofEvents() || !entry->repeats ||
      PimCodec::occurrenceKey(*original, entry->series.allDay) != id.substr(slash + 1)) {
    return std::nullopt;
  }
  auto occurrence =
      entry->repeating->with([&](const ICalItem& item) { return item.occurrence(*original); });
  if (!occurrence) return std::nullopt;
  return Located{c, entry, original, std::move(*occurrence)};
}

Reminder reminderOf(const Collection& c, const Entry& entry) {
  Reminder reminder = *entry.reminder;
  reminder.listId = c.id;
  reminder.listTitle = c.title;
  return reminder;
}

Contact contactOf(const Collection& c, const Entry& entry) {
  Contact contact = entry.decoded->contact;
  contact.containerId = c.id;
  return contact;
}

std::string categoryGroupId(const Collection& c, const std::string& category) {
  return c.id + "#" + category;
}

std::string defaultContainerIn(const PimIndex& index) {
  if (const Collection* chosen = index.collection(index.defaultFor("contacts"), Kind::contacts)) {
    return chosen->id;
  }
  const auto books = index.ofKind(Kind::contacts);
  return books.empty() ? std::string() : books.front()->id;
}

}  // namespace pimstore

bool caselessContains(std::string_view text, std::string_view part) {
  return pimstore::CaselessText(part, false).in(text);
}

PimStore::PimStore(std::filesystem::path folder)
    : fixedFolder_(std::move(folder)), index_(std::make_unique<pimstore::PimIndex>(mutex_)) {}

PimStore::~PimStore() = default;

PimStore& PimStore::shared() {
  // Never destroyed, so a request still running while the process exits finds it.
  static auto* store = new PimStore();
  return *store;
}

void PimStore::setSettingsSource(SettingsSource source) {
  pimstore::settingsSource.store(std::make_shared<const SettingsSource>(std::move(source)));
}

std::filesystem::path PimStore::folder() const {
  return fixedFolder_.empty() ? Paths::appSupport() / "pim" : fixedFolder_;
}

}  // namespace tvrn
