// The tray's reading of the status JSON, kept strict: a required member missing or null, or any
// member of the wrong JSON type, fails the document; inside "services" a faulty member is
// dropped alone, and the test is told which.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tvrn::test {

struct DecodedStatus {
  std::optional<std::string> failure;  // why the document as a whole does not decode
  std::set<std::string> droppedServices;
};

// Fields as "name:type", with "?" after an optional one; types: text, bool, int, number, object,
// list, texts (a list of text), textmap (an object of text).
inline std::optional<std::string> checkRecord(const nlohmann::json& record,
                                              const std::vector<std::string>& fields,
                                              const std::string& where) {
  if (!record.is_object()) return where + " is not an object";
  for (const auto& field : fields) {
    const auto colon = field.find(':');
    const std::string name = field.substr(0, colon);
    std::string type = field.substr(colon + 1);
    const bool optional = type.ends_with('?');
    if (optional) type.pop_back();
    const auto found = record.find(name);
    if (found == record.end() || found->is_null()) {
      if (!optional) return where + "." + name + " is missing";
      continue;
    }
    const auto& v = *found;
    const auto allText = [](const nlohmann::json& items) {
      for (const auto& item : items)
        if (!item.is_string()) return false;
      return true;
    };
    const bool fits = type == "text"     ? v.is_string()
                      : type == "bool"   ? v.is_boolean()
                      : type == "int"    ? v.is_number_integer()
                      : type == "number" ? v.is_number()
                      : type == "object" ? v.is_object()
                      : type == "list"   ? v.is_array()
                      : type == "texts"  ? v.is_array() && allText(v)
                                         : v.is_object() && allText(v);
    if (!fits) return where + "." + name + " is not " + type;
  }
  return std::nullopt;
}

inline DecodedStatus decodeStatus(const nlohmann::json& status) {
  const std::vector<std::string> activity = {"at:text", "source:text", "tool:text", "ago_s:int"};
  DecodedStatus decoded;
  auto& failure = decoded.failure;
  failure = checkRecord(status,
                        {"server:text",
                         "version:text",
                         "url:text",
                         "port:int",
                         "services:object",
                         "security:object",
                         "update:object?",
                         "auto_update:bool?",
                         "cloud_token:text?",
                         "cloud_data_enabled:bool?",
                         "tunnel_connected:bool?",
                         "push_message:text?",
                         "pending_restart_version:text?",
                         "service_errors:object?",
                         "permissions:textmap?",
                         "last_activity:object?",
                         "recent_activity:list?",
                         "hostname:text?",
                         "machine_id:text?",
                         "ai_client_health:text?",
                         "started_at:text?",
                         "first_tool_call_at:text?",
                         "disabled_services:texts?"},
                        "status");
  if (!failure) {
    failure =
        checkRecord(status["security"], {"api_key_enabled:bool", "network_mode:text"}, "security");
  }
  if (!failure && status.contains("last_activity")) {
    failure = checkRecord(status["last_activity"], activity, "last_activity");
  }
  for (const auto& entry : status.value("recent_activity", nlohmann::json::array())) {
    if (!failure) failure = checkRecord(entry, activity, "recent_activity[]");
  }
  if (failure) return decoded;

  const std::vector<std::pair<std::string, std::vector<std::string>>> services = {
      {"email", {"running:bool", "accounts:texts"}},
      {"calendar", {"running:bool", "calendars:texts"}},
      {"contacts", {"running:bool", "sources:texts"}},
      {"reminders", {"running:bool", "lists:texts?"}},
      {"notes", {"running:bool", "count:int?"}},
      {"messages", {"running:bool"}},
      {"finder", {"running:bool"}},
      {"safari", {"running:bool"}},
      {"omnifocus", {"running:bool", "installed:bool?", "projects:int", "inbox:int"}},
      {"nordvpn", {"installed:bool", "connected:bool?", "auto_connect:bool?", "version:text?"}},
      {"slack", {"available:bool", "has_local_data:bool?"}},
      {"whatsapp", {"available:bool", "authenticated:bool"}},
      {"m365", {"connected:bool", "email:text?"}},
      // Teams is read field by field with defaults; only a non-object drops it.
      {"teams", {}},
  };
  const auto& given = status["services"];
  for (const auto& [key, fields] : services) {
    if (given.contains(key) && checkRecord(given[key], fields, key)) {
      decoded.droppedServices.insert(key);
    }
  }
  if (given.contains("onedrive") &&
      checkRecord({{"onedrive", given["onedrive"]}}, {"onedrive:texts"}, "services")) {
    decoded.droppedServices.insert("onedrive");
  }
  return decoded;
}

}  // namespace tvrn::test
