// The NordVPN tools: a look at the installed app's state, its recommended servers from the
// provider's public API, and a troubleshooting report. They never connect or change anything.
#pragma once

#include "core/ToolRegistry.h"

namespace tvrn::NordVPNTools {

// Adds nordvpn_status, nordvpn_servers and nordvpn_diagnose (all read-only), in that order.
void registerTools(ToolRegistry& registry);

}  // namespace tvrn::NordVPNTools
