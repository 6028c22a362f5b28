// The Teams tools: chats, teams and channels as the local Teams client knows them, read through
// the teams-proxy co-process; a confirmed message goes out through Microsoft Graph when a
// Microsoft 365 account is connected, else through the co-process.
#pragma once

#include "core/ToolRegistry.h"
#include "tools/messaging/CoProcessProxy.h"

namespace tvrn::TeamsProxyTools {

// Adds teams_list_chats, teams_read_chat_messages, teams_list_teams, teams_list_channels,
// teams_read_channel_messages (read-only) and teams_send_message (write), in that order, bound
// to `proxy`.
void registerTools(ToolRegistry& registry, CoProcessProxy& proxy = TeamsProxy::shared());

}  // namespace tvrn::TeamsProxyTools
