// The WhatsApp tools: chats and messages through the wacli client, each call gated on the
// service scan reporting WhatsApp as signed in; the sending tools preview until confirmed.
#pragma once

#include "core/ToolRegistry.h"
#include "tools/messaging/WhatsAppProxy.h"

namespace tvrn::WhatsAppProxyTools {

// Adds whatsapp_list_chats, whatsapp_read_messages, whatsapp_search_messages (read-only),
// whatsapp_send_message and whatsapp_send_file (write), in that order, bound to `proxy`.
void registerTools(ToolRegistry& registry, WhatsAppProxy& proxy);

}  // namespace tvrn::WhatsAppProxyTools
