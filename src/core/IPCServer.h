// Lets MCP clients on this machine reach the in-process server: listens on a Unix-domain socket in
// the user's ~/.local/share/tavrin and runs one MCP session per accepted connection, each on a
// thread of its own, all sharing the one tool registry. Sessions are capped: a connection past
// the cap is closed at once, so idle clients cannot take a thread each without end.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/Result.h"
#include "core/LogThrottle.h"

namespace tvrn {

class ToolRegistry;

class IPCServer final {
 public:
  // The longest socket path the address record holds with its closing zero byte.
  static constexpr std::size_t maxPathBytes = 107;
  // Sessions of this process at once; MCP clients keep theirs open for as long as they run.
  static constexpr std::size_t maxSessions = 128;

  static IPCServer& shared();

  // ~/.local/share/tavrin/mcp.sock; nothing is made.
  static std::filesystem::path socketPath();

  // Whether a server may serve the socket at `path`: the path fits the address record and its
  // folder could be the user's own (OwnFolder::judge; nothing is made or changed). Why not,
  // otherwise. Says nothing of a server already answering there.
  static Result<void, std::string> servable(const std::filesystem::path& path);

  // Whether a server answers on the socket at `path`: connecting to it succeeds.
  static bool isServed(const std::filesystem::path& path);

  // Binds and listens on the socket on the calling thread and holds it, so a start learns that it
  // can serve before it ends or changes anything, and a second server finds this one from here
  // on. Clients that connect meanwhile wait until start() accepts. Fails, with one error line
  // and the reason, when the socket cannot be served: servable() says no (else its folder is
  // made, or closed, by OwnFolder::ensure), another server already answers on it (its file is
  // left untouched), or a socket, bind or listen call fails (a folder that cannot be made or
  // written). Does nothing while the socket is already held.
  Result<void, std::string> claim();

  // Claims the socket unless claim() already did, then accepts connections on a thread of its
  // own. Fails as claim() does. Does nothing while already running.
  Result<void, std::string> start(std::shared_ptr<ToolRegistry> registry, std::string version);

  // Ends the accept loop and waits for it, closes the listening socket (also one only claimed) and
  // removes the socket file when it is still the one this server bound. Running sessions go on
  // until their clients leave.
  void stop();

  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

 private:
  IPCServer() = default;

  // Holds a listening descriptor in serverFd_, or says why there is none (logged).
  Result<void, std::string> setUp(const std::filesystem::path& path);
  void closeListener(int fd);
  void acceptLoop(int listener, const std::shared_ptr<ToolRegistry>& registry,
                  const std::string& version);
  // Counts a session in; false, with a warning (see refusedFull_), when maxSessions are already
  // open.
  bool admitSession(int fd);
  void endSession();
  // Waits up to the pause after a failed accept; false when stop() cut it short.
  bool pauseAfterFailure();
  void removeSocketFileIfOurs();

  std::mutex lock_;  // guards every member below
  std::condition_variable stopped_;
  int serverFd_ = -1;  // listening: claimed, and accepting once acceptThread_ runs
  bool stopping_ = false;
  std::size_t sessions_ = 0;         // sessions running, also those of an earlier start()
  std::filesystem::path boundPath_;  // empty until bind succeeds
  dev_t boundDevice_ = 0;
  ino_t boundInode_ = 0;
  std::thread acceptThread_;

  // What a flood of connections (or of failed accepts) repeats: each written once, then counted
  // (LogThrottle); stop() writes the counts still held.
  LogThrottle refusedFull_{"ipc", LogThrottle::Level::warn};
  LogThrottle refusedStranger_{"ipc", LogThrottle::Level::warn};
  LogThrottle acceptFailed_{"ipc", LogThrottle::Level::error};
  LogThrottle sessionFailed_{"ipc", LogThrottle::Level::error};
};

}  // namespace tvrn
