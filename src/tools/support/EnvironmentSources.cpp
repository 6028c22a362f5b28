#include "tools/support/EnvironmentSources.h"

#include <mutex>
#include <utility>

namespace tvrn::EnvironmentSources {
namespace {

std::mutex& sourcesMutex() {
  static std::mutex mutex;
  return mutex;
}

Sources& installed() {  // guarded by sourcesMutex()
  static auto& sources = *new Sources();
  return sources;
}

// A copy taken under the lock, so a source runs without holding it.
Sources current() {
  std::lock_guard hold(sourcesMutex());
  return installed();
}

}  // namespace

void install(Sources sources) {
  std::lock_guard hold(sourcesMutex());
  installed() = std::move(sources);
}

std::string aiClient() {
  const Sources sources = current();
  return sources.aiClient ? sources.aiClient() : std::string();
}

bool tunnelConnected() {
  const Sources sources = current();
  return sources.tunnelConnected && sources.tunnelConnected();
}

std::optional<UpdateReport> updateCheck(bool checkOnly) {
  const Sources sources = current();
  if (!sources.updateCheck) return std::nullopt;
  return sources.updateCheck(checkOnly);
}

UpdateHistory updateHistory() {
  const Sources sources = current();
  return sources.updateHistory ? sources.updateHistory() : UpdateHistory{};
}

}  // namespace tvrn::EnvironmentSources
