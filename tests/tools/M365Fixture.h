// A world for the Microsoft 365 tools: the identity platform and Graph stand-ins on 127.0.0.1, a
// fixed wall clock, the family registered, and readers of what was stored.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "core/ConfigManager.h"
#include "core/ToolRegistry.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Base64.h"
#include "platform/WallClock.h"
#include "support/TestEnv.h"
#include "tools/M365Account.h"
#include "tools/M365Tools.h"

namespace tvrn::test {

inline constexpr double kNow = 1'800'000'000;
inline constexpr const char* kTokenPath = "/common/oauth2/v2.0/token";
inline constexpr const char* kDeviceCodePath = "/common/oauth2/v2.0/devicecode";

// An access token whose payload carries these claims.
inline std::string jwt(const nlohmann::json& claims) {
  return "eyJhbGciOiJub25lIn0." + Base64::encodeURL(claims.dump()) + ".sig";
}

inline CannedResponse canned(int status, std::string body) {
  CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

inline CannedResponse answer(const nlohmann::json& body, int status = 200) {
  return canned(status, body.dump());
}

class M365Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_LOGIN_URL", login.baseURL().c_str(), 1);
    ::setenv("TVRN_GRAPH_URL", graph.baseURL().c_str(), 1);
    WallClock::fixAt(kNow);
    M365Tools::registerTools(*registry);
  }
  void TearDown() override { WallClock::useSystemClock(); }

  // The tool's text, or "Error: " and the error as a client would see it.
  std::string call(const std::string& tool, const nlohmann::json& arguments = {}) {
    ToolResult result = registry->dispatch(tool, JSONValue::fromRaw(arguments));
    if (!result) return "Error: " + result.error().description();
    return result.value().rawValue()["content"][0]["text"];
  }

  // A connected account whose access token has `life` seconds left.
  void signIn(double life, const std::string& refreshToken = "R1+/") {
    ASSERT_TRUE(ConfigManager::shared().save({{M365Tools::kAccessTokenKey, "A0"},
                                              {M365Tools::kRefreshTokenKey, refreshToken},
                                              {M365Tools::kTokenExpiryKey, kNow + life},
                                              {M365Tools::kAccountEmailKey, "ana@contoso.com"}}));
  }

  // The user's config.json as it is on disk.
  nlohmann::json stored() const {
    return nlohmann::json::parse(readFile(ConfigManager::shared().configPath()));
  }

  RecordingHttpServer login;
  RecordingHttpServer graph;
  std::shared_ptr<ToolRegistry> registry = std::make_shared<ToolRegistry>();
};

}  // namespace tvrn::test
