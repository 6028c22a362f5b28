#include "status/StatusRoutes.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Strings.h"
#include "cloud/UpdateManager.h"
#include "core/ActivityTracker.h"
#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "core/MCPClientTracker.h"
#include "core/Timeouts.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"

namespace tvrn::StatusRoutes {
namespace {

using nlohmann::json;

const json kOK = {{"ok", true}};

json failure(std::string message) { return {{"ok", false}, {"error", std::move(message)}}; }

json objectOf(std::string_view body) {
  json parsed = json::parse(body, nullptr, false);
  return parsed.is_object() ? parsed : json();
}

// The member when it is a non-empty string.
std::optional<std::string> text(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string() ||
      found->get_ref<const std::string&>().empty()) {
    return std::nullopt;
  }
  return found->get<std::string>();
}

std::chrono::milliseconds millisecondsOf(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// The manifest's comma-separated "config_allowed_keys", names trimmed.
std::set<std::string> manifestAllowedKeys(const ServerContext& context) {
  std::set<std::string> keys;
  if (!context.manifestSetting) return keys;
  const auto list = context.manifestSetting("config_allowed_keys");
  if (!list) return keys;
  std::string_view rest = *list;
  while (true) {
    const auto comma = rest.find(',');
    std::string_view name = rest.substr(0, comma);
    const auto first = name.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos) {
      name = name.substr(first, name.find_last_not_of(" \t\r\n") - first + 1);
      keys.emplace(name);
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return keys;
}

std::string backendFailure(const HttpResult& result) {
  if (!result) return "Backend update failed: " + result.error().message;
  return "Backend update failed: HTTP " + std::to_string(result.value().status);
}

}  // namespace

json toolCall(std::string_view body, ServerContext& context) {
  const json report = objectOf(body);
  const auto tool = report.is_object() ? text(report, "tool") : std::nullopt;
  if (!tool) return failure("missing 'tool' string");
  ToolCallCounter::incrementLocalOnly(context, *tool);
  context.activity.record(CallSource::local, *tool);
  if (const auto client = report.find("ai_client"); client != report.end() && client->is_string()) {
    context.reportingClient.record(client->get<std::string>());
  }
  return kOK;
}

json toolError(std::string_view body, ToolCounts& counts) {
  const json report = objectOf(body);
  const auto tool = report.is_object() ? text(report, "tool") : std::nullopt;
  const auto type = report.is_object() ? text(report, "error_type") : std::nullopt;
  if (!tool || !type) return failure("missing 'tool' or 'error_type'");
  ToolErrorCounter::recordLocalOnly(counts, *tool + ":" + *type);
  return kOK;
}

json config(std::string_view body, const ServerContext& context) {
  const json request = objectOf(body);
  if (!request.is_object()) return failure("invalid JSON");
  // Checked before anything happens, so a refused request neither stores nor starts anything.
  if (const auto autoUpdate = request.find("auto_update");
      autoUpdate != request.end() && !autoUpdate->is_boolean()) {
    return failure("'auto_update' must be true or false");
  }
  const auto action = request.find("action");
  const bool update = action != request.end() && *action == "update";
  const std::set<std::string> allowed = manifestAllowedKeys(context);
  json updates = json::object();
  std::vector<std::string> refused;  // unknown keys and keys this route may not change
  for (const auto& [key, value] : request.items()) {
    if (key == "auto_update" || allowed.contains(key)) {
      updates[key] = value;
    } else if (key != "action" || !update) {
      refused.push_back(key);
    }
  }
  if (!update && updates.empty()) {
    if (refused.empty()) return failure("nothing to store");
    json answer = failure("not stored: " + Strings::joined(refused, ", "));
    answer["not_stored"] = refused;
    return answer;
  }
  if (!updates.empty() && !context.settings->save(updates)) {
    return failure("could not save the settings");
  }
  if (update) UpdateManager::shared().checkInBackground(true);
  json answer = update ? json{{"ok", true}, {"triggered", true}} : kOK;
  if (!refused.empty()) answer["not_stored"] = refused;
  return answer;
}

json trayEvent(std::string_view body, const ServerContext& context) {
  const json request = objectOf(body);
  const auto event = request.is_object() ? text(request, "event") : std::nullopt;
  if (!event) return failure("missing event");
  json data = request;
  data.erase("event");
  std::string machineId = context.settings->getMachineId();
  if (const auto given = data.find("machine_id"); given != data.end()) {
    if (given->is_string()) machineId = given->get<std::string>();
    data.erase(given);
  }
  context.poster->post(HttpClient::jsonPostRequest(
      Endpoints::backend() + "/events",
      {{"type", *event}, {"machine_id", machineId}, {"source", "tray"}, {"data", std::move(data)}},
      millisecondsOf(Timeouts::networkShort)));
  return kOK;
}

json cloudDataEnable(std::string_view body, const ServerContext& context) {
  const json request = objectOf(body);
  const auto enabled = request.is_object() ? request.find("enabled") : request.end();
  if (!request.is_object() || enabled == request.end() || !enabled->is_boolean()) {
    return failure("missing 'enabled' bool");
  }
  const auto settings = context.settings->snapshot();
  const auto token = text(settings->values, "cloud_token");
  if (!token) return failure("no cloud token configured — connect Cloud Relay first");

  // One switch at a time, so a restore never puts back a value another request has just set.
  static std::mutex switching;
  std::lock_guard hold(switching);
  const auto& file = context.settings->configPath();
  std::optional<json> previous;
  const bool saved = ConfigManager::updateUserFile(file, [&](json& user) {
    if (const auto old = user.find("cloud_data_enabled"); old != user.end()) previous = *old;
    user["cloud_data_enabled"] = *enabled;
  });
  if (!saved) return failure("could not save the settings");

  const auto answer = HttpClient::postJSON(
      Endpoints::backend() + "/cloud-data",
      {{"enabled", *enabled}, {"machine_id", context.settings->getMachineId()}},
      millisecondsOf(Timeouts::networkDefault), {{"Authorization", "Bearer " + *token}});
  if (answer && answer.value().isSuccess()) return kOK;

  const bool restored = ConfigManager::updateUserFile(file, [&](json& user) {
    if (previous) {
      user["cloud_data_enabled"] = *previous;
    } else {
      user.erase("cloud_data_enabled");
    }
  });
  if (!restored) Logger::warn("status", "Could not put cloud_data_enabled back after a refusal");
  return failure(backendFailure(answer));
}

}  // namespace tvrn::StatusRoutes
