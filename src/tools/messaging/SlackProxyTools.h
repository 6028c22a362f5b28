// The Slack tools: workspaces, channels and messages as Slack Desktop has cached them, read
// through the slack-proxy co-process while the service scan reports Slack as installed.
#pragma once

#include "core/ToolRegistry.h"
#include "tools/messaging/CoProcessProxy.h"

namespace tvrn::SlackProxyTools {

// Adds slack_list_workspaces, slack_list_channels, slack_read_channel_messages and
// slack_search_messages (all read-only), in that order, bound to `proxy`.
void registerTools(ToolRegistry& registry, CoProcessProxy& proxy);

}  // namespace tvrn::SlackProxyTools
