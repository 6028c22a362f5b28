// What one server's registry, sessions and tool families share. Start-up builds it once, filling
// in what only the layers above core know, and hands it to the registry, which gives it to every
// session and family it serves; a test builds its own, so nothing one test leaves reaches the next.
// The sources are set before the context is handed on and only read afterwards.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/ActivityTracker.h"
#include "core/MCPClientTracker.h"
#include "core/ToolCallCounter.h"

namespace tvrn {

struct ServerContext {
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
  // The newest tool calls, for the status document and the environment-state tool.
  ActivityTracker activity;
  // The AI client that last reported a call through the status server, for the heartbeat.
  MCPClientTracker reportingClient;
  // The calls and errors counted since the heartbeat last took them, which the sessions and the
  // status server's report routes add to.
  ToolCounts counts;
};

}  // namespace tvrn
