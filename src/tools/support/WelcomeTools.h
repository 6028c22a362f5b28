// The welcome tool: what the system can already see (today's meetings, due reminders, contacts,
// unread mail) and up to three first prompts, for a new user's first chat.
#pragma once

#include "bridges/JXARunner.h"
#include "core/ToolRegistry.h"

namespace tvrn::WelcomeTools {

// Registers tvrn_welcome; the unread-mail script runs on `mail`.
void registerTools(ToolRegistry& registry, JXARunning& mail);

}  // namespace tvrn::WelcomeTools
