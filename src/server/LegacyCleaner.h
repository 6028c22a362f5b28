// Stops what an earlier generation of the system may have left running before the server starts:
// the old standalone app, the old background server's launch agent, and any program of this user
// holding the status server's port, unless it is one of this system's own. Runs once, inline,
// early in start-up, once the start knows it can serve.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Endpoints.h"

namespace tvrn::LegacyCleaner {

// The folder of the old app's programs, wherever the app lies: a process whose executable lies
// under it is one of them; one that only names it on its command line (an editor, a tail -f of
// a file there) is not.
inline constexpr const char* kOldAppFolder = "Tavrin.app/Contents/MacOS";
// What pkill -f looks for among this user's command lines to end the old standalone servers
// started with --daemon: a program run as tavrin-server (its first word, with or without a
// folder) given --daemon as an argument of its own. Text that merely names both (an editor or a
// tail -f of such a path) does not match.
inline constexpr const char* kOldDaemonPattern = "^([^ ]*/)?tavrin-server (.* )?--daemon( |$)";
// Relative to the home folder.
inline constexpr const char* kLaunchAgentPlist = "Library/LaunchAgents/com.tavrin.server.plist";
inline constexpr const char* kOldServerBinary =
    ".local/share/tavrin/bin/tavrin-server/tavrin-server";
// The names this system's programs run under. One of them on the port is the stdio server, or a
// server of another home, and is left alone.
inline constexpr std::array<std::string_view, 2> kOwnProgramNames = {"tavrin-server",
                                                                     "tavrin-tray"};
// Folders of ~/.local/share/tavrin whose programs (the stdio server, an updated tray, helpers)
// are this system's whatever their names.
inline constexpr std::array<std::string_view, 2> kOwnProgramFolders = {"bin", "tray"};

// Which programs are run and what is looked for; the defaults are the real ones. Bare program
// names are looked up on PATH; `pkill` serves the start-up's own step after the clean-up.
struct Settings {
  int port = Endpoints::statusPort();
  std::string oldAppFolder = kOldAppFolder;
  std::string pkill = "pkill";
  std::string launchctl = "launchctl";
  std::string lsof = "lsof";
  std::string ps = "ps";
};

struct Outcome {
  std::vector<std::string> stopped;  // the notes of the summary line, in order
  // This system's own programs on the port, left running: "<name> (PID <id>)" each.
  std::vector<std::string> keptOnPort;
};

// Performs the clean-up, signalling only processes of this user, and logs one summary line when
// anything was stopped. Nothing here fails start-up: a program that cannot run counts as having
// found nothing.
Outcome run(const Settings& settings = {});

}  // namespace tvrn::LegacyCleaner
