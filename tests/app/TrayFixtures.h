// The status documents the tray's tests start from, each taken from a real /status reply.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/TestEnv.h"

namespace tvrn::test {

// "status-busy.json" (services, activity, permissions, update) or "status-fresh-install.json".
inline nlohmann::json statusFixture(const std::string& name) {
  return nlohmann::json::parse(
      readFile(std::filesystem::path(TVRN_TESTS_DIR) / "app" / "fixtures" / name));
}

}  // namespace tvrn::test
