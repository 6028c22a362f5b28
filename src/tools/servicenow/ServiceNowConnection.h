// The stored ServiceNow connection (instance host and Basic credentials in config.json), signing
// in and out, and the three requests every incident tool makes through it.
#pragma once

#include <string>

#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::ServiceNowTools {

inline constexpr const char* kInstanceKey = "servicenow_instance";
inline constexpr const char* kAuthKey = "servicenow_auth";  // base64 of "user:password"
inline constexpr const char* kUsernameKey = "servicenow_username";

struct Credentials {
  std::string host;
  std::string auth;
  std::string username;  // may be empty
};

// The stored connection, or the not-connected failure; a stored host that is no plain host name
// counts as not connected, so the credentials never go elsewhere.
Result<Credentials, ToolError> snCredentials(const ConfigManager& settings);

// The instance text as the user typed it, as the host to store: schemes and slashes dropped, the
// hosted-instance suffix added to a bare name (before its ":port", when it has one).
std::string normaliseInstance(std::string text);
// Letters, digits, "." and "-" (no empty label), with an optional ":port" from 1 to 65535.
bool isPlainHost(std::string_view host);
// "https://" + host ("http://" only for 127.0.0.1 while TVRN_SERVICENOW_SCHEME is "http").
std::string instanceOrigin(const std::string& host);

using SNBody = Result<std::string, ToolError>;  // the reply body, empty when there is none
SNBody snGET(const std::string& url, const std::string& auth);
SNBody snPOST(const std::string& url, const std::string& auth, std::string body);
SNBody snPATCH(const std::string& url, const std::string& auth, std::string body);

// Both change the connection kept in the user's file of `settings`.
ToolResult connectServiceNow(const ConfigManager& settings, const Params::Arguments& arguments);
ToolResult disconnectServiceNow(const ConfigManager& settings, const Params::Arguments& arguments);

}  // namespace tvrn::ServiceNowTools
