// The contact tools: listing, searching and reading the user's address book, answered by the
// contacts data service through the helper bridge.
#pragma once

#include "bridges/HelperProxy.h"
#include "core/ToolRegistry.h"

namespace tvrn::ContactsTools {

// Adds list_contacts, search_contacts and get_contact, all read-only, in that order.
void registerTools(ToolRegistry& registry, HelperProxy& helper);

}  // namespace tvrn::ContactsTools
