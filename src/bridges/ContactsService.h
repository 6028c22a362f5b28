// The address book as the data methods see it: listing, searching and reading contacts, each call
// first passing the contacts permission. Nothing here changes a contact.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>

#include "bridges/LocalDataReply.h"
#include "bridges/PlatformStores.h"

namespace tvrn::LocalData {

// "list_contacts": {"limit"?: int (100), "group_name"?: text}.
Reply contactsList(PlatformStores& stores, const nlohmann::json& args);
// "search_contacts": {"query": text, "limit"?: int (50)}.
Reply contactsSearch(PlatformStores& stores, const nlohmann::json& args);
// "get_contact": {"contact_id"?: text, "name"?: text}; the id wins.
Reply contactsGet(PlatformStores& stores, const nlohmann::json& args);
// "probe_contacts_tcc": the permission word, or "requested" after asking in the background.
Reply probeContactsTCC(PlatformStores& stores);

// Runs `work` on this thread once the user allows access to contacts, asking on every call unless
// access is denied or restricted; otherwise answers the permission failure without running it.
Reply withContactsAccess(const ContactStore& store, const std::function<Reply()>& work);

}  // namespace tvrn::LocalData
