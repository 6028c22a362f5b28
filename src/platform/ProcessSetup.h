// What every program of the system (and the test programs) sets up before any thread starts:
// SIGPIPE ignored, so a peer that goes away is an error value and never ends the process; SIGCHLD
// at its default, so children's exit statuses can be collected; libcurl's global state initialised
// once.
#pragma once

namespace tvrn {

void prepareProcess();

}  // namespace tvrn
