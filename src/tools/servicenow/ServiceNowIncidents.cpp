#include "tools/servicenow/ServiceNowIncidents.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/PercentEncoding.h"
#include "core/ToolResponse.h"
#include "tools/servicenow/ServiceNowConnection.h"
#include "tools/servicenow/ServiceNowTexts.h"

namespace tvrn::ServiceNowTools {
namespace {

using nlohmann::json;
namespace Texts = ServiceNowTexts;

constexpr const char* kListFields =
    "number,short_description,state,priority,assigned_to,opened_at,sys_id";
constexpr const char* kFullFields =
    "number,short_description,description,state,priority,urgency,impact,category,assigned_to,"
    "caller_id,opened_at,updated_at,resolved_at,close_notes,work_notes,sys_id";
constexpr const char* kKBFields = "number,short_description,sys_id,category,sys_updated_on";
constexpr const char* kUpdateFields[] = {"state",       "priority",          "urgency",
                                         "assigned_to", "short_description", "close_notes"};

ToolError failure(std::string_view text) { return ToolError::executionFailed(std::string(text)); }

std::string upperASCII(std::string text) {
  for (char& ch : text) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return text;
}

bool isAlphanumeric(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9');
}

bool isIncidentNumber(const std::string& text) {
  const std::string upper = upperASCII(text);
  return upper.size() > 3 && upper.starts_with("INC") &&
         std::all_of(upper.begin() + 3, upper.end(), isAlphanumeric);
}

bool isSysId(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char ch) {
           return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
         });
}

// "^" joins conditions in an encoded query: user text holding one could widen what is read.
std::optional<ToolError> caretRefused(std::string_view name, std::string_view text) {
  if (text.find('^') == std::string_view::npos) return std::nullopt;
  return ToolError::invalidParam(std::string(name), std::string(Texts::kNoCaret));
}

std::int64_t limitArgument(const Params::Arguments& arguments, std::int64_t fallback,
                           std::int64_t most) {
  return std::min(Params::optionalInt("limit", arguments, fallback), most);
}

std::string tableQueryURL(const Credentials& credentials, std::string_view table,
                          std::string_view query, std::int64_t limit, std::string_view fields) {
  return instanceOrigin(credentials.host) + "/api/now/table/" + std::string(table) +
         "?sysparm_query=" + PercentEncoding::queryValue(query) +
         "&sysparm_limit=" + std::to_string(limit) + "&sysparm_fields=" + std::string(fields) +
         "&sysparm_display_value=true";
}

std::string incidentLink(const std::string& host, const std::string& sysId) {
  return instanceOrigin(host) + "/incident.do?sys_id=" + sysId;
}

std::string sysIdOf(const json& record) {
  const auto found = record.find("sys_id");
  if (found == record.end()) return "";
  if (found->is_object()) {
    const auto value = found->find("value");
    return value != found->end() && value->is_string() ? value->get<std::string>() : "";
  }
  return found->is_string() ? found->get<std::string>() : "";
}

// The records of a query answer ({"result": [...]}), or nothing when it is not one.
std::optional<std::vector<json>> records(const std::string& body) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  const auto result = parsed.find("result");
  if (result == parsed.end() || !result->is_array()) return std::nullopt;
  std::vector<json> list;
  for (const auto& item : *result) {
    if (!item.is_object()) return std::nullopt;
    list.push_back(item);
  }
  return list;
}

// The single record of a create or update answer ({"result": {...}}).
std::optional<json> singleRecord(const std::string& body) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  const auto result = parsed.find("result");
  if (result == parsed.end() || !result->is_object()) return std::nullopt;
  return *result;
}

ToolResult formatIncidentList(const std::string& body, const std::string& host,
                              const std::string& label) {
  const auto list = records(body);
  if (!list) return fail(failure(Texts::kUnexpectedResponse));
  if (list->empty()) return ToolResponse::text("No incidents found for " + label + ".");
  std::string text = "Found " + std::to_string(list->size()) + " incident(s) — " + label + ":\n\n";
  for (std::size_t i = 0; i < list->size(); ++i) {
    if (i > 0) text += "\n\n";
    text += formatIncident((*list)[i], host, false);
  }
  return ToolResponse::text(text);
}

ToolResult listQuery(const Credentials& credentials, const std::string& query, std::int64_t limit,
                     const std::string& label) {
  SNBody body =
      snGET(tableQueryURL(credentials, "incident", query, limit, kListFields), credentials.auth);
  if (!body) return fail(body.error());
  return formatIncidentList(body.value(), credentials.host, label);
}

