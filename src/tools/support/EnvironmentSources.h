// What the support tools read of the layers above them (the heartbeat, the relay tunnel and the
// self-updater). Start-up installs the sources; until then each answer is "not known".
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tvrn::EnvironmentSources {

// The updater's history as the tools show it: each attempt already in its report form.
struct UpdateHistory {
  std::vector<nlohmann::json> attempts;  // oldest first
  std::string lastSuccessAt;             // ISO 8601, empty when there is none
  std::int64_t consecutiveFailures = 0;
};

// What an update check tells the user, and whether it tells of a failure.
struct UpdateReport {
  std::string text;
  bool failed = false;
};

struct Sources {
  std::function<std::string()> aiClient;
  std::function<bool()> tunnelConnected;
  // One update check; with checkOnly set nothing is downloaded or installed.
  std::function<UpdateReport(bool checkOnly)> updateCheck;
  std::function<UpdateHistory()> updateHistory;
};

void install(Sources sources);

std::string aiClient();                                  // "" without a source
bool tunnelConnected();                                  // false without a source
std::optional<UpdateReport> updateCheck(bool checkOnly);  // nothing without a source
UpdateHistory updateHistory();                           // empty without a source

}  // namespace tvrn::EnvironmentSources
