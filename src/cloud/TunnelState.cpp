#include "cloud/TunnelState.h"

#include <nlohmann/json.hpp>

#include "base/Timestamp.h"
#include "core/Logger.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"

namespace tvrn::TunnelState {

bool read() {
  const auto text = FileStore::read(Paths::appSupport() / "tunnel-state.json");
  if (!text) return false;
  const auto state = nlohmann::json::parse(*text, nullptr, false);
  if (!state.is_object()) return false;
  const auto connected = state.find("connected");
  if (connected == state.end() || !connected->is_boolean() || !connected->get<bool>()) {
    return false;
  }
  const auto updated = state.find("updated_at");
  if (updated == state.end() || !updated->is_string()) return false;
  const auto at = Timestamp::parseISO8601(updated->get_ref<const std::string&>());
  if (!at) return false;
  // A stamp from the future (a clock set back) counts as fresh, as a file just written would.
  return std::chrono::system_clock::now() - *at <= kMaxAge;
}

void write(bool connected) {
  const nlohmann::json state{{"connected", connected}, {"updated_at", Timestamp::iso8601UTC()}};
  if (!FileStore::writeAtomic(Paths::appSupport() / "tunnel-state.json", state.dump())) {
    // Readers then see the last state go stale, and take it for not connected.
    Logger::warn("relay", "Could not write the tunnel state");
  }
}

}  // namespace tvrn::TunnelState
