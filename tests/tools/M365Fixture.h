// The Microsoft 365 family against stand-ins for the identity platform and Graph on 127.0.0.1,
// with the wall clock fixed.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/WallClock.h"
#include "support/TestEnv.h"
#include "tools/M365Tools.h"

namespace tvrn {

inline constexpr double kNow = 1'800'000'000;  // 2027-01-15T08:00:00Z

inline test::CannedResponse canned(int status, std::string body) {
  test::CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}
inline test::CannedResponse answer(const nlohmann::json& body, int status = 200) {
  return canned(status, body.dump());
}

class M365ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_LOGIN_URL", login.baseURL().c_str(), 1);
    ::setenv("TVRN_GRAPH_URL", graph.baseURL().c_str(), 1);
    WallClock::fixAt(kNow);
    M365Tools::registerTools(*registry);
  }
  void TearDown() override { WallClock::useSystemClock(); }

  // The tool's text, or "Error: " and the error as a client sees it.
  std::string call(const std::string& tool, const nlohmann::json& arguments = {}) {
    ToolResult result = registry->dispatch(tool, JSONValue::fromRaw(arguments));
    if (!result) return "Error: " + result.error().description();
    return result.value().rawValue()["content"][0]["text"];
  }

  // A connected account whose access token "A0" has `life` seconds left.
  void signIn(double life, const std::string& refreshToken = "R1+/") {
    ASSERT_TRUE(ConfigManager::shared().save({{"m365_access_token", "A0"},
                                              {"m365_refresh_token", refreshToken},
                                              {"m365_token_expiry", kNow + life},
                                              {"m365_account_email", "ana@contoso.com"}}));
  }

  nlohmann::json stored() const {
    return nlohmann::json::parse(test::readFile(ConfigManager::shared().configPath()));
  }

  test::RecordingHttpServer login;
  test::RecordingHttpServer graph;
  std::shared_ptr<ToolRegistry> registry = std::make_shared<ToolRegistry>();
};

}  // namespace tvrn
