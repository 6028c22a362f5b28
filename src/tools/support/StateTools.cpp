#include "tools/support/StateTools.h"

#include <algorithm>
#include <chrono>

#include "base/Timestamp.h"
#include "core/ActivityTracker.h"
#include "core/ConfigManager.h"
#include "core/EnvironmentSources.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "core/Versions.h"
#include "platform/OperatingSystem.h"
#include "platform/RunningApps.h"
#include "tools/common/ServiceSnapshot.h"
#include "tools/support/StateToolsTexts.h"

namespace tvrn::StateTools {
namespace {

namespace Texts = StateTexts;
using nlohmann::json;

constexpr std::string_view kMailBundleId = "com.apple.mail";
// Fewer releases behind than this are not worth interrupting the user for.
constexpr std::int64_t kAdviceThreshold = 3;

std::string versionFile(std::string_view relativePath) {
  return Versions::readVersionFile(relativePath).value_or("");
}

bool boolMember(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_boolean() && found->get<bool>();
}

std::int64_t intMember(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_number_integer() ? found->get<std::int64_t>() : 0;
}

// The strings in a list; a member that is not a list holds none.
std::int64_t stringCount(const json& list) {
  if (!list.is_array()) return 0;
  return std::count_if(list.begin(), list.end(), [](const json& item) { return item.is_string(); });
}

std::int64_t stringCountIn(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() ? stringCount(*found) : 0;
}

json updateState(const std::string& version) {
  const std::string disk = Versions::readVersionFile("bin/.server-version").value_or(version);
  const std::string latest = versionFile("bin/.latest-version");
  std::int64_t behind = 0;
  if (!latest.empty()) {
    behind =
        std::max<std::int64_t>(0, Versions::patchNumber(latest) - Versions::patchNumber(version));
  }
  const bool available = behind > kAdviceThreshold;
  return {{"process_version", version},
          {"disk_version", disk},
          {"needs_restart", Versions::isNewer(disk, version)},
          {"latest_version", latest},
          {"available", available},
          {"versions_behind", behind},
          {"message", available ? Texts::updateAdvice(version, latest, behind) : ""}};
}

std::string mailAutomation(JXARunning& scripts, const json& scan) {
  const bool mailRunning = RunningApps::isRunning(kMailBundleId);
  // A Linux mail client counts as Mail, but automating it takes scripts.
  if (mailRunning && !scripts.canRun()) return std::string(kScriptsUnavailable);
  const json email = scan.is_object() ? scan.value("email", json()) : json();
  const auto accounts = email.is_object() ? email.find("accounts") : email.end();
  if (!email.is_object() || accounts == email.end() || !accounts->is_array()) {
    return mailRunning ? "unknownOrDenied" : "notRunning";
  }
  if (!mailRunning) return "notRunning";
  return stringCount(*accounts) == 0 ? "unknownOrDenied" : "authorized";
}

json permissionStates(const AutomationBridges& with, const json& scan) {
  const json reply = with.helper.callDict("get_tcc_status").value_or(json::object());
  json tcc = json::object();
  for (const char* name : {"calendar", "reminders", "contacts"}) {
    const auto found = reply.find(name);
    tcc[name] = found != reply.end() && found->is_string() ? found->get<std::string>()
                                                           : std::string(Texts::kHelperUnavailable);
  }
  tcc["mail_automation"] = mailAutomation(with.scripts, scan);
  return tcc;
}

// One summary per scanner entry of the expected shape; others are left out.
json serviceSummary(const json& scan) {
  json services = json::object();
  if (!scan.is_object()) return services;
  const auto object = [&scan](const char* key) -> const json* {
    const auto found = scan.find(key);
    return found != scan.end() && found->is_object() ? &*found : nullptr;
  };
  const auto runningWith = [&](const char* as, const char* key, const char* countName,
                               const char* listName) {
    if (const json* entry = object(key)) {
      services[as] = {{"running", boolMember(*entry, "running")},
                      {countName, stringCountIn(*entry, listName)}};
    }
  };
  runningWith("mail", "email", "accounts", "accounts");
  runningWith("calendar", "calendar", "calendars", "calendars");
  runningWith("contacts", "contacts", "sources", "sources");
  if (const json* teams = object("teams")) {
    services["teams"] = {{"available", boolMember(*teams, "available")},
                         {"conversations", intMember(*teams, "conversations")},
                         {"tenants", intMember(*teams, "tenants")}};
  }
  if (const auto onedrive = scan.find("onedrive");
      onedrive != scan.end() && onedrive->is_array() &&
      std::all_of(onedrive->begin(), onedrive->end(),
                  [](const json& v) { return v.is_string(); })) {
    services["onedrive"] = {{"accounts", stringCount(*onedrive)}};
  }
  runningWith("reminders", "reminders", "lists", "lists");
  if (const json* notes = object("notes")) {
    services["notes"] = {{"running", boolMember(*notes, "running")},
                         {"count", intMember(*notes, "count")}};
  }
  return services;
}

}  // namespace

json snapshot(const AutomationBridges& with, const std::string& version,
              const ServerContext& context) {
  const json config = context.settings->load();
  const std::string machineId = context.settings->getMachineId();
  const ActivityTracker& activity = context.activity;
  const auto token = config.find("cloud_token");
  const bool tokenSet =
      token != config.end() && token->is_string() && !token->get_ref<const std::string&>().empty();

  std::string tray = versionFile("tray/.tray-version");
  if (tray.empty()) tray = versionFile("tray/.version");

  json state = {{"version", version},
                {"tray_version", tray},
                {"teams_proxy_version", versionFile("bin/.teams-proxy-version")},
                {"os_version", OperatingSystem::versionNumbers(3)},
                {"arch", OperatingSystem::buildArchitecture()},
                {"machine_id", machineId},
                {"ai_client", context.aiClient ? context.aiClient() : std::string()},
                {"cloud_token_set", tokenSet},
                {"cloud_data_enabled", boolMember(config, "cloud_data_enabled")},
                {"tunnel_connected", EnvironmentSources::tunnelConnected(context.environment)}};
  state["tcc"] = permissionStates(with, ServiceSnapshot::current(context));
  state["services"] = serviceSummary(ServiceSnapshot::current(context));
  state["recent_activity_count"] = activity.recentEntries().size();
  state["update"] = updateState(version);
  if (const auto last = activity.snapshot()) {
    const auto ago = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now() - last->at);
    state["last_activity"] = {{"at", Timestamp::iso8601UTCMillis(last->at)},
                              {"source", toRaw(last->source)},
                              {"tool", last->tool},
                              {"ago_s", ago.count()}};
  }
  return state;
}

void registerTools(ToolRegistry& registry, AutomationBridges with, const std::string& version) {
  registry.registerTool(
      {"tvrn_state", std::string(Texts::kDescription),
       ToolSchema::schema(json::object(), json::array()), ToolKind::readOnly,
       [with, version, context = registry.sharedContext()](const Params::Arguments&) -> ToolResult {
         return ToolResponse::json(
             JSONValue::fromRaw(snapshot(with, version, *context)).value_or(JSONValue()));
       }});
}

}  // namespace tvrn::StateTools
