// Restarts a server the user's launch agent runs: ends this user's tavrin-server processes and
// reloads the agent. Blocking; the popover runs it off the main thread.
#pragma once

#include <chrono>
#include <string>

namespace tvrn::ServerRestart {

// Relative to the home folder.
inline constexpr const char* kLaunchAgentPlist = "Library/LaunchAgents/com.tavrin.server.plist";
// Matched exactly against process names, never against command lines, so an editor open on a
// file of that name, or another program that mentions it, is left alone.
inline constexpr const char* kServerProcessName = "tavrin-server";

// The programs run and the pause between unloading and loading the agent; bare program names
// are looked up on PATH. There is no launchctl on Linux: those steps fail to start and are
// skipped.
struct Settings {
  std::string pkill = "pkill";
  std::string launchctl = "/bin/launchctl";
  std::chrono::milliseconds pause{1000};
};

// Each step is waited for; one that cannot start, fails or finds nothing does not stop the rest.
void run(const Settings& settings = {});

}  // namespace tvrn::ServerRestart
