// The environment-state tool: one passive picture of versions, relay, permissions, services and
// recent activity, built without prompting, opening windows or touching the network.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolRegistry.h"
#include "tools/common/AutomationBridges.h"

namespace tvrn::StateTools {

// Registers tvrn_state; its answers name `version` as the running app's and tell of what the
// registry's context holds.
void registerTools(ToolRegistry& registry, AutomationBridges with, const std::string& version);

// The snapshot for the running app version, with the settings, activity, services and sources of
// the server's `context`, the permission words of `with.helper` and whether `with.scripts` can
// reach Mail; never fails (every missing piece has a default).
nlohmann::json snapshot(const AutomationBridges& with, const std::string& version,
                        const ServerContext& context);

}  // namespace tvrn::StateTools
