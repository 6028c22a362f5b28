// The client configurations and the diagnostics the tray puts on the clipboard for the user to
// paste: JSON laid out by hand (two spaces per level, one member a line), every inserted value
// written as a JSON string so that any token or path still gives valid JSON.
#pragma once

#include <string>
#include <string_view>

#include "tray/ServerStatus.h"

namespace tvrn::ClientConfigTexts {

// The value as a JSON string, quotes included; text that is not UTF-8 is repaired.
std::string jsonString(std::string_view value);

// An MCP client reaching the server through the cloud relay with the token.
std::string relayConfig(std::string_view cloudMCPURL, std::string_view token);
// An MCP client reaching the server on this machine.
std::string localConfig(std::string_view mcpURL);
// A client that starts the server itself over standard input and output.
std::string desktopConfig(std::string_view command);

// The status in brief, pretty-printed, for a problem report written by hand.
std::string diagnostics(const ServerStatus& status);

}  // namespace tvrn::ClientConfigTexts
