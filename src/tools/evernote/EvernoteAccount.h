// The Evernote account: the browser sign-in (authorisation code with PKCE, redirected to a
// loopback listener), the tokens kept in the user's config.json, and the token gate every note
// request passes first, which renews the access token shortly before it runs out.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::EvernoteTools {

inline constexpr const char* kAccessTokenKey = "evernote_access_token";
inline constexpr const char* kRefreshTokenKey = "evernote_refresh_token";
inline constexpr const char* kTokenExpiryKey = "evernote_token_expiry";  // seconds since 1970
inline constexpr const char* kAccountEmailKey = "evernote_account_email";

// How long the sign-in waits for the browser to come back.
inline constexpr std::chrono::milliseconds kSignInWait = std::chrono::seconds(120);

// Opens the browser at Evernote's sign-in page and waits up to `wait` for its redirect, then
// exchanges the code and stores the tokens; or answers that an account is connected already.
// The tokens live in the user's file of `settings`.
ToolResult connectEvernote(const ConfigManager& settings, std::chrono::milliseconds wait);
ToolResult disconnectEvernote(const ConfigManager& settings, const Params::Arguments& arguments);

// A usable access token, renewed and saved when 300 s of life or less remain.
Result<std::string, ToolError> enAccessToken(const ConfigManager& settings);

// The account's address as the user endpoint gives it, if it does.
std::optional<std::string> enFetchUserEmail(const std::string& token);

// base64url (no padding) of the SHA-256 of the verifier.
std::string enCodeChallenge(std::string_view verifier);
// `length` characters drawn uniformly from A-Z, a-z, 0-9 and "-._~" by the system's secure
// random source.
std::string enRandomString(std::size_t length);

// What the service scan shows of the account.
struct AccountState {
  bool connected = false;  // an access token is stored
  std::string email;
};
AccountState accountState(const ConfigManager& settings);

}  // namespace tvrn::EvernoteTools
