// The Safari tab tools: read a tab's text, search all open tabs, click an element and wait for
// one, each by generating one automation script with the call's values written into it.
#pragma once

#include "bridges/JXARunner.h"
#include "core/ToolRegistry.h"

namespace tvrn::SafariTools {

// Adds safari_read_tab, safari_search_tabs (read-only, on `slowJxa`), safari_click (write, on
// `jxa`) and safari_wait_for (read-only, on `slowJxa`), in that order.
void registerTools(ToolRegistry& registry, JXARunning& jxa, JXARunning& slowJxa);

}  // namespace tvrn::SafariTools