std::string serialised(const json& body) {
  return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Update and comment both patch one incident; its id is checked, so it can name no other table.
SNBody patchIncident(const Credentials& credentials, const std::string& sysId, const json& body) {
  const std::string url = instanceOrigin(credentials.host) + "/api/now/table/incident/" +
                          PercentEncoding::pathSegment(sysId);
  return snPATCH(url, credentials.auth, serialised(body));
}

std::optional<ToolError> sysIdRefused(const std::string& sysId) {
  if (isSysId(sysId)) return std::nullopt;
  return ToolError::invalidParam("sys_id", std::string(Texts::kSysId));
}

}  // namespace

std::string snField(const json& record, const char* name) {
  const auto found = record.find(name);
  if (found == record.end()) return "";
  if (found->is_object()) {
    for (const char* member : {"display_value", "value"}) {
      const auto value = found->find(member);
      if (value != found->end() && value->is_string()) return value->get<std::string>();
    }
    return "";
  }
  return found->is_string() ? found->get<std::string>() : "";
}

std::string formatIncident(const json& record, const std::string& host, bool full) {
  std::vector<std::string> lines = {
      snField(record, "number") + ": " + snField(record, "short_description"),
      "State: " + snField(record, "state") + "  Priority: " + snField(record, "priority")};
  const auto add = [&](std::string_view prefix, const char* field) {
    const std::string value = snField(record, field);
    if (!value.empty()) lines.push_back(std::string(prefix) + value);
  };
  add("Assigned to: ", "assigned_to");
  add("Opened: ", "opened_at");
  if (full) {
    add("Caller: ", "caller_id");
    add("Category: ", "category");
    add("Urgency: ", "urgency");
    add("Updated: ", "updated_at");
    add("Resolved: ", "resolved_at");
    add("\nDescription:\n", "description");
    add("\nResolution:\n", "close_notes");
  }
  if (const std::string sysId = sysIdOf(record); !sysId.empty()) {
    lines.push_back(incidentLink(host, sysId));
  }
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

ToolResult servicenowListMyIncidents(const ConfigManager& settings,
                                     const Params::Arguments& arguments) {
  auto credentials = snCredentials(settings);
  if (!credentials) return fail(credentials.error());
  const std::int64_t limit = limitArgument(arguments, 20, 50);
  std::string state = Params::optional("state", arguments, "");
  if (state.empty()) state = "open";
  const std::string& user = credentials.value().username;
  // The stored name goes into the query like any typed value, so the same rule holds for it.
  if (auto refused = caretRefused("username", user)) return fail(*refused);
  std::string query = "assigned_to.user_name=" + user + "^ORcaller_id.user_name=" + user;
  if (state == "open") query += "^state!=6^state!=7";
  if (state == "resolved") query += "^state=6^ORstate=7";
  return listQuery(credentials.value(), query, limit, "your incidents (" + state + ")");
}

ToolResult servicenowSearchIncidents(const ConfigManager& settings,
                                     const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    if (auto refused = caretRefused("query", query)) return fail(*refused);
    auto credentials = snCredentials(settings);
    if (!credentials) return fail(credentials.error());
    const std::int64_t limit = limitArgument(arguments, 10, 50);
    const std::string encoded =
        isIncidentNumber(query) ? "number=" + upperASCII(query)
                                : "short_descriptionLIKE" + query + "^ORdescriptionLIKE" + query;
    return listQuery(credentials.value(), encoded, limit, "search results for '" + query + "'");
  });
}

ToolResult servicenowGetIncident(const ConfigManager& settings,
                                 const Params::Arguments& arguments) {
  return Params::withRequired("id", arguments, [&](const std::string& id) -> ToolResult {
    if (auto refused = caretRefused("id", id)) return fail(*refused);
    std::string encoded;
    if (isIncidentNumber(id)) {
      encoded = "number=" + upperASCII(id);
    } else if (isSysId(id)) {
      encoded = "sys_id=" + id;
    } else {
      return fail(ToolError::invalidParam("id", std::string(Texts::kIncidentId)));
    }
    auto credentials = snCredentials(settings);
    if (!credentials) return fail(credentials.error());
    SNBody body = snGET(tableQueryURL(credentials.value(), "incident", encoded, 1, kFullFields),
                        credentials.value().auth);
    if (!body) return fail(body.error());
    const auto list = records(body.value());
    if (!list || list->empty()) return fail(failure("Incident " + id + " not found"));
    return ToolResponse::text(formatIncident(list->front(), credentials.value().host, true));
  });
}

