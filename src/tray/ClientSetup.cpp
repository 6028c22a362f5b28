#include "tray/ClientSetup.h"

#include <QWidget>
#include <algorithm>
#include <nlohmann/json.hpp>

#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "server/BundledServer.h"
#include "tray/AppDelegate.h"
#include "tray/ClientConfigEditor.h"
#include "tray/TrayHttp.h"

namespace tvrn::ClientSetup {
namespace {

using AIClientCatalog::Client;

constexpr std::chrono::milliseconds kPopoverDelay{300};

std::vector<std::string> seenIds(const ConfigManager& settings) {
  std::vector<std::string> ids;
  const auto config = settings.load();
  const auto seen = config.find(kSeenIdsKey);
  if (seen == config.end() || !seen->is_array()) return ids;
  for (const auto& id : *seen) {
    if (!id.is_string()) return {};  // not a list of texts: nothing counts as seen
    ids.push_back(id.get<std::string>());
  }
  return ids;
}

bool contains(const std::vector<std::string>& ids, const std::string& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool write(const Client& client, const std::string& method, const ConfigManager& settings,
           QObject* context) {
  if (!ClientConfigEditor::addEntry(client.def, BundledServer::path().string())) return false;
  trackConfigWritten(client.def, method, settings, context);
  return true;
}

}  // namespace

std::vector<std::string> autoConfigure(const ConfigManager& settings, QObject* context) {
  const auto seen = seenIds(settings);
  std::vector<Client> detected;
  nlohmann::json detectedIds = nlohmann::json::array();
  for (auto& client : AIClientCatalog::clients(AIClientCatalog::Job::autoConfig)) {
    if (!AIClientCatalog::isDetected(client)) continue;
    detectedIds.push_back(client.def.id);
    detected.push_back(std::move(client));
  }
  if (!settings.save({{kSeenIdsKey, detectedIds}})) {
    Logger::warn("tray", "Could not record the AI clients seen; they count as new next time");
  }

  std::vector<std::string> configured;
  for (const auto& client : detected) {
    if (contains(seen, client.def.id) || AIClientCatalog::mentionsUs(client.def.cfgPath)) continue;
    if (write(client, "tray-auto", settings, context)) configured.push_back(client.def.name);
  }
  return configured;
}

void autoConfigureClientsIfNeeded(AppDelegate& delegate, const ConfigManager& settings,
                                  TrayScheduler& scheduler) {
  const auto configured = autoConfigure(settings, &delegate);
  scheduler.after(kPopoverDelay, &delegate, [&delegate] {
    if (delegate.statusItem() && delegate.popover() && !delegate.popover()->isVisible()) {
      delegate.togglePopover();
    }
  });
  if (!configured.empty()) delegate.notifications().showClientsConfigured(configured);
}

bool fix(const Client& client, const ConfigManager& settings, QObject* context) {
  return !client.isCloudOnly() && write(client, "tray-fix", settings, context);
}

void trackConfigWritten(const AIClientDef& client, const std::string& method,
                        const ConfigManager& settings, QObject* context) {
  const nlohmann::json body = {{"stage", "config_written"},
                               {"client_id", client.id},
                               {"client_name", client.name},
                               {"machine_id", settings.getMachineId()},
                               {"method", method}};
  TrayHttp::shared().postJSON(TrayRoutes::installEvent, body, context,
                              [](const TrayHttp::Reply&) {});
}

std::vector<Row> rows(bool tunnelConnected,
                      const std::function<bool(const std::filesystem::path&)>& mentionsUs) {
  std::vector<Row> result;
  for (auto& client : AIClientCatalog::clients(AIClientCatalog::Job::section)) {
    if (!AIClientCatalog::isDetected(client)) continue;
    Row row{std::move(client)};
    if (row.client.isCloudOnly()) {
      row.connected = tunnelConnected;
    } else {
      row.configured = mentionsUs(row.client.def.cfgPath);
    }
    result.push_back(std::move(row));
  }
  return result;
}

}  // namespace tvrn::ClientSetup
