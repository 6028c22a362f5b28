// The welcome tool: what the system can already see (today's meetings, due reminders, contacts,
// unread mail) and up to three first prompts, for a new user's first chat.
#pragma once

#include "bridges/JXARunner.h"
#include "bridges/PlatformStores.h"
#include "core/ToolRegistry.h"

namespace tvrn::WelcomeTools {

// Registers tvrn_welcome, which reads the calendars, reminders and contacts of `stores`; the
// unread-mail script runs on `mail`. Both must outlive the registry.
void registerTools(ToolRegistry& registry, JXARunning& mail, PlatformStores& stores);

}  // namespace tvrn::WelcomeTools
