// What one server's registry, sessions and tool families share. Start-up builds it once, filling
// in what only the layers above core know, and hands it to the registry, which gives it to every
// session and family it serves; a test builds its own, so nothing one test leaves reaches the next.
// The sources are set before the context is handed on and only read afterwards.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>

#include "core/ActivityTracker.h"
#include "core/ConfigManager.h"
#include "core/EnvironmentSources.h"
#include "core/InFlightRequestTracker.h"
#include "core/MCPClientTracker.h"
#include "core/PushMessageStore.h"
#include "core/ToolCallCounter.h"
#include "platform/HttpClient.h"

namespace tvrn {

struct ServerContext {
  // Over the user's settings.
  ServerContext() : ServerContext(ConfigManager::shared()) {}
  // Over settings of its own; the user's are not looked at.
  explicit ServerContext(ConfigManager& ownSettings) : settings(&ownSettings) {}

  // Privacy-permission status by service key ("calendar", ...) to status word ("denied", ...),
  // which "initialize" names the missing permissions from. Unset: none is missing.
  std::function<std::map<std::string, std::string>()> permissionStatus;
  // The launching AI client's name, carried by each call report to the status server. Unset: "",
  // which the status server's client tracker ignores rather than taking a wrong name.
  std::function<std::string()> aiClient;
  // The names of the tools the manifest in force leaves out of the listing. Unset: none.
  std::function<std::set<std::string>()> manifestDisabledTools;
  // The text of a key of the manifest in force's remote configuration. Unset, or no such key:
  // none.
  std::function<std::optional<std::string>(const std::string& key)> manifestSetting;
  // Fetches manifest updates; the heartbeat runs it when the back end asks, and every so many
  // beats. Unset: nothing is fetched.
  std::function<void()> manifestCheck;
  // The service scanner's last verdict, by service key ("slack", "teams", ...), which the
  // messaging tools and the environment-state tool read. Unset: null, every service not known.
  std::function<nlohmann::json()> serviceStatus;
  // Whether that scanner has finished its first scan; until then what it holds tells nothing of
  // the services, nor of what they need. Unset: finished.
  std::function<bool()> servicesScanned;
  // What the support tools report of the relay tunnel and the self-updater. Unset: not known.
  EnvironmentSources::Sources environment;
  // The settings the registry, the sessions, the status server and the tool families read.
  ConfigManager* settings;
  // Sends the reports that nobody waits for: calls and errors to the status server, events to
  // the back end. Each context has its own, stopped with it.
  std::shared_ptr<BackgroundPoster> poster = std::make_shared<BackgroundPoster>();
  // The newest tool calls, for the status document and the environment-state tool.
  ActivityTracker activity;
  // The AI client that last reported a call through the status server, for the heartbeat.
  MCPClientTracker reportingClient;
  // The calls and errors counted since the heartbeat last took them, which the sessions and the
  // status server's report routes add to.
  ToolCounts counts;
  // Set once the status server listens in this process: its routes count into these same counts,
  // so a report to it would count each call and error twice.
  std::atomic<bool> statusServerInProcess{false};
  // The tool calls running now, which a restart can wait to see end (`drain`).
  InFlightRequestTracker inFlight;
  // The sessions not asleep in a read: one that is alone in being awake looks for its client's
  // next request for a moment after answering instead of going to sleep at once.
  std::atomic<int> awakeSessions{0};
  // The message for the tray that the heartbeat's reply or a start-up job left, which the status
  // document carries.
  PushMessageStore pushMessage;
};

}  // namespace tvrn
