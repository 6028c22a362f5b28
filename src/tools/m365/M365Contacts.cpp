#include "tools/m365/M365Contacts.h"

#include <cstdint>
#include <vector>

#include "base/PercentEncoding.h"
#include "base/Strings.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "tools/common/SettingsHandler.h"
#include "tools/m365/M365Account.h"
#include "tools/m365/M365Graph.h"
#include "tools/m365/M365Records.h"
#include "tools/m365/M365Texts.h"

namespace tvrn::M365Tools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = M365Texts;

constexpr const char* kContactFields =
    "id,displayName,givenName,surname,emailAddresses,mobilePhone,businessPhones,jobTitle,"
    "companyName";

// The non-empty texts among the members, in the order given.
std::vector<std::string> presentTexts(const json& object, std::initializer_list<const char*> keys) {
  std::vector<std::string> texts;
  for (const char* key : keys) {
    if (auto text = textOr(object, key); !text.empty()) texts.push_back(std::move(text));
  }
  return texts;
}

std::string addressLine(const json& contact, const char* label, const char* key) {
  const auto parts =
      presentTexts(objectAt(contact, key), {"street", "city", "state", "countryOrRegion"});
  return parts.empty() ? std::string() : label + Strings::joined(parts, ", ");
}

ToolResult m365ListContacts(const ConfigManager& settings, const Params::Arguments& arguments) {
  const std::int64_t limit = boundedInt("limit", arguments, 50, 100);
  auto token = m365AccessToken(settings);
  if (!token) return fail(token.error());
  const std::string url = graphRoot() + "/me/contacts?$select=" + kContactFields +
                          "&$top=" + std::to_string(limit) + "&$orderby=displayName";
  return listing(m365GET(url, token.value(), false), Texts::kUnexpectedFromGraph,
                 Texts::kNoContacts, Texts::contactsFound, formatM365Contact);
}

ToolResult m365SearchContacts(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    const std::string url = graphRoot() + "/me/contacts?$search=" + quotedSearch("", query) +
                            "&$select=" + kContactFields + "&$top=25";
    return listing(
        m365GET(url, token.value(), true), Texts::kUnexpectedFromGraph, Texts::noContactsFor(query),
        [&](std::size_t count) { return Texts::contactsFoundFor(count, query); },
        formatM365Contact);
  });
}

ToolResult m365GetContact(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("id", arguments, [&](const std::string& id) -> ToolResult {
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    GraphBody body = m365GET(graphRoot() + "/me/contacts/" + PercentEncoding::pathSegment(id),
                             token.value(), false);
    if (!body) return fail(body.error());
    const json contact = json::parse(body.value(), nullptr, false);
    if (!contact.is_object()) return fail(failure(Texts::kUnexpectedFromGraph));
    std::vector<std::string> lines{formatM365Contact(contact)};
    if (const auto notes = textOr(contact, "personalNotes"); !notes.empty()) {
      lines.push_back("\nNotes:\n" + notes);
    }
    for (auto line : {addressLine(contact, "Home: ", "homeAddress"),
                      addressLine(contact, "Office: ", "businessAddress")}) {
      if (!line.empty()) lines.push_back(std::move(line));
    }
    return ToolResponse::text(Strings::joined(lines, "\n"));
  });
}

ToolResult teamsSendChannelMessage(const ConfigManager& settings,
                                   const Params::Arguments& arguments) {
  return Params::withRequired3(
      "team_id", "channel_id", "text", arguments,
      [&](const std::string& team, const std::string& channel,
          const std::string& text) -> ToolResult {
        if (!Params::optionalBool("confirm", arguments, false)) {
          return ToolResponse::text(Texts::channelPreview(text, channel, team));
        }
        auto token = m365AccessToken(settings);
        if (!token) return fail(token.error());
        const std::string url = graphRoot() + "/teams/" + PercentEncoding::pathSegment(team) +
                                "/channels/" + PercentEncoding::pathSegment(channel) + "/messages";
        auto sent = m365PostMessage(url, token.value(), text);
        if (!sent) return fail(sent.error());
        return ToolResponse::text(Texts::channelMessageSent(sent.value()));
      });
}

}  // namespace

std::string formatM365Contact(const json& contact) {
  std::vector<std::string> lines{textOr(contact, "displayName")};
  if (const auto role = presentTexts(contact, {"jobTitle", "companyName"}); !role.empty()) {
    lines.push_back(Strings::joined(role, " @ "));
  }
  std::vector<std::string> addresses;
  for (const auto& entry : arrayAt(contact, "emailAddresses")) {
    if (auto address = textOf(entry, "address")) addresses.push_back(std::move(*address));
  }
  if (!addresses.empty()) lines.push_back("Email: " + Strings::joined(addresses, ", "));
  if (const auto mobile = textOr(contact, "mobilePhone"); !mobile.empty()) {
    lines.push_back("Mobile: " + mobile);
  }
  std::vector<std::string> phones;
  for (const auto& phone : arrayAt(contact, "businessPhones")) {
    if (phone.is_string()) phones.push_back(phone.get<std::string>());
  }
  if (!phones.empty()) lines.push_back("Phone: " + Strings::joined(phones, ", "));
  if (const auto id = textOr(contact, "id"); !id.empty()) lines.push_back("ID: " + id);
  return Strings::joined(lines, "\n");
}

void registerContactTools(ToolRegistry& registry) {
  const ConfigManager& settings = *registry.context().settings;
  registry.registerTool(
      {"teams_send_channel_message",
       "Sends a text message to a Microsoft Teams channel via Graph API. Requires "
       "connect_m365_account with Chat.ReadWrite / ChannelMessage.Send permissions. team_id and "
       "channel_id must come from teams_list_teams / teams_list_channels. First call returns a "
       "preview; set confirm=true to send.",
       schema({{"team_id", property("string", "Team ID from teams_list_teams")},
               {"channel_id", property("string", "Channel ID from teams_list_channels")},
               {"text", property("string", "Plain-text message body")},
               {"confirm", property("boolean", "Set true to send; false returns preview")}},
              json::array({"team_id", "channel_id", "text"})),
       ToolKind::write, withSettings(settings, teamsSendChannelMessage),
       // Goes through Microsoft 365, but is a Teams message: the Teams switch turns it off.
       "teams"});
  registry.registerTool(
      {"m365_list_contacts", "List contacts from your Microsoft 365 / Outlook address book.",
       schema({{"limit", property("integer", "Max contacts to return (default 50, max 100)")}},
              json::array()),
       ToolKind::readOnly, withSettings(settings, m365ListContacts)});
  registry.registerTool(
      {"m365_search_contacts",
       "Search contacts in your Microsoft 365 address book by name, email, or company.",
       schema({{"query", property("string", "Search term — name, email, or company")}},
              json::array({"query"})),
       ToolKind::readOnly, withSettings(settings, m365SearchContacts)});
  registry.registerTool(
      {"m365_get_contact",
       "Get full details of a specific Microsoft 365 contact by ID. Get the ID from "
       "m365_list_contacts or m365_search_contacts.",
       schema({{"id",
                property("string", "Contact ID from m365_list_contacts or m365_search_contacts")}},
              json::array({"id"})),
       ToolKind::readOnly, withSettings(settings, m365GetContact)});
}

}  // namespace tvrn::M365Tools
