#include "tools/messaging/SlackProxyTools.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/Endpoints.h"
#include "tools/common/ServiceSnapshot.h"
#include "tools/messaging/CoProcessProxyTexts.h"
#include "tools/messaging/MessagingToolSupport.h"
#include "tools/messaging/MessagingToolsTexts.h"

namespace tvrn::SlackProxyTools {
namespace {

using MessagingToolSupport::addIfGiven;
using MessagingToolSupport::asAnswer;
using MessagingToolSupport::limitOf;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = MessagingTexts;

std::string updateText() {
  return std::string(Texts::kSlackUpdateStart) + Endpoints::web() + "/install" +
         Texts::kSlackUpdateEnd;
}

// A missing co-process, or one that reports something "not found", reads as an out-of-date
// install: a failure, in its own words. One that is there but cannot be started is no out-of-date
// install: its failure says why.
ToolResult answerOf(ToolResult outcome) {
  if (outcome) return asAnswer(std::move(outcome));
  const ToolError& error = outcome.error();
  const std::string& text = error.payload();
  if (error.kind() == ToolError::Case::executionFailed &&
      text.find(std::string("\nLast error: ") + kCoProcessLaunchFailed) == std::string::npos &&
      (text.find("not available") != std::string::npos ||
       text.find("not found") != std::string::npos)) {
    return ToolResponse::failure(ToolResponse::text(updateText()));
  }
  return outcome;
}

using Body = std::function<ToolResult(const Params::Arguments&)>;

ToolDefinition tool(std::string name, const char* description, json properties, json required,
                    Body body) {
  return {std::move(name), description, schema(std::move(properties), std::move(required)),
          ToolKind::readOnly, [body = std::move(body)](const Params::Arguments& arguments) {
            return answerOf(body(arguments));
          }};
}

// Only a scan that saw no Slack app stops a call of `tool`; a service it knows nothing of lets it
// through.
ToolDefinition unlessReportedMissing(ToolDefinition tool,
                                     std::shared_ptr<const ServerContext> context) {
  tool.handler = [handler = std::move(tool.handler),
                  context = std::move(context)](const Params::Arguments& arguments) -> ToolResult {
    if (ServiceSnapshot::flag(*context, "slack", "available") == false) {
      return ToolResponse::failure(ToolResponse::text(std::string(Texts::kSlackNotInstalledStart) +
                                                      Texts::kSlackDownloadPage +
                                                      Texts::kSlackNotInstalledEnd));
    }
    return handler(arguments);
  };
  return tool;
}

ToolDefinition listWorkspaces(CoProcessProxy& proxy) {
  return tool(
      "slack_list_workspaces", Texts::kSlackListWorkspaces, json::object(), json::array(),
      [&proxy](const Params::Arguments&) { return proxy.call("list_workspaces", json::object()); });
}

ToolDefinition listChannels(CoProcessProxy& proxy) {
  return tool("slack_list_channels", Texts::kSlackListChannels,
              {{"workspace_id", property("string", Texts::kSlackWorkspaceId)},
               {"limit", property("integer", Texts::kSlackChannelsLimit)}},
              json::array(), [&proxy](const Params::Arguments& arguments) {
                json args = json::object();
                addIfGiven(args, "workspace_id", arguments);
                args["limit"] = limitOf(arguments, 200);
                return proxy.call("list_channels", args);
              });
}

ToolDefinition readChannelMessages(CoProcessProxy& proxy) {
  return tool("slack_read_channel_messages", Texts::kSlackReadChannelMessages,
              {{"channel_id", property("string", Texts::kSlackChannelId)},
               {"limit", property("integer", Texts::kSlackMessagesLimit)}},
              {"channel_id"}, [&proxy](const Params::Arguments& arguments) {
                return Params::withRequired(
                    "channel_id", arguments, [&](const std::string& channel) {
                      return proxy.call("read_channel_messages",
                                        {{"channel_id", channel}, {"limit", limitOf(arguments)}});
                    });
              });
}

ToolDefinition searchMessages(CoProcessProxy& proxy) {
  return tool("slack_search_messages", Texts::kSlackSearchMessages,
              {{"query", property("string", Texts::kSlackQuery)},
               {"channel_id", property("string", Texts::kSlackSearchChannelId)},
               {"limit", property("integer", Texts::kSlackResultsLimit)}},
              {"query"}, [&proxy](const Params::Arguments& arguments) {
                return Params::withRequired("query", arguments, [&](const std::string& query) {
                  json args = {{"query", query}};
                  addIfGiven(args, "channel_id", arguments);
                  args["limit"] = limitOf(arguments);
                  return proxy.call("search_messages", args);
                });
              });
}

}  // namespace

void registerTools(ToolRegistry& registry, CoProcessProxy& proxy) {
  ToolRegistry::ServiceScope scope(registry, "slack");
  for (ToolDefinition& tool : std::vector{listWorkspaces(proxy), listChannels(proxy),
                                          readChannelMessages(proxy), searchMessages(proxy)}) {
    registry.registerTool(unlessReportedMissing(std::move(tool), registry.sharedContext()));
  }
}

}  // namespace tvrn::SlackProxyTools
