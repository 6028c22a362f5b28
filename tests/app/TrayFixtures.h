// What the tray's tests share: the status documents they start from, each taken from a real
// /status reply, and a wait on the Qt event loop for replies from real loopback servers.
#pragma once

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "support/TestEnv.h"

namespace tvrn::test {

// "status-busy.json" (services, activity, permissions, update) or "status-fresh-install.json".
inline nlohmann::json statusFixture(const std::string& name) {
  return nlohmann::json::parse(
      readFile(std::filesystem::path(TVRN_TESTS_DIR) / "app" / "fixtures" / name));
}

// Runs the event loop until `done` holds; false when `patience` passes first.
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds patience = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  QTimer wakeUp;  // so the wait below looks at the deadline now and then
  wakeUp.start(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace tvrn::test
