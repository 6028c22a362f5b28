#include "tools/messaging/TeamsProxyTools.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "tools/common/ServiceSnapshot.h"
#include "tools/messaging/MessagingToolSupport.h"
#include "tools/messaging/MessagingToolsTexts.h"

namespace tvrn::TeamsProxyTools {
namespace {

using MessagingToolSupport::asAnswer;
using MessagingToolSupport::limitOf;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = MessagingTexts;

// The scan counts a tenant only when it found the Teams app.
bool hasTeamsAccount(const ServerContext& context) {
  const json teams = ServiceSnapshot::entry(context, "teams");
  if (!teams.is_object()) return false;
  const auto tenants = teams.find("tenants");
  return tenants != teams.end() && tenants->is_number_integer() && tenants->get<long long>() > 0;
}

// Without an account the listing fails with an explanation and an empty list named `listName`.
ToolHandler listing(CoProcessProxy& proxy, std::shared_ptr<const ServerContext> context,
                    const char* method, const char* listName,
                    std::function<json(const Params::Arguments&)> args) {
  return [&proxy, context = std::move(context), method, listName,
          args = std::move(args)](const Params::Arguments& arguments) {
    if (!hasTeamsAccount(*context)) {
      return ToolResult(ToolResponse::failure(ToolResponse::json(
          *JSONValue::fromRaw({{"error", Texts::kTeamsNoAccount}, {listName, json::array()}}))));
    }
    return asAnswer(proxy.call(method, args(arguments)));
  };
}

ToolDefinition listChats(CoProcessProxy& proxy, std::shared_ptr<const ServerContext> context) {
  return {"teams_list_chats", Texts::kTeamsListChats,
          schema({{"limit", property("integer", Texts::kTeamsChatsLimit)}}, json::array()),
          ToolKind::readOnly,
          listing(proxy, std::move(context), "list_chats", "chats",
                  [](const Params::Arguments& arguments) {
                    return json{{"limit", limitOf(arguments)}};
                  })};
}

ToolDefinition readChatMessages(CoProcessProxy& proxy) {
  return {"teams_read_chat_messages", Texts::kTeamsReadChatMessages,
          schema({{"chat_id", property("string", Texts::kTeamsChatId)},
                  {"limit", property("integer", Texts::kTeamsMessagesLimit)}},
                 {"chat_id"}),
          ToolKind::readOnly, [&proxy](const Params::Arguments& arguments) {
            return Params::withRequired("chat_id", arguments, [&](const std::string& chat) {
              return asAnswer(
                  proxy.call("read_chat", {{"chat_id", chat}, {"limit", limitOf(arguments)}}));
            });
          }};
}

ToolDefinition listTeams(CoProcessProxy& proxy, std::shared_ptr<const ServerContext> context) {
  return {"teams_list_teams", Texts::kTeamsListTeams, schema(json::object(), json::array()),
          ToolKind::readOnly,
          listing(proxy, std::move(context), "list_teams", "teams",
                  [](const Params::Arguments&) { return json::object(); })};
}

ToolDefinition listChannels(CoProcessProxy& proxy) {
  return {"teams_list_channels", Texts::kTeamsListChannels,
          schema({{"team_id", property("string", Texts::kTeamsTeamIdFromList)}}, {"team_id"}),
          ToolKind::readOnly, [&proxy](const Params::Arguments& arguments) {
            return Params::withRequired("team_id", arguments, [&](const std::string& team) {
              ToolResult channels = proxy.call("list_channels", {{"team_id", team}});
              if (!channels) return channels;
              const auto* list = channels.value().asArray();
              if (list != nullptr && list->empty()) {
                return ToolResult(ToolResponse::text(Texts::kTeamsNoChannels));
              }
              return asAnswer(std::move(channels));
            });
          }};
}

ToolDefinition readChannelMessages(CoProcessProxy& proxy) {
  return {"teams_read_channel_messages", Texts::kTeamsReadChannelMessages,
          schema({{"team_id", property("string", Texts::kTeamsTeamId)},
                  {"channel_id", property("string", Texts::kTeamsChannelId)},
                  {"limit", property("integer", Texts::kTeamsMessagesLimit)}},
                 {"team_id", "channel_id"}),
          ToolKind::readOnly, [&proxy](const Params::Arguments& arguments) -> ToolResult {
            auto team = Params::require("team_id", arguments);
            if (!team) return fail(team.error());
            auto channel = Params::require("channel_id", arguments);
            if (!channel) return fail(channel.error());
            return asAnswer(proxy.call("read_channel", {{"team_id", team.value()},
                                                        {"channel_id", channel.value()},
                                                        {"limit", limitOf(arguments)}}));
          }};
}

ToolResult send(CoProcessProxy& proxy, const GraphChatSend& sendViaGraph, const std::string& chat,
                const std::string& text) {
  if (auto viaGraph = sendViaGraph(chat, text)) {
    if (!*viaGraph) return fail(viaGraph->error());
    return ToolResponse::text(viaGraph->value());
  }
  return asAnswer(
      proxy.call("send_chat_message", {{"chat_id", chat}, {"text", text}, {"confirm", true}}));
}

ToolDefinition sendChatMessage(CoProcessProxy& proxy, GraphChatSend viaGraph) {
  return {"teams_send_message", Texts::kTeamsSendMessage,
          schema({{"chat_id", property("string", Texts::kTeamsSendChatId)},
                  {"text", property("string", Texts::kTeamsSendText)},
                  {"confirm", property("boolean", Texts::kTeamsSendConfirm)}},
                 {"chat_id", "text"}),
          ToolKind::write,
          [&proxy, viaGraph = std::move(viaGraph)](const Params::Arguments& arguments) {
            return Params::withRequired2(
                "chat_id", "text", arguments,
                [&](const std::string& chat, const std::string& text) -> ToolResult {
                  if (!Params::optionalBool("confirm", arguments, false)) {
                    return ToolResponse::text("Preview: send \"" + text + "\" to chat " + chat +
                                              ". Set confirm=true to send.");
                  }
                  return send(proxy, viaGraph, chat, text);
                });
          }};
}

}  // namespace

void registerTools(ToolRegistry& registry, GraphChatSend viaGraph, CoProcessProxy& proxy) {
  ToolRegistry::ServiceScope scope(registry, "teams");
  registry.registerTool(listChats(proxy, registry.sharedContext()));
  registry.registerTool(readChatMessages(proxy));
  registry.registerTool(listTeams(proxy, registry.sharedContext()));
  registry.registerTool(listChannels(proxy));
  registry.registerTool(readChannelMessages(proxy));
  registry.registerTool(sendChatMessage(proxy, std::move(viaGraph)));
}

}  // namespace tvrn::TeamsProxyTools
