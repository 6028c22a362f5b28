// The requests of the Microsoft 365 tools to Microsoft Graph: one blocking helper per method that
// sets the headers and turns statuses and transport failures into the family's error texts, so
// handlers only build addresses and read bodies. Callers get the token from the gate first.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/ConfigManager.h"
#include "core/ToolDefinition.h"

namespace tvrn::M365Tools {

using GraphBody = Result<std::string, ToolError>;  // the answer's body, empty when it has none

// Endpoints::graph() + "/v1.0"; handlers append paths whose pieces they percent-encode.
std::string graphRoot();

// With `consistencyLevel`, the "ConsistencyLevel: eventual" that Graph wants for $search.
GraphBody m365GET(const std::string& url, const std::string& token, bool consistencyLevel);
// `body` is JSON text; on failure Graph's own error message is passed on when it sends one.
GraphBody m365POST(const std::string& url, const std::string& token, std::string body);
// Used for calendar events, so a 404 reads "Event not found.".
Result<std::monostate, ToolError> m365DELETE(const std::string& url, const std::string& token);

// Posts a plain-text Teams message to `url` (a chat's or a channel's messages); the new message's
// id when the answer names one.
Result<std::optional<std::string>, ToolError> m365PostMessage(const std::string& url,
                                                              const std::string& token,
                                                              std::string_view text);

// Posts a text into a Teams chat through Graph: nothing when no access token can be had (the
// caller then uses its own way), else the confirmation or the failure.
std::optional<GraphBody> m365TeamsChatSendViaGraph(const ConfigManager& settings,
                                                   std::string_view chatId, std::string_view text);

}  // namespace tvrn::M365Tools
