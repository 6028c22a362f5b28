// The Outlook diagnosis tool: compares the e-mail addresses Outlook knows on this machine with
// the accounts configured in Mail and explains how to add the missing ones.
#pragma once

#include "bridges/JXARunner.h"
#include "core/Timeouts.h"
#include "core/ToolRegistry.h"
#include "tools/localapps/DatabaseProgram.h"

namespace tvrn::OutlookTools {

// Adds outlook_diagnose (read-only), which asks Mail for its accounts through `jxa`.
void registerTools(ToolRegistry& registry, JXARunning& jxa,
                   const DatabaseProgram& sqlite3 = {"/usr/bin/sqlite3", Timeouts::outlookProgram});

}  // namespace tvrn::OutlookTools
