// The Messages search tool: finds iMessage history by text, sender and date in the Messages
// app's own database, read through the sqlite3 program, newest first.
#pragma once

#include "bridges/JXARunner.h"
#include "core/Timeouts.h"
#include "core/ToolRegistry.h"
#include "tools/localapps/DatabaseProgram.h"

namespace tvrn::MessagesTools {

// Adds search_messages (read-only). The runner is accepted for the family's common shape; the
// search never runs a script.
void registerTools(ToolRegistry& registry, JXARunning& jxa,
                   const DatabaseProgram& sqlite3 = {"/usr/bin/sqlite3",
                                                     Timeouts::messagesDatabase});

}  // namespace tvrn::MessagesTools
