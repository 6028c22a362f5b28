// Keeps a test to the processes it started itself: a pkill that can reach only the test's own
// children, the start-up clean-up run with it, and a wait for a started program to show itself.
#pragma once

#include <sys/types.h>

#include <string>

#include "server/LegacyCleaner.h"

namespace tvrn::test {

// A pkill that matches as pkill does, among the calling process's own children only.
std::string childrenOnlyPkill();

// The clean-up of earlier generations that the server's start-up runs, with that pkill.
LegacyCleaner::Settings childrenOnlyCleanup();

// True once the process shows `program` as the first word of its command line, false if it does
// not within 10 s: the kernel sets it a moment after the start has returned, later on a busy
// machine, and until then the process is not yet the program it is to stand for.
[[nodiscard]] bool waitForCommandLine(pid_t pid, const std::string& program);

}  // namespace tvrn::test
