#include "tools/messaging/WhatsAppProxyTools.h"

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/RegularFile.h"
#include "tools/common/LocalFiles.h"
#include "tools/common/ScratchFolder.h"
#include "tools/common/ServiceSnapshot.h"
#include "tools/messaging/MessagingToolSupport.h"
#include "tools/messaging/MessagingToolsTexts.h"

namespace tvrn::WhatsAppProxyTools {
namespace {

using MessagingToolSupport::addIfGiven;
using MessagingToolSupport::asAnswer;
using MessagingToolSupport::limitOf;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = MessagingTexts;

ToolResult notAuthenticated() {
  return ToolResponse::failure(
      ToolResponse::json(*JSONValue::fromRaw({{"error", Texts::kWhatsAppNotAuthenticated}})));
}

// Only a scan that found wacli's message database lets a call of `tool` through.
ToolDefinition authenticatedOnly(ToolDefinition tool,
                                 std::shared_ptr<const ServerContext> context) {
  tool.handler = [handler = std::move(tool.handler),
                  context = std::move(context)](const Params::Arguments& arguments) {
    if (ServiceSnapshot::flag(*context, "whatsapp", "authenticated") != true) {
      return notAuthenticated();
    }
    return handler(arguments);
  };
  return tool;
}

// Hands the client's arguments to the client and its answer back as JSON.
using Send = std::function<ToolResult(json)>;
using Body = std::function<ToolResult(const Params::Arguments&, const Send&)>;

ToolDefinition tool(std::string name, const char* description, json properties, json required,
                    ToolKind kind, WhatsAppProxy& proxy, const char* method, Body body) {
  return {std::move(name), std::string(description) + Texts::kWhatsAppWarning,
          schema(std::move(properties), std::move(required)), kind,
          [&proxy, method, body = std::move(body)](const Params::Arguments& arguments) {
            return body(arguments, [&](json args) { return asAnswer(proxy.call(method, args)); });
          }};
}

// wacli gets a name in a private folder, the file's own so that the attachment keeps it, which
// leads to the file through the descriptor this process holds open until wacli is done.
ToolResult sendOpened(const RegularFile& file, const std::string& name, json args,
                      const Send& send) {
  const ScratchFolder scratch;
  const std::filesystem::path handed = scratch.path() / name;
  std::error_code error;
  std::filesystem::create_symlink(
      "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(file.fd()), handed, error);
  if (!scratch.made() || error) {
    return fail(ToolError::executionFailed("WhatsApp: cannot hand the file to wacli — " +
                                           (error ? error.message() : "no private folder")));
  }
  args["file_path"] = handed.string();
  return send(std::move(args));
}

bool confirmOf(const Params::Arguments& arguments) {
  return Params::optionalBool("confirm", arguments, false);
}

ToolDefinition listChats(WhatsAppProxy& proxy) {
  return tool("whatsapp_list_chats", Texts::kWhatsAppListChats,
              {{"limit", property("integer", Texts::kWhatsAppChatsLimit)}}, json::array(),
              ToolKind::readOnly, proxy, "list_chats",
              [](const Params::Arguments& arguments, const Send& send) {
                return send({{"limit", limitOf(arguments)}});
              });
}

ToolDefinition readMessages(WhatsAppProxy& proxy) {
  return tool("whatsapp_read_messages", Texts::kWhatsAppReadMessages,
              {{"chat_id", property("string", Texts::kWhatsAppChatId)},
               {"limit", property("integer", Texts::kWhatsAppMessagesLimit)}},
              {"chat_id"}, ToolKind::readOnly, proxy, "read_messages",
              [](const Params::Arguments& arguments, const Send& send) {
                return Params::withRequired("chat_id", arguments, [&](const std::string& chat) {
                  return send({{"chat_id", chat}, {"limit", limitOf(arguments)}});
                });
              });
}

ToolDefinition searchMessages(WhatsAppProxy& proxy) {
  return tool("whatsapp_search_messages", Texts::kWhatsAppSearchMessages,
              {{"query", property("string", Texts::kWhatsAppQuery)},
               {"chat_id", property("string", Texts::kWhatsAppSearchChatId)},
               {"limit", property("integer", Texts::kWhatsAppResultsLimit)}},
              {"query"}, ToolKind::readOnly, proxy, "search_messages",
              [](const Params::Arguments& arguments, const Send& send) {
                return Params::withRequired("query", arguments, [&](const std::string& query) {
                  json args = {{"query", query}, {"limit", limitOf(arguments)}};
                  addIfGiven(args, "chat_id", arguments);
                  return send(std::move(args));
                });
              });
}

ToolDefinition sendMessage(WhatsAppProxy& proxy) {
  return tool(
      "whatsapp_send_message", Texts::kWhatsAppSendMessage,
      {{"chat_id", property("string", Texts::kWhatsAppChatId)},
       {"text", property("string", Texts::kWhatsAppText)},
       {"confirm", property("boolean", Texts::kWhatsAppConfirm)}},
      {"chat_id", "text"}, ToolKind::write, proxy, "send_message",
      [](const Params::Arguments& arguments, const Send& send) {
        return Params::withRequired2(
            "chat_id", "text", arguments, [&](const std::string& chat, const std::string& text) {
              return send({{"chat_id", chat}, {"text", text}, {"confirm", confirmOf(arguments)}});
            });
      });
}

ToolDefinition sendFile(WhatsAppProxy& proxy) {
  return tool("whatsapp_send_file", Texts::kWhatsAppSendFile,
              {{"chat_id", property("string", Texts::kWhatsAppChatId)},
               {"file_path", ToolSchema::path(Texts::kWhatsAppFilePath)},
               {"caption", property("string", Texts::kWhatsAppCaption)},
               {"confirm", property("boolean", Texts::kWhatsAppConfirm)}},
              {"chat_id", "file_path"}, ToolKind::write, proxy, "send_file",
              [](const Params::Arguments& arguments, const Send& send) {
                return Params::withRequired2(
                    "chat_id", "file_path", arguments,
                    [&](const std::string& chat, const std::string& file) -> ToolResult {
                      // wacli reads the file and sends it away: it is opened here as the readers
                      // open theirs, and wacli is handed what was opened, never the path again.
                      auto opened = LocalFiles::openNamed(file);
                      if (!opened && opened.error().refusal) return fail(*opened.error().refusal);
                      json args = {{"chat_id", chat},
                                   {"file_path", file},
                                   {"confirm", confirmOf(arguments)}};
                      addIfGiven(args, "caption", arguments);
                      // The client previews, and names a path that is missing or not absolute.
                      if (!confirmOf(arguments) || !file.starts_with('/') ||
                          (!opened && opened.error().missing)) {
                        return send(std::move(args));
                      }
                      if (!opened) {
                        return fail(ToolError::executionFailed("WhatsApp: cannot send " + file +
                                                               " — " + opened.error().reason));
                      }
                      return sendOpened(opened.value(), LocalFiles::lastComponent(file),
                                        std::move(args), send);
                    });
              });
}

}  // namespace

void registerTools(ToolRegistry& registry, WhatsAppProxy& proxy) {
  ToolRegistry::ServiceScope scope(registry, "whatsapp");
  for (ToolDefinition& tool :
       std::vector{listChats(proxy), readMessages(proxy), searchMessages(proxy), sendMessage(proxy),
                   sendFile(proxy)}) {
    registry.registerTool(authenticatedOnly(std::move(tool), registry.sharedContext()));
  }
}

}  // namespace tvrn::WhatsAppProxyTools
