// Stops what an earlier generation of the system may have left running before the server starts:
// the old standalone app, the old background server's launch agent, and any program of this user
// holding the status server's port. Runs once, inline, early in start-up.
#pragma once

#include <string>
#include <vector>

#include "platform/Endpoints.h"

namespace tvrn::LegacyCleaner {

// The old app's processes, as a pattern for "pkill -f" over whole command lines.
inline constexpr const char* kOldAppPattern = "Tavrin\\.app/Contents/MacOS";
// Relative to the home folder.
inline constexpr const char* kLaunchAgentPlist = "Library/LaunchAgents/com.tavrin.server.plist";
inline constexpr const char* kOldServerBinary =
    ".local/share/tavrin/bin/tavrin-server/tavrin-server";
// A process of this name on the port is the current stdio server and is left alone.
inline constexpr const char* kKeptProcessName = "tavrin-server";

// Which programs are run and what is looked for; the defaults are the real ones. Bare program
// names are looked up on PATH.
struct Settings {
  int port = Endpoints::statusPort();
  std::string oldAppPattern = kOldAppPattern;
  std::string pkill = "pkill";
  std::string launchctl = "launchctl";
  std::string lsof = "lsof";
  std::string ps = "ps";
};

// Performs the clean-up, signalling only processes of this user, and logs one summary line when
// anything was stopped. Returns the notes of that line, in order. Nothing here fails start-up: a
// program that cannot run counts as having found nothing.
std::vector<std::string> run(const Settings& settings = {});

}  // namespace tvrn::LegacyCleaner
