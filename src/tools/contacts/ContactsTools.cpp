#include "tools/contacts/ContactsTools.h"

#include <nlohmann/json.hpp>
#include <string>

#include "bridges/HelperProxy.h"
#include "core/ToolSchema.h"
#include "tools/common/HelperTools.h"

namespace tvrn::ContactsTools {
namespace {

using HelperTools::forwardTo;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

ToolHandler listContacts(HelperProxy& helper) { return forwardTo(helper, "list_contacts"); }
ToolHandler searchContacts(HelperProxy& helper) { return forwardTo(helper, "search_contacts"); }
ToolHandler getContact(HelperProxy& helper) { return forwardTo(helper, "get_contact"); }

}  // namespace

void registerTools(ToolRegistry& registry, HelperProxy& helper) {
  ToolRegistry::ServiceScope scope(registry, "contacts");
  registry.registerTool(
      {"list_contacts", "Lists contacts from the macOS Contacts app. Optionally filter by group.",
       schema({{"limit", property("integer", "Max contacts to return (default 100)")},
               {"group_name", property("string", "Filter by group name (optional)")}},
              json::array()),
       ToolKind::readOnly, listContacts(helper)});
  registry.registerTool(
      {"search_contacts", "Searches contacts by name, email, or phone number.",
       schema({{"query", property("string", "Name, email, or phone to search for")},
               {"limit", property("integer", "Max results (default 50)")}},
              json::array({"query"})),
       ToolKind::readOnly, searchContacts(helper)});
  registry.registerTool(
      {"get_contact", "Gets full details for a contact by identifier.",
       schema({{"contact_id",
                property("string", "Contact identifier from list_contacts or search_contacts")}},
              json::array({"contact_id"})),
       ToolKind::readOnly, getContact(helper)});
}

}  // namespace tvrn::ContactsTools
