// Every request the tray makes of the status server, the back end and the web site: the path
// and the time-out it waits, in one table.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tvrn {

struct TrayRoute {
  enum class Service { statusServer, backend, web };
  Service service;
  std::string_view path;
  std::chrono::milliseconds timeout;
};

namespace TrayRoutes {

using namespace std::chrono_literals;

inline constexpr TrayRoute status{TrayRoute::Service::statusServer, "/status", 4s};
inline constexpr TrayRoute config{TrayRoute::Service::statusServer, "/config", 4s};
inline constexpr TrayRoute trayEvent{TrayRoute::Service::statusServer, "/tray-event", 4s};
inline constexpr TrayRoute cloudDataEnable{TrayRoute::Service::statusServer, "/cloud-data-enable",
                                           15s};
inline constexpr TrayRoute installEvent{TrayRoute::Service::backend, "/install-event", 10s};
inline constexpr TrayRoute feedback{TrayRoute::Service::backend, "/feedback", 10s};
// Sent on the way out and never awaited.
inline constexpr TrayRoute uninstallFeedback{TrayRoute::Service::backend, "/feedback", 60s};
inline constexpr TrayRoute runtimeLatest{TrayRoute::Service::backend, "/runtime/latest", 10s};
inline constexpr TrayRoute listTrayApprovals{TrayRoute::Service::web, "/oauth/list-tray-approvals",
                                             5s};
inline constexpr TrayRoute completeTrayApproval{TrayRoute::Service::web,
                                                "/oauth/complete-tray-approval", 10s};
// Never requested: the address is only handed to the user.
inline constexpr TrayRoute cloudMCP{TrayRoute::Service::web, "/mcp", 0s};

// The route's full address on its service's base URL, read at each call.
std::string url(const TrayRoute& route);

}  // namespace TrayRoutes
}  // namespace tvrn
