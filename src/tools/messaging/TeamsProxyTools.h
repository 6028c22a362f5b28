// The Teams tools: chats, teams and channels as the local Teams client knows them, read through
// the teams-proxy co-process; a confirmed message goes out through Microsoft Graph when a
// Microsoft 365 account is connected, else through the co-process.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/ToolRegistry.h"
#include "tools/messaging/CoProcessProxy.h"

namespace tvrn::TeamsProxyTools {

// Posts a text into a chat through Microsoft Graph: nothing when no access token can be had (the
// co-process sends it then), else the confirmation or the failure. The Microsoft 365 family has
// it (`M365Tools::m365TeamsChatSendViaGraph`); start-up hands it in.
using GraphChatSend = std::function<std::optional<Result<std::string, ToolError>>(
    std::string_view chatId, std::string_view text)>;

// Adds teams_list_chats, teams_read_chat_messages, teams_list_teams, teams_list_channels,
// teams_read_channel_messages (read-only) and teams_send_message (write), in that order, bound
// to `proxy`.
void registerTools(ToolRegistry& registry, GraphChatSend viaGraph, CoProcessProxy& proxy);

}  // namespace tvrn::TeamsProxyTools
