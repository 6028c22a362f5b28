// Runs JavaScript and AppleScript texts through the script-host program: on Linux whatever
// TVRN_OSASCRIPT names (by default /usr/bin/osascript, usually absent), one process per script.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Subprocess.h"

namespace tvrn::ScriptHost {

enum class ScriptLanguage { javaScript, appleScript };

// $TVRN_OSASCRIPT when set and not empty, else "/usr/bin/osascript"; read at each call.
std::string programPath();

// Whether programPath() names a program this user may run, so a caller can tell "no script host
// on this system" from a script that failed.
bool isInstalled();

// The program's arguments for one script: "-l", "JavaScript", "-e", script for JavaScript;
// "-e", script for AppleScript.
std::vector<std::string> arguments(ScriptLanguage language, std::string_view script);

// Runs one script and waits for it, at most `timeout` when one is given. Standard input is
// /dev/null. A program that is missing or cannot be started gives `launched == false` with the
// platform's reason in `launchError`; a run past the time-out is ended and has `timedOut` set.
CompletedProcess run(ScriptLanguage language, std::string_view script,
                     std::optional<SubprocessClock::duration> timeout,
                     bool mergeStandardError = false);

}  // namespace tvrn::ScriptHost
