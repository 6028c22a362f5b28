#include "tools/m365/M365Tools.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/PercentEncoding.h"
#include "base/Strings.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "tools/common/SettingsHandler.h"
#include "tools/m365/M365Account.h"
#include "tools/m365/M365Calendar.h"
#include "tools/m365/M365Contacts.h"
#include "tools/m365/M365Graph.h"
#include "tools/m365/M365Mail.h"
#include "tools/m365/M365Records.h"
#include "tools/m365/M365Texts.h"

namespace tvrn::M365Tools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = M365Texts;

constexpr const char* kUserFields =
    "id,displayName,mail,userPrincipalName,jobTitle,department,officeLocation,businessPhones,"
    "mobilePhone";
constexpr const char* kSearchFields =
    "id,displayName,mail,jobTitle,department,officeLocation,businessPhones,mobilePhone";
constexpr const char* kPeopleFields =
    "id,displayName,jobTitle,department,officeLocation,phones,scoredEmailAddresses";

ToolError unexpectedAnswer() { return failure(Texts::kUnexpectedGraphResponse); }

ToolResult searchM365Directory(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    const std::int64_t limit = boundedInt("limit", arguments, 10, 25);
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    const std::string url = graphRoot() + "/users?$search=" + quotedSearch("displayName:", query) +
                            "&$top=" + std::to_string(limit) + "&$select=" + kSearchFields;
    return listing(
        m365GET(url, token.value(), true), Texts::kUnexpectedGraphResponse,
        Texts::noUsersFound(query),
        [&](std::size_t count) { return Texts::usersFound(count, query); }, formatUser);
  });
}

ToolResult getM365Person(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("id", arguments, [&](const std::string& id) -> ToolResult {
    auto token = m365AccessToken(settings);
    if (!token) return fail(token.error());
    const std::string url = graphRoot() + "/users/" + PercentEncoding::pathSegment(id) +
                            "?$select=" + kUserFields + ",manager";
    GraphBody body = m365GET(url, token.value(), false);
    if (!body) return fail(body.error());
    const json user = json::parse(body.value(), nullptr, false);
    if (!user.is_object()) return fail(unexpectedAnswer());
    const auto error = user.find("error");
    if (error != user.end() && error->is_object()) {
      if (const auto code = textOf(*error, "code")) {
        if (*code == "Request_ResourceNotFound") {
          return fail(ToolError::executionFailed(Texts::userNotFound(id)));
        }
        return fail(ToolError::executionFailed(std::string(Texts::kGraphError) +
                                               textOf(*error, "message").value_or(*code)));
      }
    }
    return ToolResponse::text(formatUser(user));
  });
}

// The first address of a person's list of {"address": ...} entries, when the first has one.
std::optional<std::string> firstAddress(const json& person, const char* list) {
  const auto found = person.find(list);
  if (found == person.end() || !found->is_array() || found->empty()) return std::nullopt;
  const json& first = found->front();
  if (!first.is_object()) return std::nullopt;
  return textOf(first, "address");
}

std::string personBlock(const json& person, std::size_t number) {
  std::vector<std::string> lines;
  if (const auto name = textOf(person, "displayName")) lines.push_back(*name);
  auto email = firstAddress(person, "scoredEmailAddresses");
  if (!email) email = firstAddress(person, "emailAddresses");
  if (email) lines.push_back("Email: " + *email);
  if (const auto title = textOr(person, "jobTitle"); !title.empty()) {
    lines.push_back("Title: " + title);
  }
  if (const auto department = textOr(person, "department"); !department.empty()) {
    lines.push_back("Department: " + department);
  }
  return "[" + std::to_string(number) + "] " + Strings::joined(lines, "\n");
}

ToolResult listM365PeopleInsights(const ConfigManager& settings,
                                  const Params::Arguments& arguments) {
  const std::int64_t limit = boundedInt("limit", arguments, 20, 50);
  auto token = m365AccessToken(settings);
  if (!token) return fail(token.error());
  const std::string url =
      graphRoot() + "/me/people?$top=" + std::to_string(limit) + "&$select=" + kPeopleFields;
  GraphBody body = m365GET(url, token.value(), false);
  if (!body) return fail(body.error());
  const auto people = collection(body.value());
  if (!people) return fail(unexpectedAnswer());
  if (people->empty()) return ToolResponse::text(Texts::kNoPeopleInsights);
  std::vector<std::string> blocks;
  for (std::size_t i = 0; i < people->size(); ++i)
    blocks.push_back(personBlock((*people)[i], i + 1));
  return ToolResponse::text(Texts::topContacts(people->size()) + Strings::joined(blocks, "\n\n"));
}

