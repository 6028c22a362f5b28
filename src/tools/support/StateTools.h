// The environment-state tool: one passive picture of versions, relay, permissions, services and
// recent activity, built without prompting, opening windows or touching the network.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ToolRegistry.h"

namespace tvrn::StateTools {

// Registers tvrn_state; its answers name `version` as the running app's.
void registerTools(ToolRegistry& registry, const std::string& version);

// The snapshot for the running app version; never fails (every missing piece has a default).
nlohmann::json snapshot(const std::string& version);

}  // namespace tvrn::StateTools
