// What the support tools read of the layers above them (the relay tunnel and the self-updater),
// carried by the server's context: start-up fills them in; until then each answer is "not known".
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
  std::function<bool()> tunnelConnected;
  // One update check; with checkOnly set nothing is downloaded or installed.
  std::function<UpdateReport(bool checkOnly)> updateCheck;
  std::function<UpdateHistory()> updateHistory;
};

// Each answers "not known" without its source: false, nothing, an empty history.
bool tunnelConnected(const Sources& sources);
std::optional<UpdateReport> updateCheck(const Sources& sources, bool checkOnly);
UpdateHistory updateHistory(const Sources& sources);

}  // namespace tvrn::EnvironmentSources
