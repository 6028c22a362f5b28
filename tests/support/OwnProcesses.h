// Keeps a test to the processes it started itself, and ends every one of them: a pkill that can
// reach only the test's own children, the start-up clean-up run with it, children that end with
// all they started, and a wait for a started program to show itself.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Subprocess.h"
#include "server/LegacyCleaner.h"

namespace tvrn::test {

// A pkill that matches as pkill does, among the calling process's own children only.
std::string childrenOnlyPkill();

// The clean-up of earlier generations that the server's start-up runs, with that pkill and an
// old app's folder no program runs from.
LegacyCleaner::Settings childrenOnlyCleanup();

// Starts a program for the test in a process group of its own. Ended (terminate(), or when the
// test is done with it, however the test ends), the whole group goes: a shell with whatever it
// started, not the shell alone. Null, and the test failed, when it cannot start.
std::unique_ptr<Subprocess> startChild(std::vector<std::string> argv);

// True once the process shows `program` as the first word of its command line, false if it does
// not within 10 s: the kernel sets it a moment after the start has returned, later on a busy
// machine, and until then the process is not yet the program it is to stand for.
[[nodiscard]] bool waitForCommandLine(pid_t pid, const std::string& program);

// This process's children, ended but unreaped ones included, whose kernel command name is
// `command`. Only these are the test's own: run as the first process of a PID namespace, the
// test program also adopts what earlier tests' programs left behind when they were ended.
std::vector<pid_t> childrenNamed(const std::string& command);

}  // namespace tvrn::test
