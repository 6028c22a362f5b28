// The Microsoft 365 account: device-code sign-in at the identity platform, the tokens kept in the
// user's config.json, and the token gate every Graph request passes first, which renews the
// access token shortly before it runs out.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::M365Tools {

// The settings that hold the account; signing out stores empty texts and zeros, never removes.
inline constexpr const char* kAccessTokenKey = "m365_access_token";
inline constexpr const char* kRefreshTokenKey = "m365_refresh_token";
inline constexpr const char* kTokenExpiryKey = "m365_token_expiry";  // seconds since 1970
inline constexpr const char* kAccountEmailKey = "m365_account_email";
inline constexpr const char* kPendingDeviceCodeKey = "m365_pending_device_code";
inline constexpr const char* kPendingUserCodeKey = "m365_pending_user_code";
inline constexpr const char* kPendingExpiryKey = "m365_pending_expiry";  // seconds since 1970

using TokenAnswer = Result<nlohmann::json, ToolError>;

// A usable access token, renewed and saved when 300 s of life or less remain; otherwise the
// not-connected or session-expired failure.
Result<std::string, ToolError> m365AccessToken(const ConfigManager& settings);

// One exchange each with the identity platform; every outcome is a value.
TokenAnswer m365RequestDeviceCode();
// Fails with the platform's error code (such as "authorization_pending") or a transport text.
TokenAnswer m365PollToken(std::string_view deviceCode);
TokenAnswer m365RefreshToken(std::string_view refreshToken);

// The account name in the access token's payload (preferred_username, upn or email).
std::optional<std::string> jwtEmail(std::string_view token);

// One step of the sign-in per call: already connected, poll the pending code, or a new code.
ToolResult connectM365Account(const ConfigManager& settings, const Params::Arguments& arguments);
// Clears all the account's settings; the tokens are not revoked at the identity platform.
ToolResult disconnectM365Account(const ConfigManager& settings, const Params::Arguments& arguments);

// What the service scan shows of the account.
struct AccountState {
  bool connected = false;  // an access token is stored
  std::string email;
};
AccountState accountState(const ConfigManager& settings);

}  // namespace tvrn::M365Tools
