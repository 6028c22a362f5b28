#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stop_token>
#include <thread>

#include "cloud/TunnelLock.h"
#include "cloud/TunnelState.h"
#include "platform/Paths.h"
#include "platform/Timestamp.h"
#include "support/LockHolder.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(TunnelStateTest, ConnectedOnlyWhenTheFileSaysSoAndIsFresh) {
  const auto now = std::chrono::system_clock::now();
  struct Row {
    const char* name;
    std::string content;  // empty: no file
    bool connected;
  };
  const Row rows[] = {
      {"no file", "", false},
      {"fresh", json({{"connected", true}, {"updated_at", Timestamp::iso8601UTC(now)}}).dump(),
       true},
      {"fractional seconds",
       json({{"connected", true}, {"updated_at", Timestamp::iso8601UTCMillis(now - 119s)}}).dump(),
       true},
      {"too old",
       json({{"connected", true}, {"updated_at", Timestamp::iso8601UTC(now - 125s)}}).dump(),
       false},
      {"disconnected",
       json({{"connected", false}, {"updated_at", Timestamp::iso8601UTC(now)}}).dump(), false},
      {"connected as text",
       json({{"connected", "true"}, {"updated_at", Timestamp::iso8601UTC(now)}}).dump(), false},
      {"no time", json({{"connected", true}}).dump(), false},
      {"unreadable time", json({{"connected", true}, {"updated_at", "yesterday"}}).dump(), false},
      {"not JSON", "{connected", false},
  };
  const auto file = Paths::appSupport() / "tunnel-state.json";
  for (const Row& row : rows) {
    std::filesystem::remove(file);
    if (!row.content.empty()) test::writeFile(file, row.content);
    EXPECT_EQ(TunnelState::read(), row.connected) << row.name;
  }
}

TEST(TunnelLockTest, WaitsWhileAnotherProcessHoldsItAndGivesUpWhenStopped) {
  const auto lockFile = Paths::appSupport() / "cloudtunnel.lock";
  auto holder = test::holdLockInChild(lockFile);
  ASSERT_TRUE(holder);

  std::stop_source stop;
  std::jthread stopper([&stop] {
    std::this_thread::sleep_for(100ms);
    stop.request_stop();
  });
  EXPECT_FALSE(TunnelLock::shared().acquire(stop.get_token()));
  EXPECT_FALSE(TunnelLock::shared().held());

  holder->terminate();
  EXPECT_TRUE(TunnelLock::shared().acquire({}));
  EXPECT_TRUE(TunnelLock::shared().held());
  // Held once for the process: a second user gets it at once, and others cannot take it.
  EXPECT_TRUE(TunnelLock::shared().acquire({}));
  EXPECT_TRUE(test::isLockedByAnother(lockFile));
}

}  // namespace
}  // namespace tvrn
