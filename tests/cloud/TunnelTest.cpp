#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "base/Timestamp.h"
#include "cloud/TunnelState.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

TEST(TunnelStateTest, ConnectedOnlyWhenTheFileSaysSoAndIsFresh) {
  const auto now = std::chrono::system_clock::now();
  const auto state = [](nlohmann::json connected, std::string at) {
    return nlohmann::json({{"connected", connected}, {"updated_at", at}}).dump();
  };
  const std::tuple<std::string, bool> rows[] = {
      {"", false},  // no file
      {state(true, Timestamp::iso8601UTC(now)), true},
      {state(true, Timestamp::iso8601UTCMillis(now - 119s)), true},
      {state(true, Timestamp::iso8601UTC(now - 125s)), false},
      {state(false, Timestamp::iso8601UTC(now)), false},
      {state("true", Timestamp::iso8601UTC(now)), false},
      {state(true, "yesterday"), false},
      {"{connected", false},
  };
  const auto file = Paths::appSupport() / "tunnel-state.json";
  for (const auto& [content, connected] : rows) {
    std::filesystem::remove(file);
    if (!content.empty()) test::writeFile(file, content);
    EXPECT_EQ(TunnelState::read(), connected) << content;
  }
}

}  // namespace
}  // namespace tvrn
