#include "pim/PimStore.h"

#include <atomic>
#include <nlohmann/json.hpp>

#include "pim/PimAccess.h"
#include "pim/PimCodec.h"
#include "platform/EnvironmentKey.h"
#include "platform/JsonObjectFile.h"
#include "platform/Paths.h"

namespace tvrn {
namespace pimstore {

namespace {

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
  if (config.readError || config.refused) return nullptr;
  lastFile = file;
  lastIdentity = identity;
  last = std::make_shared<const nlohmann::json>(config.object);
  return last;
}

// Why the file that would hold the item with this identifier could not be read, if it could not.
std::optional<std::string> unreadableFileFor(const PimIndex& index, std::string_view id,
                                             bool card) {
  if (auto unreadable = index.unreadableFileOf(id, card)) return unreadable;
  // An occurrence is in its series' file.
  const size_t slash = id.rfind('/');
  if (card || slash == std::string_view::npos) return std::nullopt;
  return index.unreadableFileOf(id.substr(0, slash), card);
}

// The event items an identifier fits, and the occurrence it names in them (what follows the last
// '/') when it names no item whole.
std::pair<std::vector<std::pair<Collection*, const Entry*>>, std::string_view> eventHolders(
    const PimIndex& index, std::string_view id) {
  auto whole = index.items(id, Kind::events);
  const size_t slash = id.rfind('/');
  if (!whole.empty() || slash == std::string_view::npos) return {std::move(whole), {}};
  auto series = index.items(id.substr(0, slash), Kind::events);
  std::erase_if(series, [](const auto& held) { return !held.second->repeats; });
  return {std::move(series), id.substr(slash + 1)};
}

// "The identifier 'x' fits 2 reminders: x#a in the list "A", x#b in the list "B". ..."
std::optional<std::string> severalFor(const PimIndex& index, std::string_view id, Kind kind) {
  auto [held, occurrence] = kind == Kind::events
                                ? eventHolders(index, id)
                                : std::make_pair(index.items(id, kind), std::string_view());
  if (held.size() < 2) return std::nullopt;
  const char* noun = kind == Kind::events  ? "events"
                     : kind == Kind::tasks ? "reminders"
                                           : "contacts";
  const char* place = kind == Kind::events  ? "calendar"
                      : kind == Kind::tasks ? "list"
                                            : "address book";
  std::string text = "The identifier '" + std::string(id) + "' fits " +
                     std::to_string(held.size()) + " " + noun + ":";
  for (size_t i = 0; i < held.size(); ++i) {
    const auto& [c, entry] = held[i];
    text += (i == 0 ? " " : ", ") + index.idOf(*c, *entry) +
            (occurrence.empty() ? "" : "/" + std::string(occurrence)) + " in the " + place + " \"" +
            c->title + "\"";
  }
  return text + ". Use the identifier of the one you mean.";
}

PimError missing(const PimIndex& index, std::string_view id, Kind kind, PimError notFound) {
  if (auto several = severalFor(index, id, kind)) {
    return problem(PimError::Code::ambiguous, *several);
  }
  const auto unreadable = unreadableFileFor(index, id, kind == Kind::contacts);
  return unreadable ? notSaved(*unreadable) : notFound;
}

}  // namespace

std::shared_ptr<const nlohmann::json> userSettings() { return userConfig(); }

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

std::optional<std::string> whyNotFound(const PimIndex& index, std::string_view id, Kind kind) {
  if (auto several = severalFor(index, id, kind)) return several;
  return unreadableFileFor(index, id, kind == Kind::contacts);
}

// An item that is not found may be in its file that could not be read: a change to it then fails
// as the write would, rather than as a missing item.
PimError eventNotFound(const PimIndex& index, std::string_view id) {
  return missing(index, id, Kind::events,
                 problem(PimError::Code::notFound, "The event does not exist."));
}

PimError reminderNotFound(const PimIndex& index, std::string_view id) {
  return missing(index, id, Kind::tasks,
                 problem(PimError::Code::notFound, "The reminder does not exist."));
}

PimError contactNotFound(const PimIndex& index, std::string_view id) {
  return missing(index, id, Kind::contacts,
                 problem(PimError::Code::notFound, "The contact does not exist."));
}

std::optional<Located> locateEvent(const PimIndex& index, std::string_view id) {
  auto [held, key] = eventHolders(index, id);
  if (held.size() != 1) return std::nullopt;
  auto [c, entry] = held.front();
  std::optional<PimTime> original;
  std::optional<Event> event;
  if (key.empty() && !entry->repeats) {
    event = entry->series;
  } else if (key.empty()) {
    event = entry->repeating->with([](const ICalItem& item) { return item.firstOccurrence(); });
    if (event) original = PimCodec::parseOccurrenceKey(event->id.substr(event->id.rfind('/') + 1));
  } else {
    original = PimCodec::parseOccurrenceKey(key);
    if (!original || PimCodec::occurrenceKey(*original, entry->series.allDay) != key) {
      return std::nullopt;
    }
    event =
        entry->repeating->with([&](const ICalItem& item) { return item.occurrence(*original); });
  }
  if (!event) return std::nullopt;
  event->id = idFor(index, *c, *entry, event->id);
  return Located{c, entry, original, std::move(*event)};
}

std::pair<Collection*, const Entry*> theItem(const PimIndex& index, std::string_view id,
                                             Kind kind) {
  auto held = index.items(id, kind);
  if (held.size() != 1) return {nullptr, nullptr};
  return held.front();
}

Reminder reminderOf(const PimIndex& index, const Collection& c, const Entry& entry) {
  Reminder reminder = *entry.reminder;
  reminder.id = index.idOf(c, entry);
  reminder.listId = c.id;
  reminder.listTitle = c.title;
  return reminder;
}

Contact contactOf(const PimIndex& index, const Collection& c, const Entry& entry) {
  Contact contact = entry.decoded->contact;
  contact.id = index.idOf(c, entry);
  contact.containerId = c.id;
  return contact;
}

std::string idFor(const PimIndex& index, const Collection& c, const Entry& entry,
                  const std::string& recordId) {
  return index.idOf(c, entry) + recordId.substr(std::min(entry.uid.size(), recordId.size()));
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

bool caselessEquals(std::string_view text, std::string_view other) {
  return pimstore::CaselessText(other, true).in(text);
}

PimStore::PimStore(std::filesystem::path folder) : PimStore(std::move(folder), Sources{}) {}

PimStore::PimStore(std::filesystem::path folder, Sources sources)
    : fixedFolder_(std::move(folder)),
      sources_(std::move(sources)),
      index_(std::make_unique<pimstore::PimIndex>(mutex_, sources_.beforeReplace,
                                                  sources_.beforeRead)) {}

PimStore::~PimStore() = default;

std::shared_ptr<const nlohmann::json> PimStore::settings() const {
  return sources_.settings ? sources_.settings() : pimstore::userSettings();
}

std::filesystem::path PimStore::folder() const { return *currentFolder(); }

std::shared_ptr<const std::filesystem::path> PimStore::currentFolder() const {
  if (!fixedFolder_.empty()) return {std::shared_ptr<void>(), &fixedFolder_};
  // Paths::appSupport() is named from these.
  static const std::vector<const char*> variables = {"HOME", "XDG_CONFIG_HOME"};
  struct Worked {
    std::optional<EnvironmentKey> key;
    std::shared_ptr<const std::filesystem::path> folder;
  };
  thread_local Worked worked;
  if (!worked.key || !worked.key->stillHolds()) {
    worked.key.emplace(variables);  // taken before the folder is named from them
    worked.folder = std::make_shared<const std::filesystem::path>(Paths::appSupport() / "pim");
  }
  return worked.folder;
}

void PimStore::stop() { index_->stop(); }

bool PimStore::stopped() const { return index_->stopped(); }

void PimStore::warmUp() const {
  PimWarnings warnings;
  {
    pimstore::UpdateTurn update{std::unique_lock(updating_), *index_};
    index_->update(*currentFolder(), settings(), warnings, false);
  }
  emitPimWarnings(warnings, sources_.warn);
}

}  // namespace tvrn
