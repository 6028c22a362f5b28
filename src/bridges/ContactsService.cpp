#include "bridges/ContactsService.h"

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "bridges/LocalDataArgs.h"
#include "bridges/PlatformStores.h"
#include "core/JSONText.h"

namespace tvrn::LocalData {
namespace {

using nlohmann::json;

constexpr std::size_t kListLimit = 100;
constexpr std::size_t kSearchLimit = 50;

// A negative "limit" keeps nothing rather than everything.
std::size_t limitOf(const json& args, std::size_t fallback) {
  const auto limit = intArg(args, "limit");
  if (!limit) return fallback;
  return *limit <= 0 ? 0 : static_cast<std::size_t>(*limit);
}

// The name a person reads: the formatted full name, else the organisation's.
std::string displayName(const Contact& contact) {
  return formattedFullName(contact).value_or(contact.organizationName);
}

std::string birthdayString(const std::optional<DateComponents>& birthday) {
  if (!birthday) return {};
  auto twoDigits = [](const std::optional<int>& part) {
    if (!part) return std::string("??");
    std::string text = std::to_string(*part);
    return text.size() < 2 ? "0" + text : text;
  };
  const std::string year = birthday->year ? std::to_string(*birthday->year) : "????";
  return year + "-" + twoDigits(birthday->month) + "-" + twoDigits(birthday->day);
}

json labeledValues(const std::vector<LabeledValue>& values) {
  json list = json::array();
  for (const auto& entry : values) list.push_back({{"label", entry.label}, {"value", entry.value}});
  return list;
}

json addressRecords(const std::vector<PostalAddress>& addresses) {
  json list = json::array();
  for (const auto& address : addresses) {
    list.push_back({{"label", address.label},
                    {"street", address.street},
                    {"city", address.city},
                    {"state", address.state},
                    {"zip", address.postalCode},
                    {"country", address.country}});
  }
  return list;
}

json contactToDict(const Contact& contact) {
  return {{"id", contact.id},
          {"full_name", displayName(contact)},
          {"first_name", contact.givenName},
          {"last_name", contact.familyName},
          {"company", contact.organizationName},
          {"emails", labeledValues(contact.emailAddresses)},
          {"phones", labeledValues(contact.phoneNumbers)},
          {"addresses", addressRecords(contact.postalAddresses)},
          {"birthday", birthdayString(contact.birthday)}};
}

// The first `limit` contacts, in the order given, as records, as many as one reply holds beside
// `besides` bytes of other members.
BoundedRecords contactRecords(const std::vector<Contact>& contacts, std::size_t limit,
                              std::size_t besides = kListingMembersBytes) {
  BoundedRecords records(besides);
  const std::size_t kept = std::min(limit, contacts.size());
  for (std::size_t i = 0; i < kept; ++i) {
    if (!records.add(contactToDict(contacts[i]))) break;
  }
  return records;
}

// The first `limit` contacts as the reply lists them, saying how many more there were: `how`
// to see them, or `narrower` where one reply holds no more.
json listReply(const std::vector<Contact>& contacts, std::size_t limit, std::string_view how,
               std::string_view narrower, std::size_t besides = kListingMembersBytes) {
  BoundedRecords records = contactRecords(contacts, limit, besides);
  const bool full = records.full();
  const auto count = records.size();
  json reply{{"contacts", std::move(records).take()}, {"count", count}};
  if (contacts.size() > count) {
    reply["truncated"] = true;
    reply["note"] = full ? cutNote(count, contacts.size(), false, "contacts", narrower)
                         : leftOutNote(count, contacts.size(), false, "contacts", how);
  }
  return reply;
}

// The group a caller names (the one of that name, else the first whose name holds it); the
// default container's contacts otherwise.
std::vector<Contact> contactsToList(const PimStore& data, const std::string& groupName) {
  if (!groupName.empty()) {
    const auto named = pickedByName(data.groups(), groupName,
                                    [](const ContactGroup& group) { return group.name; });
    if (!named.empty()) return data.contactsInGroup(named.front().id);
  }
  return data.contactsInContainer(data.defaultContainerIdentifier());
}

// Contacts found by name and by e-mail address, each once, in display-name order (by code point,
// so the order does not move with the user's language).
std::vector<Contact> searchByNameAndEmail(const PimStore& data, const std::string& query) {
  std::vector<Contact> found = data.contactsMatchingName(query);
  std::vector<Contact> byEmail = data.contactsMatchingEmailAddress(query);
  found.insert(found.end(), std::make_move_iterator(byEmail.begin()),
               std::make_move_iterator(byEmail.end()));
  std::set<std::string> seen;
  std::erase_if(found, [&](const Contact& contact) { return !seen.insert(contact.id).second; });
  std::stable_sort(found.begin(), found.end(), [](const Contact& a, const Contact& b) {
    return displayName(a) < displayName(b);
  });
  return found;
}

bool refusedOutright(AuthorizationStatus status) {
  return status == AuthorizationStatus::restricted || status == AuthorizationStatus::denied;
}

}  // namespace

Reply withContactsAccess(const ContactStore& store, const std::function<Reply()>& work) {
  if (refusedOutright(store.authorizationStatus())) return permissionError(contactsDeniedMsg());
  // Asked on every call: the user may have withdrawn access since the last one.
  if (!store.requestAccess().granted) return permissionError(contactsDeniedMsg());
  return work();
}

Reply contactsList(PlatformStores& stores, const json& args) {
  const std::size_t limit = limitOf(args, kListLimit);
  const std::string groupName = stringArgOrEmpty(args, "group_name");
  return withContactsAccess(stores.contacts, [&] {
    const auto contacts = contactsToList(stores.data, groupName);
    return ok(listReply(contacts, limit,
                        "name a group (group_name) or ask for a higher limit (limit)",
                        "name a group (group_name)"));
  });
}

Reply contactsSearch(PlatformStores& stores, const json& args) {
  const std::string query = stringArgOrEmpty(args, "query");
  if (query.empty()) return error("query is required");
  const std::size_t limit = limitOf(args, kSearchLimit);
  return withContactsAccess(stores.contacts, [&] {
    const auto found = searchByNameAndEmail(stores.data, query);
    // The query comes back in the reply, so it takes of the reply's room.
    json result = listReply(
        found, limit, "search for more of the name or address, or ask for a higher limit (limit)",
        "search for more of the name or address",
        kListingMembersBytes + JSONText::escapedSize(json(query).dump(
                                   -1, ' ', false, json::error_handler_t::replace)));
    result["query"] = query;
    return ok(std::move(result));
  });
}

Reply contactsGet(PlatformStores& stores, const json& args) {
  const std::string contactId = stringArgOrEmpty(args, "contact_id");
  if (!contactId.empty()) {
    return withContactsAccess(stores.contacts, [&] {
      PimUnreadable unreadable;
      const auto contact = stores.data.contact(contactId, &unreadable);
      if (unreadable) return error("Cannot get contact: " + *unreadable);
      if (!contact) return error("Contact '" + contactId + "' not found");
      return ok(contactToDict(*contact));
    });
  }
  const std::string name = stringArgOrEmpty(args, "name");
  if (name.empty()) return error("Provide contact_id or name");
  return withContactsAccess(stores.contacts, [&] {
    const auto matches = stores.data.contactsMatchingName(name);
    if (matches.empty()) return error("No contact found matching '" + name + "'");
    if (matches.size() == 1) return ok(contactToDict(matches.front()));
    BoundedRecords records = contactRecords(matches, matches.size());
    const std::size_t count = records.size();
    json result{{"matches", std::move(records).take()},
                {"count", count},
                {"note",
                 "Multiple contacts found — call get_contact with contact_id to get full details "
                 "for one."}};
    if (count < matches.size()) {
      result["truncated"] = true;
      result["note"] = result["note"].get<std::string>() + " " +
                       cutNote(count, matches.size(), false, "contacts", "give more of the name");
    }
    return ok(std::move(result));
  });
}

Reply probeContactsTCC(PlatformStores& stores) {
  return probeAccess(stores.gate, "contacts", stores.contacts.authorizationStatus(),
                     tccContactsString, PrivacyEntity::contacts);
}

}  // namespace tvrn::LocalData
