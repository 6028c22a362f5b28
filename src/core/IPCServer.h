// Lets MCP clients on this machine reach the in-process server: listens on a Unix-domain socket in
// the user's ~/.local/share/tavrin and runs one MCP session per accepted connection, each on a
// thread of its own, all sharing the one tool registry.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tvrn {

class ToolRegistry;

class IPCServer final {
 public:
  // The longest socket path the address record holds with its closing zero byte.
  static constexpr std::size_t maxPathBytes = 107;

  static IPCServer& shared();

  // ~/.local/share/tavrin/mcp.sock. Each call first makes the folder (0700), ignoring failure.
  static std::filesystem::path socketPath();

  // Whether a server answers on the socket at `path`: connecting to it succeeds.
  static bool isServed(const std::filesystem::path& path);

  // Sets up the socket and accepts connections on a thread of its own; returns at once. False,
  // with one error line and the socket file untouched, when another server already answers on
  // it; any later set-up failure is logged, never reported. Does nothing while already running.
  [[nodiscard]] bool start(std::shared_ptr<ToolRegistry> registry, std::string version);

  // Ends the accept loop and waits for it, closes the listening socket and removes the socket
  // file when it is still the one this server bound. Running sessions go on until their clients
  // leave.
  void stop();

  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

 private:
  IPCServer() = default;

  void listenLoop(const std::filesystem::path& path, const std::shared_ptr<ToolRegistry>& registry,
                  const std::string& version);
  // The listening descriptor, or -1 when set-up failed or stop() came first.
  int setUp(const std::filesystem::path& path);
  void closeListener(int fd);
  void acceptLoop(int listener, const std::shared_ptr<ToolRegistry>& registry,
                  const std::string& version);
  // Waits up to the pause after a failed accept; false when stop() cut it short.
  bool pauseAfterFailure();
  void removeSocketFileIfOurs();

  std::mutex lock_;  // guards every member below
  std::condition_variable stopped_;
  int serverFd_ = -1;
  bool stopping_ = false;
  std::filesystem::path boundPath_;  // empty until bind succeeds
  dev_t boundDevice_ = 0;
  ino_t boundInode_ = 0;
  std::thread acceptThread_;
};

}  // namespace tvrn
