// Which of the applications the system cares about are running in the user's session, by their
// bundle identifier: each identifier stands for the Linux programs that play its part, found by
// process name in /proc among the current user's live processes.
#pragma once

#include <sys/types.h>

#include <string_view>
#include <vector>

namespace tvrn::RunningApps {

// The Linux process names that count as the application; empty for an identifier with none.
std::vector<std::string_view> processNames(std::string_view bundleId);

// The current user's live (not zombie) processes of the application, in ascending order.
std::vector<pid_t> processIds(std::string_view bundleId);

bool isRunning(std::string_view bundleId);

}  // namespace tvrn::RunningApps
