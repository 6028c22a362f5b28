// The Evernote tool family: signing in and out, and the user's notebooks and notes through
// Evernote's JSON API. Start-up does not register it; the service scan reads its account.
#pragma once

#include <chrono>

#include "core/ToolRegistry.h"
#include "tools/evernote/EvernoteAccount.h"

namespace tvrn::EvernoteTools {

// Adds connect_evernote, disconnect_evernote, list_notebooks, search_evernote, read_note,
// create_note and update_note, in that order; the sign-in waits `signInWait` for the browser.
void registerTools(ToolRegistry& registry, std::chrono::milliseconds signInWait = kSignInWait);

}  // namespace tvrn::EvernoteTools
