// The tray's reading of the status JSON, written from the tray's own rules and kept strict: a
// required member missing or null, or any member of the wrong JSON type, fails the document;
// inside "services" a faulty member is dropped alone, and the test is told which.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tvrn::test {

struct DecodedStatus {
  std::optional<std::string> failure;  // why the document as a whole does not decode
  std::set<std::string> droppedServices;
};

namespace status_decoder {

using nlohmann::json;

enum class Kind { text, boolean, integer, number, object, list, textList, textMap };

inline bool is(const json& value, Kind kind) {
  switch (kind) {
    case Kind::text:
      return value.is_string();
    case Kind::boolean:
      return value.is_boolean();
    case Kind::integer:
      return value.is_number_integer();
    case Kind::number:
      return value.is_number();
    case Kind::object:
      return value.is_object();
    case Kind::list:
      return value.is_array();
    case Kind::textList:
      if (!value.is_array()) return false;
      for (const auto& item : value)
        if (!item.is_string()) return false;
      return true;
    case Kind::textMap:
      if (!value.is_object()) return false;
      for (const auto& [key, item] : value.items())
        if (!item.is_string()) return false;
      return true;
  }
  return false;
}

struct Field {
  const char* name;
  Kind kind;
  bool required;
};

// The first fault of `object` against `fields`, named by its path.
inline std::optional<std::string> check(const json& object, const std::vector<Field>& fields,
                                        const std::string& where) {
  if (!object.is_object()) return where + " is not an object";
  for (const auto& field : fields) {
    const auto found = object.find(field.name);
    const bool absent = found == object.end() || found->is_null();
    if (absent) {
      if (field.required) return where + "." + field.name + " is missing";
      continue;
    }
    if (!is(*found, field.kind)) return where + "." + field.name + " has the wrong type";
  }
  return std::nullopt;
}

inline std::optional<std::string> checkActivity(const json& entry, const std::string& where) {
  return check(entry,
               {{"at", Kind::text, true},
                {"source", Kind::text, true},
                {"tool", Kind::text, true},
                {"ago_s", Kind::integer, true}},
               where);
}

inline const std::vector<std::pair<const char*, std::vector<Field>>>& serviceRecords() {
  static const std::vector<std::pair<const char*, std::vector<Field>>> records = {
      {"email", {{"running", Kind::boolean, true}, {"accounts", Kind::textList, true}}},
      {"calendar", {{"running", Kind::boolean, true}, {"calendars", Kind::textList, true}}},
      {"contacts", {{"running", Kind::boolean, true}, {"sources", Kind::textList, true}}},
      {"reminders", {{"running", Kind::boolean, true}, {"lists", Kind::textList, false}}},
      {"notes", {{"running", Kind::boolean, true}, {"count", Kind::integer, false}}},
      {"messages", {{"running", Kind::boolean, true}}},
      {"finder", {{"running", Kind::boolean, true}}},
      {"safari", {{"running", Kind::boolean, true}}},
      {"omnifocus",
       {{"running", Kind::boolean, true},
        {"installed", Kind::boolean, false},
        {"projects", Kind::integer, true},
        {"inbox", Kind::integer, true}}},
      {"nordvpn",
       {{"installed", Kind::boolean, true},
        {"connected", Kind::boolean, false},
        {"auto_connect", Kind::boolean, false},
        {"version", Kind::text, false}}},
      {"slack", {{"available", Kind::boolean, true}, {"has_local_data", Kind::boolean, false}}},
      {"whatsapp", {{"available", Kind::boolean, true}, {"authenticated", Kind::boolean, true}}},
      {"m365", {{"connected", Kind::boolean, true}, {"email", Kind::text, false}}},
  };
  return records;
}

}  // namespace status_decoder

inline DecodedStatus decodeStatus(const nlohmann::json& status) {
  using namespace status_decoder;
  DecodedStatus decoded;
  decoded.failure = check(status,
                          {{"server", Kind::text, true},
                           {"version", Kind::text, true},
                           {"url", Kind::text, true},
                           {"port", Kind::integer, true},
                           {"services", Kind::object, true},
                           {"security", Kind::object, true},
                           {"update", Kind::object, false},
                           {"auto_update", Kind::boolean, false},
                           {"cloud_token", Kind::text, false},
                           {"cloud_data_enabled", Kind::boolean, false},
                           {"tunnel_connected", Kind::boolean, false},
                           {"push_message", Kind::text, false},
                           {"pending_restart_version", Kind::text, false},
                           {"service_errors", Kind::object, false},
                           {"permissions", Kind::textMap, false},
                           {"last_activity", Kind::object, false},
                           {"recent_activity", Kind::list, false},
                           {"hostname", Kind::text, false},
                           {"machine_id", Kind::text, false},
                           {"ai_client_health", Kind::text, false},
                           {"started_at", Kind::text, false},
                           {"first_tool_call_at", Kind::text, false},
                           {"disabled_services", Kind::textList, false}},
                          "status");
  if (decoded.failure) return decoded;

  const auto fail = [&decoded](std::optional<std::string> failure) {
    if (failure) decoded.failure = failure;
    return failure.has_value();
  };
  if (fail(check(status["security"],
                 {{"api_key_enabled", Kind::boolean, true}, {"network_mode", Kind::text, true}},
                 "security"))) {
    return decoded;
  }
  if (status.contains("update") && !status["update"].is_null() &&
      fail(check(status["update"],
                 {{"version", Kind::text, false},
                  {"download_url", Kind::text, false},
                  {"notes", Kind::text, false},
                  {"versions_behind", Kind::integer, false}},
                 "update"))) {
    return decoded;
  }
  if (status.contains("service_errors") && !status["service_errors"].is_null()) {
    for (const auto& [key, entry] : status["service_errors"].items()) {
      if (fail(check(entry,
                     {{"error", Kind::text, true},
                      {"function", Kind::text, false},
                      {"suggestion", Kind::text, false},
                      {"ts", Kind::number, false}},
                     "service_errors." + key))) {
        return decoded;
      }
    }
  }
  if (status.contains("last_activity") && !status["last_activity"].is_null() &&
      fail(checkActivity(status["last_activity"], "last_activity"))) {
    return decoded;
  }
  if (status.contains("recent_activity") && !status["recent_activity"].is_null()) {
    for (const auto& entry : status["recent_activity"]) {
      if (fail(checkActivity(entry, "recent_activity[]"))) return decoded;
    }
  }

  const auto& services = status["services"];
  for (const auto& [key, fields] : serviceRecords()) {
    if (services.contains(key) && check(services[key], fields, key)) {
      decoded.droppedServices.insert(key);
    }
  }
  if (services.contains("onedrive") && !is(services["onedrive"], Kind::textList)) {
    decoded.droppedServices.insert("onedrive");
  }
  // Teams is read field by field, each falling back to its default; only a non-object drops it.
  if (services.contains("teams") && !services["teams"].is_object()) {
    decoded.droppedServices.insert("teams");
  }
  return decoded;
}

}  // namespace tvrn::test
