// What the tray's tests share: the status documents they start from, each taken from a real
// /status reply, and a wait on the Qt event loop for replies from real loopback servers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// "status-busy.json" (services, activity, permissions, update) or "status-fresh-install.json".
inline nlohmann::json statusFixture(const std::string& name) {
  return nlohmann::json::parse(
      readFile(std::filesystem::path(TVRN_TESTS_DIR) / "tray" / "fixtures" / name));
}

// The configuration file of a private session bus (for dbus-daemon or dbus-run-session), written
// into the test's home: the bus listens there too, so its socket goes with the home, however the
// test ends.
inline std::filesystem::path privateBusConfig() {
  const auto config = home() / "bus.conf";
  writeFile(config, "<busconfig>\n  <type>session</type>\n  <listen>unix:dir=" + home().string() +
                        "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                        "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n"
                        "</busconfig>\n");
  return config;
}

// status.json as the status server writes it, with the given modification time.
inline void writeStatusFile(const nlohmann::json& status,
                            std::chrono::system_clock::time_point modified) {
  const auto file = Paths::appSupport() / "status.json";
  writeFile(file, status.dump());
  const auto since1970 = modified.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since1970);
  const timespec at{seconds.count(),
                    static_cast<long>(std::chrono::nanoseconds(since1970 - seconds).count())};
  const timespec times[2] = {at, at};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

// Runs the event loop until `done` holds; false when `patience` passes first.
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds patience = std::chrono::seconds(30)) {
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
