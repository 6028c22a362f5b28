#include "server/StartupJobs.h"

#include <sys/utsname.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "base/Dispatch.h"
#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "core/Timeouts.h"
#include "platform/Endpoints.h"
#include "platform/FileStore.h"
#include "platform/HttpClient.h"
#include "platform/OperatingSystem.h"
#include "platform/ScriptHost.h"
#include "platform/UserDefaults.h"

namespace tvrn::StartupJobs {
namespace {

constexpr std::chrono::seconds kInstallEventTimeout{static_cast<int>(Timeouts::networkDefault)};

// A script that never ends would otherwise hold its worker for good.
constexpr std::chrono::seconds kWarmUpScriptLimit{static_cast<int>(Timeouts::jxaDefault)};

template <typename T>
T valueOr(const nlohmann::json& config, const char* key, T fallback) {
  const auto found = config.find(key);
  if (found == config.end()) return fallback;
  if constexpr (std::is_same_v<T, bool>) {
    return found->is_boolean() ? found->get<bool>() : fallback;
  } else {
    return found->is_string() ? found->get<std::string>() : fallback;
  }
}

std::string unquoted(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// The distribution's display name from os-release, e.g. "Debian GNU/Linux 12 (bookworm)".
std::optional<std::string> distributionName() {
  for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::istringstream lines(FileStore::read(file).value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
      constexpr std::string_view kKey = "PRETTY_NAME=";
      if (line.rfind(kKey, 0) != 0) continue;
      std::string name = unquoted(line.substr(kKey.size()));
      if (!name.empty()) return name;
    }
  }
  return std::nullopt;
}

// What a person would read as the system's version: the distribution and the kernel release.
std::string osVersion() {
  utsname names{};
  const std::string kernel =
      ::uname(&names) == 0 ? std::string(names.sysname) + " " + names.release : "Linux";
  const auto distribution = distributionName();
  return distribution ? *distribution + " (" + kernel + ")" : kernel;
}

nlohmann::json installEventBody(const std::string& machineId, std::string_view version) {
  return {
      {"stage", "tray_first_launch"},
      {"machine_id", machineId},
      {"version", std::string(version)},
      {"os_version", osVersion()},
      {"arch", OperatingSystem::buildArchitecture()},
      {"source", "tray"},
  };
}

}  // namespace

void warmOSAPermissions(std::chrono::milliseconds spacing, const HandOver& handOver) {
  for (const std::string_view script : kWarmUpScripts) {
    auto run = [script] {
      ScriptHost::run(ScriptHost::ScriptLanguage::appleScript, script, kWarmUpScriptLimit);
    };
    if (!handOver) {
      Dispatch::async(std::move(run));
    } else if (!handOver(std::move(run))) {
      return;
    }
    std::this_thread::sleep_for(spacing);
  }
}

void remindAboutCloudData(const ConfigManager& settings,
                          const std::function<void(const std::string&)>& post) {
  const nlohmann::json config = settings.load();
  const bool holdsRelayToken =
      valueOr<std::string>(config, "cloud_token", "").rfind("tvrn-", 0) == 0;
  const bool enabled = valueOr(config, "cloud_data_enabled", false);
  const bool dismissed = valueOr(config, "cloud_data_migration_dismissed", false);
  if (holdsRelayToken && !enabled && !dismissed) post(std::string(kCloudDataReminder));
}

void sendFirstLaunchInstallEventIfNeeded(const ConfigManager& settings, std::string_view version) {
  if (UserDefaults::boolForKey(kInstallEventSentKey)) return;
  // Without a record of the attempt every later start would send again.
  if (!UserDefaults::setBool(kInstallEventSentKey, true)) return;

  const std::string machineId = settings.getMachineId();
  const HttpResult sent =
      HttpClient::postJSON(Endpoints::backend() + "/install-event",
                           installEventBody(machineId, version), kInstallEventTimeout);
  if (!sent.ok()) {
    if (sent.error().kind == HttpError::Kind::unsupportedURL) return;
    Logger::warn("tray", "First-launch install event failed: " + sent.error().message);
  } else if (!sent.value().isSuccess()) {
    Logger::warn("tray",
                 "First-launch install event failed: HTTP " + std::to_string(sent.value().status));
  } else {
    Logger::info("tray", "First-launch install event sent (machine=" + machineId + ")");
  }
}

}  // namespace tvrn::StartupJobs
