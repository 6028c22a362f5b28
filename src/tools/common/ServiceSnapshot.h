// The service scanner's last verdict as the messaging tools see it. The scanner lives above the
// tools, so start-up installs the source; until then every service is "not known".
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace tvrn::ServiceSnapshot {

// Where the snapshot comes from; an empty function stands for no source.
void setSource(std::function<nlohmann::json()> source);

// The whole snapshot; null when there is no source.
nlohmann::json current();

// The snapshot's entry for one service key; null when there is no source or no such entry.
nlohmann::json entry(std::string_view key);

// A boolean member of one service's entry; nothing when the entry or a boolean there is missing.
std::optional<bool> flag(std::string_view service, std::string_view member);

}  // namespace tvrn::ServiceSnapshot
