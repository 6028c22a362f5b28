// Brings the whole server up inside the program's process, in a fixed order, and takes the
// Unix socket (or, on the way out, everything) down again.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/LegacyCleaner.h"

namespace tvrn {
class PrivacyGate;
class ToolRegistry;
struct CoProcesses;
struct PlatformStores;
}

namespace tvrn::ServerCore {

// The app version the start-up passes to the tool families, the sessions and the install event.
const std::string& version();

// The privacy gate of a server process, reporting the files it cannot read to the log ("pim").
// The program builds one and hands it to start() and, with a tray, to the tray.
std::shared_ptr<PrivacyGate> makePrivacyGate();

// Registers every built-in tool family, as start-up does, each with the clients of `coProcesses`
// and the stores of `stores` it uses, which must outlive the registry.
void registerToolFamilies(ToolRegistry& registry, CoProcesses& coProcesses, PlatformStores& stores);

// Whether a start could serve, asked before it ends or cleans up anything (the tray's ending of
// its other copies included): the settings folder could be the user's own (OwnFolder::judge; one
// found open to others is judged in full, everything another user may have put there meanwhile),
// and so could what the start reads and writes in it (the logs, the personal-data folder and what
// is made there: OwnFolder::judgeInside), the environment names settings a start can go by (a
// TVRN_STATUS_PORT that is a port) and the socket could be served (IPCServer::servable: its path
// fits, its folder, the data folder, could be the user's own, judged in full as well when found
// open). Only then are the two folders made or closed
// (OwnFolder::ensure) and the log pointed into the settings folder. When not, logs why as
// "ServerCore start failed: ...", also on standard error (only there unless the settings folder
// was found the user's own with its log in it, a file of the user's own) and changes nothing: no
// folder is made or closed, no other file written. The program then ends with status 1: nothing
// is freed on a port the user did not choose, no running copy is ended. The reason, without the
// prefix, goes to `*refusal` when given.
[[nodiscard]] bool readyToServe(std::string* refusal = nullptr);

// Runs the start-up sequence on the calling thread: first it claims the socket
// (IPCServer::claim), then cuts the server log and puts the stdio server program in place
// (BundledServer); returns once the socket server accepts. The server's calendars, reminders
// and contacts are guarded by `gate`, which it keeps. `cleanup` is what ends the processes an
// earlier generation left running (its pkill also ends the old daemons); this system's own
// programs on the port are named in the log and left running. Called once per process. False,
// with the reason logged, before anything is ended, cut or started, when readyToServe() is
// not or the socket cannot be claimed (another server answers on it, among other reasons). The
// program then ends with status 1.
[[nodiscard]] bool start(std::shared_ptr<PrivacyGate> gate,
                         const LegacyCleaner::Settings& cleanup = {});

// The loopback addresses the status server of the last start() listens on now (another copy, of
// another HOME, may hold the port); none before a start and after shutdown().
std::vector<std::string> statusServerHosts();

// Stops the IPC server; every other service runs until the process exits.
void stop();

// Stops the IPC server, takes back the background jobs start() queued (one not begun never runs,
// one running is waited for), then stops the service scanner, the relay tunnel (its state file
// then says not connected), the heartbeat, the status-file writer and the status server's
// listeners, and waits for their threads; then ends the co-processes (helper, script runners,
// messaging clients) started since; last, writes the audit records still waiting: the
// program's exit path. Calls after the first since the last start() do nothing.
void shutdown();

}  // namespace tvrn::ServerCore
