#include "status/StatusDocument.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

#include "base/Timestamp.h"
#include "bridges/TCCStatusChecker.h"
#include "cloud/HeartbeatManager.h"
#include "cloud/TunnelState.h"
#include "core/ActivityTracker.h"
#include "core/Config.h"
#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "core/Versions.h"
#include "platform/Endpoints.h"
#include "status/AIClientCatalog.h"
#include "status/ServiceStatusScanner.h"

namespace tvrn::StatusDocument {
namespace {

using nlohmann::json;

bool flag(const json& settings, const char* key) {
  const auto found = settings.find(key);
  return found != settings.end() && found->is_boolean() && found->get<bool>();
}

json activityEntry(const ActivityEntry& entry, std::chrono::system_clock::time_point now) {
  const auto ago = std::chrono::floor<std::chrono::seconds>(now - entry.at).count();
  return {{"at", Timestamp::iso8601UTCMillis(entry.at)},
          {"source", toRaw(entry.source)},
          {"tool", entry.tool},
          {"ago_s", std::max<std::int64_t>(0, ago)}};
}

std::string hostname() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

void addVersions(json& status, const std::string& version) {
  if (const auto latest = Versions::readVersionFile("bin/.latest-version");
      latest && Versions::isNewer(*latest, version)) {
    const auto behind = Versions::patchNumber(*latest) - Versions::patchNumber(version);
    status["update"] = {{"version", *latest},
                        {"versions_behind", std::max<std::int64_t>(0, behind)}};
  }
  if (const auto installed = Versions::readVersionFile("bin/.server-version");
      installed && Versions::isNewer(*installed, version)) {
    status["pending_restart_version"] = *installed;
  }
}

void addActivity(json& status, const ActivityTracker& activity) {
  const auto now = std::chrono::system_clock::now();
  if (const auto newest = activity.snapshot()) {
    status["last_activity"] = activityEntry(*newest, now);
  }
  json recent = json::array();
  for (const auto& entry : activity.recentEntries()) {
    recent.push_back(activityEntry(entry, now));
  }
  status["recent_activity"] = std::move(recent);
}

// The words of the permission checker, or "unknown" for each while the services have not been
// scanned yet.
PermissionStatusMap permissions(const ServerContext& context) {
  if (!context.permissionStatus) return {};
  PermissionStatusMap words = context.permissionStatus();
  if (context.servicesScanned && !context.servicesScanned()) {
    for (auto& [key, word] : words) word = "unknown";
  }
  return words;
}

}  // namespace

json build(const std::string& version, const ServerContext& context, ServerState state) {
  const ActivityTracker& activity = context.activity;
  const auto settings = context.settings->snapshot();
  const json& values = settings->values;

  json status = {
      {"server", state == ServerState::connected ? "connected" : "stopped"},
      {"version", version},
      {"url", "unix://" + IPCServer::socketPath().string()},
      {"port", Endpoints::statusPort()},
      {"services",
       context.serviceStatus ? context.serviceStatus() : ServiceStatusScanner::defaultEntries()},
      {"security",
       {{"api_key_enabled", Config(*context.settings).apiKeyEnabled()},
        {"network_mode", Config(*context.settings).networkMode()}}},
      {"auto_update", flag(values, "auto_update")},
      {"cloud_data_enabled", flag(values, "cloud_data_enabled")},
      {"tunnel_connected", TunnelState::read()},
      {"hostname", hostname()},
      {"machine_id", context.settings->getMachineId()},
      {"started_at", HeartbeatManager::startedAt()},
      {"ai_client_health", AIClientCatalog::health()},
      {"permissions", permissions(context)},
      {"disabled_services", settings->disabledServices},
  };
  addVersions(status, version);
  if (const auto message = context.pushMessage.message()) status["push_message"] = *message;
  if (const auto first = values.find("first_tool_call_at");
      first != values.end() && first->is_string()) {
    status["first_tool_call_at"] = *first;
  }
  addActivity(status, activity);
  return status;
}

std::string text(const std::string& version, const ServerContext& context, ServerState state) {
  return build(version, context, state).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace tvrn::StatusDocument