std::string deviceLoginPageWithoutScheme() {
  std::string_view page = Texts::kDeviceLoginPage;
  page.remove_prefix(page.find("://") + 3);
  return std::string(page);
}

}  // namespace

std::string formatUser(const json& user) {
  std::vector<std::string> lines;
  const auto addIfPresent = [&](const char* label, const char* key) {
    if (const auto value = textOr(user, key); !value.empty()) lines.push_back(label + value);
  };
  if (const auto name = textOf(user, "displayName")) lines.push_back("Name: " + *name);
  const std::string mail = textOr(user, "mail");
  addIfPresent("Email: ", "mail");
  if (const auto upn = textOr(user, "userPrincipalName"); !upn.empty() && upn != mail) {
    lines.push_back("UPN: " + upn);
  }
  addIfPresent("Title: ", "jobTitle");
  addIfPresent("Department: ", "department");
  addIfPresent("Office: ", "officeLocation");
  const auto phones = user.find("businessPhones");
  if (phones != user.end() && phones->is_array() && !phones->empty() &&
      std::all_of(phones->begin(), phones->end(), [](const json& p) { return p.is_string(); })) {
    lines.push_back("Phone: " + Strings::joined(phones->get<std::vector<std::string>>(), ", "));
  }
  addIfPresent("Mobile: ", "mobilePhone");
  if (const auto id = textOf(user, "id")) lines.push_back("ID: " + *id);
  return Strings::joined(lines, "\n");
}

void registerTools(ToolRegistry& registry) {
  const ConfigManager& settings = *registry.context().settings;
  const json none = json::array();
  registry.registerTool(
      {"connect_m365_account",
       "Connect your Microsoft 365 account. Call once to get a login code, then call again after "
       "you've authenticated at " +
           deviceLoginPageWithoutScheme() + " to confirm the connection.",
       schema(json::object(), none), ToolKind::readOnly,
       withSettings(settings, connectM365Account)});
  registry.registerTool({"disconnect_m365_account",
                         "Disconnect your Microsoft 365 account and remove stored tokens.",
                         schema(json::object(), none), ToolKind::readOnly,
                         withSettings(settings, disconnectM365Account)});
  // Connecting and disconnecting stay within reach while the service is turned off.
  ToolRegistry::ServiceScope scope(registry, "m365");
  registry.registerTool(
      {"search_m365_directory",
       "Search your organization's Microsoft 365 directory for users by name or email. Returns "
       "matching users with their title, department, and contact info.",
       schema({{"query", property("string",
                                  "Name or email to search for, e.g. 'Alex' or "
                                  "'alex@contoso.com'")},
               {"limit", property("integer", "Max results (default 10, max 25)")}},
              json::array({"query"})),
       ToolKind::readOnly, withSettings(settings, searchM365Directory)});
  registry.registerTool(
      {"get_m365_person",
       "Get detailed information about a specific person in your Microsoft 365 directory by "
       "their user ID or email address.",
       schema({{"id", property("string",
                               "User ID (GUID) or email address (UPN), e.g. 'alex@contoso.com' "
                               "or 'a1b2c3d4-...'")}},
              json::array({"id"})),
       ToolKind::readOnly, withSettings(settings, getM365Person)});
  registry.registerTool(
      {"list_m365_people_insights",
       "List the people most relevant to you in Microsoft 365 — based on your communication "
       "patterns, collaboration history, and org chart. Useful for meeting prep and contact "
       "enrichment.",
       schema({{"limit", property("integer", "Number of people to return (default 20, max 50)")}},
              none),
       ToolKind::readOnly, withSettings(settings, listM365PeopleInsights)});
  registerMailTools(registry);
  registerCalendarTools(registry);
  registerContactTools(registry);
}

}  // namespace tvrn::M365Tools
