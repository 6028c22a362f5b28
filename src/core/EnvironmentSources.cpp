#include "core/EnvironmentSources.h"

namespace tvrn::EnvironmentSources {

bool tunnelConnected(const Sources& sources) {
  return sources.tunnelConnected && sources.tunnelConnected();
}

std::optional<UpdateReport> updateCheck(const Sources& sources, bool checkOnly) {
  if (!sources.updateCheck) return std::nullopt;
  return sources.updateCheck(checkOnly);
}

UpdateHistory updateHistory(const Sources& sources) {
  return sources.updateHistory ? sources.updateHistory() : UpdateHistory{};
}

}  // namespace tvrn::EnvironmentSources
