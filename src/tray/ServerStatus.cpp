#include "tray/ServerStatus.h"

#include <limits>

namespace tvrn {
namespace {

using nlohmann::json;

// Thrown inside this file only: decoding unwinds to the record that absorbs the failure, or to
// the top, where it becomes the error value.
struct DecodeFailure {
  std::string message;
};

[[noreturn]] void failAt(const std::string& where, std::string_view what) {
  throw DecodeFailure{where + ": " + std::string(what)};
}

std::string memberPath(const std::string& where, std::string_view key) {
  return where.empty() ? std::string(key) : where + "." + std::string(key);
}

const json& requireObject(const json& value, const std::string& where) {
  if (!value.is_object()) failAt(where.empty() ? "status" : where, "expected an object");
  return value;
}

std::string readText(const json& value, const std::string& where) {
  if (!value.is_string()) failAt(where, "expected a text");
  return value.get<std::string>();
}

bool readBool(const json& value, const std::string& where) {
  if (!value.is_boolean()) failAt(where, "expected true or false");
  return value.get<bool>();
}

std::int64_t readInt(const json& value, const std::string& where) {
  if (value.is_number_unsigned() &&
      value.get<std::uint64_t>() <=
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(value.get<std::uint64_t>());
  }
  if (!value.is_number_integer() || value.is_number_unsigned())
    failAt(where, "expected an integer");
  return value.get<std::int64_t>();
}

double readNumber(const json& value, const std::string& where) {
  if (!value.is_number()) failAt(where, "expected a number");
  return value.get<double>();
}

template <typename Reader>
auto readList(const json& value, const std::string& where, Reader element) {
  if (!value.is_array()) failAt(where, "expected a list");
  std::vector<decltype(element(value, where))> items;
  for (std::size_t i = 0; i < value.size(); ++i) {
    items.push_back(element(value[i], where + "[" + std::to_string(i) + "]"));
  }
  return items;
}

template <typename Reader>
auto readMap(const json& value, const std::string& where, Reader element) {
  if (!value.is_object()) failAt(where, "expected an object");
  std::map<std::string, decltype(element(value, where))> items;
  for (const auto& [key, item] : value.items())
    items.emplace(key, element(item, memberPath(where, key)));
  return items;
}

TextList readTexts(const json& value, const std::string& where) {
  return readList(value, where, readText);
}

// A required member: present and not null, of the reader's type.
template <typename Reader>
auto required(const json& object, std::string_view key, const std::string& where, Reader reader) {
  const std::string path = memberPath(where, key);
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) failAt(path, "missing");
  return reader(*found, path);
}

// An optional member: absent or null gives nothing; any other type than the reader's still fails.
template <typename Reader>
auto optional(const json& object, std::string_view key, const std::string& where, Reader reader)
    -> std::optional<decltype(reader(object, where))> {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  return reader(*found, memberPath(where, key));
}

ServiceSimple readSimple(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "running", at, readBool)};
}

ServiceEmail readEmail(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "running", at, readBool), required(v, "accounts", at, readTexts)};
}

ServiceCalendar readCalendar(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "running", at, readBool), required(v, "calendars", at, readTexts)};
}

ServiceContacts readContacts(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "running", at, readBool), required(v, "sources", at, readTexts)};
}

ServiceReminders readReminders(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "running", at, readBool), optional(v, "lists", at, readTexts)};
}

ServiceNotes readNotes(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "running", at, readBool), optional(v, "count", at, readInt)};
}

ServiceOmniFocus readOmniFocus(const json& v, const std::string& at) {
  requireObject(v, at);
  ServiceOmniFocus service;
  service.running = required(v, "running", at, readBool);
  service.installed = optional(v, "installed", at, readBool);
  service.projects = required(v, "projects", at, readInt);
  service.inbox = required(v, "inbox", at, readInt);
  return service;
}

ServiceNordVPN readNordVPN(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "installed", at, readBool), optional(v, "connected", at, readBool),
          optional(v, "auto_connect", at, readBool), optional(v, "version", at, readText)};
}

ServiceSlack readSlack(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "available", at, readBool), optional(v, "has_local_data", at, readBool)};
}

ServiceWhatsApp readWhatsApp(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "available", at, readBool), required(v, "authenticated", at, readBool)};
}

ServiceM365 readM365(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "connected", at, readBool), optional(v, "email", at, readText)};
}

// The value the reader finds, or `fallback` when the member is missing, null or of another type.
template <typename Reader, typename T>
T leniently(const json& object, std::string_view key, Reader reader, T fallback) {
  try {
    if (auto value = optional(object, key, "", reader)) return *value;
  } catch (const DecodeFailure&) {
  }
  return fallback;
}

ServiceTeams readTeams(const json& v, const std::string& at) {
  requireObject(v, at);
  ServiceTeams teams;
  teams.available = leniently(v, "available", readBool, false);
  teams.running = leniently(v, "running", readBool, false);
  teams.conversations = leniently(v, "conversations", readInt, std::int64_t{0});
  teams.tenants = leniently(v, "tenants", readTexts, std::optional<TextList>());
  return teams;
}

// A member of "services" that does not decode is left out; the rest of the status stands.
template <typename Reader>
auto absorbed(const json& services, std::string_view key, Reader reader)
    -> decltype(optional(services, key, "services", reader)) {
  try {
    return optional(services, key, "services", reader);
  } catch (const DecodeFailure&) {
    return std::nullopt;
  }
}

