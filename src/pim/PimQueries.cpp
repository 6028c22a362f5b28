#include <algorithm>
#include <map>
#include <set>

#include "pim/PimAccess.h"

namespace tvrn {

using namespace pimstore;

// ---- calendars and reminder lists

std::vector<Calendar> PimStore::calendars(EntityType type) const {
  const Kind kind = type == EntityType::event ? Kind::events : Kind::tasks;
  return reading(kind, [&](const PimIndex& index) {
    const auto collections = index.ofKind(kind);
    std::vector<Calendar> found;
    found.reserve(collections.size());
    for (const Collection* c : collections) found.push_back(index.calendarOf(*c, kind));
    return found;
  });
}

std::optional<Calendar> PimStore::calendar(std::string_view id) const {
  return reading(Kind::events, [&](const PimIndex& index) -> std::optional<Calendar> {
    const Collection* c = index.collection(id);
    if (c == nullptr || c->kind == Kind::contacts) return std::nullopt;
    return index.calendarOf(*c);
  });
}

namespace {

std::optional<Calendar> defaultIn(const PimIndex& index, Kind kind) {
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

std::optional<Calendar> PimStore::defaultCalendarForNewEvents() const {
  return reading(Kind::events,
                 [&](const PimIndex& index) { return defaultIn(index, Kind::events); });
}

std::optional<Calendar> PimStore::defaultCalendarForNewReminders() const {
  return reading(Kind::tasks, [&](const PimIndex& index) { return defaultIn(index, Kind::tasks); });
}

// ---- reminders

namespace {

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

}  // namespace

std::vector<Reminder> PimStore::reminders(const ReminderQuery& query) const {
  return reading(Kind::tasks, [&](const PimIndex& index) {
    std::vector<Reminder> found;
    for (auto [c, entry] : index.inOrder(Kind::tasks)) {
      Reminder reminder = reminderOf(index, *c, *entry);
      if (matches(reminder, query)) found.push_back(std::move(reminder));
    }
    return found;
  });
}

std::optional<Reminder> PimStore::reminder(std::string_view id, PimUnreadable* unreadable) const {
  return reading(Kind::tasks, [&](const PimIndex& index) -> std::optional<Reminder> {
    auto [c, entry] = theItem(index, id, Kind::tasks);
    if (entry == nullptr) {
      noteUnreadable(unreadable, whyNotFound(index, id, Kind::tasks));
      return std::nullopt;
    }
    return reminderOf(index, *c, *entry);
  });
}

// ---- contacts

std::vector<ContactContainer> PimStore::containers() const {
  return reading(Kind::contacts, [&](const PimIndex& index) {
    std::vector<ContactContainer> found;
    for (const Collection* c : index.ofKind(Kind::contacts)) {
      found.push_back({c->id, c->title, ContainerType::local});
    }
    return found;
  });
}

namespace {

std::vector<Contact> contactsWhere(
    const PimIndex& index, const std::function<bool(const Collection&, const Entry&)>& keep) {
  std::vector<Contact> kept;
  for (auto [c, entry] : index.inOrder(Kind::contacts)) {
    if (entry->decoded->isGroup || !keep(*c, *entry)) continue;
    kept.push_back(contactOf(index, *c, *entry));
  }
  return kept;
}

bool anyContact(const Collection&, const Entry&) { return true; }

}  // namespace

std::string PimStore::defaultContainerIdentifier() const {
  return reading(Kind::contacts, [&](const PimIndex& index) { return defaultContainerIn(index); });
}

std::vector<ContactGroup> PimStore::groups() const {
  return reading(Kind::contacts, [&](const PimIndex& index) {
    std::vector<ContactGroup> found;
    std::map<std::pair<std::string, std::string>, ContactGroup> categories;
    for (auto [c, entry] : index.inOrder(Kind::contacts)) {
      const auto& decoded = *entry->decoded;
      if (decoded.isGroup) {
        found.push_back({index.idOf(*c, *entry), decoded.groupName, c->id, decoded.memberIds});
        continue;
      }
      for (const auto& category : decoded.categories) {
        auto& group = categories[{c->id, category}];
        group.id = categoryGroupId(*c, category);
        group.name = category;
        group.containerId = c->id;
        group.memberIds.push_back(index.idOf(*c, *entry));
      }
    }
    for (auto& [key, group] : categories) found.push_back(std::move(group));
    return found;
  });
}

std::vector<Contact> PimStore::contacts() const {
  return reading(Kind::contacts,
                 [&](const PimIndex& index) { return contactsWhere(index, anyContact); });
}

std::optional<Contact> PimStore::contact(std::string_view id, PimUnreadable* unreadable) const {
  return reading(Kind::contacts, [&](const PimIndex& index) -> std::optional<Contact> {
    auto [c, entry] = theItem(index, id, Kind::contacts);
    if (entry == nullptr) noteUnreadable(unreadable, whyNotFound(index, id, Kind::contacts));
    if (entry == nullptr || entry->decoded->isGroup) return std::nullopt;
    return contactOf(index, *c, *entry);
  });
}

std::vector<Contact> PimStore::contactsMatchingName(std::string_view name) const {
  const CaselessText part(name, false);
  return reading(Kind::contacts, [&](const PimIndex& index) {
    return contactsWhere(index, [&](const Collection&, const Entry& entry) {
      const Contact& c = entry.decoded->contact;
      return part.in(c.givenName) || part.in(c.middleName) || part.in(c.familyName) ||
             part.in(c.nickname) || part.in(c.organizationName) ||
             part.in(formattedFullName(c).value_or("")) || part.in(entry.decoded->fullName);
    });
  });
}

std::vector<Contact> PimStore::contactsMatchingEmailAddress(std::string_view address) const {
  const CaselessText whole(address, true);
  return reading(Kind::contacts, [&](const PimIndex& index) {
    return contactsWhere(index, [&](const Collection&, const Entry& entry) {
      const auto& addresses = entry.decoded->contact.emailAddresses;
      return std::any_of(addresses.begin(), addresses.end(),
                         [&](const LabeledValue& email) { return whole.in(email.value); });
    });
  });
}

std::vector<Contact> PimStore::contactsInGroup(std::string_view groupId) const {
  return reading(Kind::contacts, [&](const PimIndex& index) {
    auto [c, entry] = theItem(index, groupId, Kind::contacts);
    if (entry != nullptr && entry->decoded->isGroup) {
      const std::set<std::string> members(entry->decoded->memberIds.begin(),
                                          entry->decoded->memberIds.end());
      return contactsWhere(
          index, [&](const Collection&, const Entry& e) { return members.count(e.uid) != 0; });
    }
    return contactsWhere(index, [&](const Collection& in, const Entry& e) {
      const auto& categories = e.decoded->categories;
      return std::any_of(categories.begin(), categories.end(), [&](const std::string& name) {
        return categoryGroupId(in, name) == groupId;
      });
    });
  });
}

std::vector<Contact> PimStore::contactsInContainer(std::string_view containerId) const {
  return reading(Kind::contacts, [&](const PimIndex& index) {
    return contactsWhere(index,
                         [&](const Collection& c, const Entry&) { return c.id == containerId; });
  });
}

}  // namespace tvrn
