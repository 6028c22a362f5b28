// The service scanner's last verdict as the messaging tools see it: the context's
// `serviceStatus`, which start-up fills from the scanner; without one every service is "not
// known".
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "core/ServerContext.h"

namespace tvrn::ServiceSnapshot {

// The whole snapshot; null when the context has no source.
nlohmann::json current(const ServerContext& context);

// The snapshot's entry for one service key; null when there is no source or no such entry.
nlohmann::json entry(const ServerContext& context, std::string_view key);

// A boolean member of one service's entry; nothing when the entry or a boolean there is missing.
std::optional<bool> flag(const ServerContext& context, std::string_view service,
                         std::string_view member);

}  // namespace tvrn::ServiceSnapshot
