// What every program of the system (and the test programs) sets up before any thread starts:
// SIGPIPE ignored, so a peer that goes away is an error value and never ends the process; SIGCHLD
// at its default, so children's exit statuses can be collected; libcurl's global state initialised
// once.
#pragma once

namespace tvrn {

void prepareProcess();

// Ends the process at once with `status`, as the programs do once their work is done: detached
// threads may still be running, so no destructor of a static object runs. Buffered output is
// written first, and a coverage build writes its counts, which only a normal exit would do.
[[noreturn]] void endProcess(int status);

// How many times this process has been copied (fork) since the first call, as the copy counts
// them: an object whose thread or kernel queue belongs to the process it was made in tells by
// it that it now runs in a copy. Cheap enough for every call.
unsigned forksSoFar();

}  // namespace tvrn
