#include <algorithm>
#include <map>
#include <set>

#include "pim/PimAccess.h"

namespace tvrn {

using namespace pimstore;

// ---- calendars and reminder lists

std::vector<Calendar> PimStore::calendars(EntityType type) const {
  const Kind kind = type == EntityType::event ? Kind::events : Kind::tasks;
  return reading([&](const PimIndex& index) {
    std::vector<Calendar> found;
    for (const Collection* c : index.ofKind(kind)) found.push_back(index.calendarOf(*c, kind));
    return found;
  });
}

std::optional<Calendar> PimStore::calendar(std::string_view id) const {
  return reading([&](const PimIndex& index) -> std::optional<Calendar> {
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
  return reading([&](const PimIndex& index) { return defaultIn(index, Kind::events); });
}

std::optional<Calendar> PimStore::defaultCalendarForNewReminders() const {
  return reading([&](const PimIndex& index) { return defaultIn(index, Kind::tasks); });
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
  return reading([&](const PimIndex& index) {
    std::vector<Reminder> found;
    for (auto [c, entry] : index.inOrder(Kind::tasks)) {
      if (!entry->task) continue;
      Reminder reminder = reminderOf(*c, *entry);
      if (matches(reminder, query)) found.push_back(std::move(reminder));
    }
    return found;
  });
}

std::optional<Reminder> PimStore::reminder(std::string_view id, PimUnreadable* unreadable) const {
  return reading([&](const PimIndex& index) -> std::optional<Reminder> {
    auto [c, entry] = index.item(id, false);
    if (entry == nullptr || c->kind != Kind::tasks || !entry->task) {
      noteUnreadable(unreadable, unreadableFileFor(index, id, false));
      return std::nullopt;
    }
    return reminderOf(*c, *entry);
  });
}

// ---- contacts

std::vector<ContactContainer> PimStore::containers() const {
  return reading([&](const PimIndex& index) {
    std::vector<ContactContainer> found;
    for (const Collection* c : index.ofKind(Kind::contacts)) {
      found.push_back({c->id, c->title, ContainerType::local});
    }
    return found;
  });
}

namespace {

std::vector<Contact> contactsWhere(
    const PimIndex& index, const std::function<bool(const Contact&)>& keep,
    const std::function<bool(const Collection&, const Entry&)>& also = nullptr) {
  std::vector<Contact> kept;
  for (auto [c, entry] : index.inOrder(Kind::contacts)) {
    if (entry->decoded->isGroup) continue;
    if (also && !also(*c, *entry)) continue;
    Contact contact = contactOf(*c, *entry);
    if (keep(contact)) kept.push_back(std::move(contact));
  }
  return kept;
}

}  // namespace

std::string PimStore::defaultContainerIdentifier() const {
  return reading([&](const PimIndex& index) { return defaultContainerIn(index); });
}

std::vector<ContactGroup> PimStore::groups() const {
  return reading([&](const PimIndex& index) {
    std::vector<ContactGroup> found;
    std::map<std::pair<std::string, std::string>, ContactGroup> categories;
    for (auto [c, entry] : index.inOrder(Kind::contacts)) {
      const auto& decoded = *entry->decoded;
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

std::vector<Contact> PimStore::contacts() const {
  return reading([&](const PimIndex& index) {
    return contactsWhere(index, [](const Contact&) { return true; });
  });
}

std::optional<Contact> PimStore::contact(std::string_view id, PimUnreadable* unreadable) const {
  return reading([&](const PimIndex& index) -> std::optional<Contact> {
    auto [c, entry] = index.item(id, true);
    if (entry == nullptr) noteUnreadable(unreadable, unreadableFileFor(index, id, true));
    if (entry == nullptr || entry->decoded->isGroup) return std::nullopt;
    return contactOf(*c, *entry);
  });
}

std::vector<Contact> PimStore::contactsMatchingName(std::string_view name) const {
  const CaselessText part(name, false);
  return reading([&](const PimIndex& index) {
    return contactsWhere(index, [&](const Contact& c) {
      return part.in(c.givenName) || part.in(c.middleName) || part.in(c.familyName) ||
             part.in(c.nickname) || part.in(c.organizationName) ||
             part.in(formattedFullName(c).value_or(""));
    });
  });
}

std::vector<Contact> PimStore::contactsMatchingEmailAddress(std::string_view address) const {
  const CaselessText whole(address, true);
  return reading([&](const PimIndex& index) {
    return contactsWhere(index, [&](const Contact& c) {
      return std::any_of(c.emailAddresses.begin(), c.emailAddresses.end(),
                         [&](const LabeledValue& email) { return whole.in(email.value); });
    });
  });
}

std::vector<Contact> PimStore::contactsInGroup(std::string_view groupId) const {
  return reading([&](const PimIndex& index) {
    auto [c, entry] = index.item(groupId, true);
    if (entry != nullptr && entry->decoded->isGroup) {
      const std::set<std::string> members(entry->decoded->memberIds.begin(),
                                          entry->decoded->memberIds.end());
      return contactsWhere(index,
                           [&](const Contact& contact) { return members.count(contact.id) != 0; });
    }
    return contactsWhere(
        index, [](const Contact&) { return true; },
        [&](const Collection& in, const Entry& e) {
          const auto& categories = e.decoded->categories;
          return std::any_of(categories.begin(), categories.end(), [&](const std::string& name) {
            return categoryGroupId(in, name) == groupId;
          });
        });
  });
}

std::vector<Contact> PimStore::contactsInContainer(std::string_view containerId) const {
  return reading([&](const PimIndex& index) {
    return contactsWhere(index, [&](const Contact& c) { return c.containerId == containerId; });
  });
}

}  // namespace tvrn