Services readServices(const json& v, const std::string& at) {
  requireObject(v, at);
  Services s;
  s.email = absorbed(v, "email", readEmail);
  s.calendar = absorbed(v, "calendar", readCalendar);
  s.contacts = absorbed(v, "contacts", readContacts);
  s.onedrive = absorbed(v, "onedrive", readTexts);
  s.teams = absorbed(v, "teams", readTeams);
  s.reminders = absorbed(v, "reminders", readReminders);
  s.notes = absorbed(v, "notes", readNotes);
  s.messages = absorbed(v, "messages", readSimple);
  s.finder = absorbed(v, "finder", readSimple);
  s.safari = absorbed(v, "safari", readSimple);
  s.omnifocus = absorbed(v, "omnifocus", readOmniFocus);
  s.nordvpn = absorbed(v, "nordvpn", readNordVPN);
  s.slack = absorbed(v, "slack", readSlack);
  s.whatsapp = absorbed(v, "whatsapp", readWhatsApp);
  s.m365 = absorbed(v, "m365", readM365);
  return s;
}

SecurityInfo readSecurity(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "api_key_enabled", at, readBool), required(v, "network_mode", at, readText)};
}

UpdateInfo readUpdate(const json& v, const std::string& at) {
  requireObject(v, at);
  return {optional(v, "version", at, readText), optional(v, "download_url", at, readText),
          optional(v, "notes", at, readText), optional(v, "versions_behind", at, readInt)};
}

ServiceErrorEntry readServiceError(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "error", at, readText), optional(v, "function", at, readText),
          optional(v, "suggestion", at, readText), optional(v, "ts", at, readNumber)};
}

LastActivity readActivity(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "at", at, readText), required(v, "source", at, readText),
          required(v, "tool", at, readText), required(v, "ago_s", at, readInt)};
}

ServerStatus readStatus(const json& v) {
  const std::string at;
  requireObject(v, at);
  ServerStatus s;
  s.server = required(v, "server", at, readText);
  s.version = required(v, "version", at, readText);
  s.url = required(v, "url", at, readText);
  s.port = required(v, "port", at, readInt);
  s.services = required(v, "services", at, readServices);
  s.security = required(v, "security", at, readSecurity);
  s.update = optional(v, "update", at, readUpdate);
  s.autoUpdate = optional(v, "auto_update", at, readBool);
  s.cloudToken = optional(v, "cloud_token", at, readText);
  s.cloudDataEnabled = optional(v, "cloud_data_enabled", at, readBool);
  s.tunnelConnected = optional(v, "tunnel_connected", at, readBool);
  s.pushMessage = optional(v, "push_message", at, readText);
  s.pendingRestartVersion = optional(v, "pending_restart_version", at, readText);
  s.serviceErrors = optional(v, "service_errors", at, [](const json& m, const std::string& p) {
    return readMap(m, p, readServiceError);
  });
  s.permissions = optional(v, "permissions", at, [](const json& m, const std::string& p) {
    return readMap(m, p, readText);
  });
  s.lastActivity = optional(v, "last_activity", at, readActivity);
  s.recentActivity = optional(v, "recent_activity", at, [](const json& l, const std::string& p) {
    return readList(l, p, readActivity);
  });
  s.hostname = optional(v, "hostname", at, readText);
  s.machineId = optional(v, "machine_id", at, readText);
  s.aiClientHealth = optional(v, "ai_client_health", at, readText);
  s.startedAt = optional(v, "started_at", at, readText);
  s.firstToolCallAt = optional(v, "first_tool_call_at", at, readText);
  s.disabledServices = optional(v, "disabled_services", at, readTexts);
  return s;
}

PendingApproval readApproval(const json& v, const std::string& at) {
  requireObject(v, at);
  return {required(v, "request_id", at, readText), required(v, "client_name", at, readText),
          required(v, "client_id", at, readText), required(v, "redirect_uri", at, readText),
          required(v, "expires_at", at, readNumber)};
}

PendingApprovalsResponse readApprovals(const json& v) {
  requireObject(v, "");
  return {required(v, "requests", "", [](const json& l, const std::string& p) {
    return readList(l, p, readApproval);
  })};
}

template <typename Record>
Result<Record, std::string> decodeWith(Record (*reader)(const json&), const json& document) {
  try {
    return reader(document);
  } catch (const DecodeFailure& failure) {
    return fail(failure.message);
  }
}

// Integers and floating-point numbers stay apart, so 4 and 4.0 can be told apart.
std::optional<json> parse(std::string_view bytes) {
  json document = json::parse(bytes, nullptr, false);
  if (document.is_discarded()) return std::nullopt;
  return document;
}

}  // namespace

Result<ServerStatus, std::string> decodeServerStatus(const json& document) {
  return decodeWith(readStatus, document);
}

Result<ServerStatus, std::string> parseServerStatus(std::string_view bytes) {
  const auto document = parse(bytes);
  if (!document) return fail(std::string("not JSON"));
  return decodeServerStatus(*document);
}

Result<PendingApprovalsResponse, std::string> decodePendingApprovals(const json& document) {
  return decodeWith(readApprovals, document);
}

Result<PendingApprovalsResponse, std::string> parsePendingApprovals(std::string_view bytes) {
  const auto document = parse(bytes);
  if (!document) return fail(std::string("not JSON"));
  return decodePendingApprovals(*document);
}

}  // namespace tvrn