ToolResult servicenowCreateIncident(const ConfigManager& settings,
                                    const Params::Arguments& arguments) {
  return Params::withRequired(
      "short_description", arguments, [&](const std::string& summary) -> ToolResult {
        auto credentials = snCredentials(settings);
        if (!credentials) return fail(credentials.error());
        json body = {{"short_description", summary}};
        if (auto text = Params::optional("description", arguments, ""); !text.empty()) {
          body["description"] = text;
        }
        const std::string urgency = Params::optional("urgency", arguments, "");
        body["urgency"] = urgency.empty() ? "3" : urgency;
        if (auto text = Params::optional("category", arguments, ""); !text.empty()) {
          body["category"] = text;
        }
        const std::string& host = credentials.value().host;
        SNBody reply = snPOST(instanceOrigin(host) + "/api/now/table/incident",
                              credentials.value().auth, serialised(body));
        if (!reply) return fail(reply.error());
        const auto record = singleRecord(reply.value());
        const std::string number = record ? snField(*record, "number") : "";
        if (!record || number.empty()) return fail(failure(Texts::kUnparsedCreate));
        return ToolResponse::text("Incident created: " + number + "\n" + summary +
                                  "\n\nView: " + incidentLink(host, sysIdOf(*record)));
      });
}

ToolResult snDoUpdateIncident(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("sys_id", arguments, [&](const std::string& sysId) -> ToolResult {
    if (auto refused = sysIdRefused(sysId)) return fail(*refused);
    auto credentials = snCredentials(settings);
    if (!credentials) return fail(credentials.error());
    json body = json::object();
    for (const char* field : kUpdateFields) {
      if (auto value = Params::optional(field, arguments, ""); !value.empty()) body[field] = value;
    }
    if (body.empty()) return fail(failure(Texts::kNothingToUpdate));
    SNBody reply = patchIncident(credentials.value(), sysId, body);
    if (!reply) return fail(reply.error());
    const auto record = singleRecord(reply.value());
    if (!record) return fail(failure(Texts::kUnexpectedResponse));
    return ToolResponse::text("Updated " + snField(*record, "number") +
                              " — state: " + snField(*record, "state") + "\n" +
                              incidentLink(credentials.value().host, sysId));
  });
}

ToolResult servicenowAddComment(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired2(
      "sys_id", "text", arguments,
      [&](const std::string& sysId, const std::string& text) -> ToolResult {
        if (auto refused = sysIdRefused(sysId)) return fail(*refused);
        auto credentials = snCredentials(settings);
        if (!credentials) return fail(credentials.error());
        const bool workNote = Params::optional("type", arguments, "") == "work_note";
        SNBody reply = patchIncident(credentials.value(), sysId,
                                     {{workNote ? "work_notes" : "comments", text}});
        if (!reply) return fail(reply.error());
        return ToolResponse::text(std::string(workNote ? "Work note" : "Comment") +
                                  " added to incident " + sysId);
      });
}

ToolResult servicenowSearchKB(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    if (auto refused = caretRefused("query", query)) return fail(*refused);
    auto credentials = snCredentials(settings);
    if (!credentials) return fail(credentials.error());
    const std::int64_t limit = limitArgument(arguments, 5, 20);
    const std::string encoded =
        "short_descriptionLIKE" + query + "^ORtextLIKE" + query + "^workflow_state=published";
    SNBody body =
        snGET(tableQueryURL(credentials.value(), "kb_knowledge", encoded, limit, kKBFields),
              credentials.value().auth);
    if (!body) return fail(body.error());
    const auto list = records(body.value());
    if (!list) return fail(failure(Texts::kUnexpectedKBResponse));
    if (list->empty()) {
      return ToolResponse::text("No knowledge base articles found for '" + query + "'.");
    }
    std::string text = "Knowledge base results for '" + query + "':\n\n";
    for (std::size_t i = 0; i < list->size(); ++i) {
      const json& article = (*list)[i];
      if (i > 0) text += "\n\n";
      text += "[" + snField(article, "number") + "] " + snField(article, "short_description");
      if (auto category = snField(article, "category"); !category.empty()) {
        text += " (" + category + ")";
      }
      if (auto sysId = sysIdOf(article); !sysId.empty()) {
        text += "\n" + instanceOrigin(credentials.value().host) + "/kb_view.do?sys_kb_id=" + sysId;
      }
    }
    return ToolResponse::text(text);
  });
}

}  // namespace tvrn::ServiceNowTools
