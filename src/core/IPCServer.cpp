#include "core/IPCServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "core/Logger.h"
#include "core/MCPServer.h"
#include "core/MCPTransport.h"
#include "platform/OwnFolder.h"
#include "platform/Paths.h"
#include "platform/SocketOwner.h"

namespace tvrn {
namespace {

constexpr std::string_view kCategory = "ipc";
constexpr int kBacklog = 32;
constexpr auto kPauseAfterFailedAccept = std::chrono::milliseconds(100);
constexpr const char* kServerName = "tavrin-server";

// The system's own words for a failed call, as strerror gives them.
std::string reasonOf(int error) { return std::system_category().message(error); }

// Only this user's own processes (and root, who could read the socket anyway) may run tools.
bool peerIsTrusted(int fd) {
  const auto peer = SocketOwner::ofUnixPeer(fd);
  return peer && SocketOwner::isUsersOwn(peer.value());
}

void serveConnection(int fd, std::shared_ptr<ToolRegistry> registry, std::string version) {
  Logger::info(kCategory, "MCP client connected fd=" + std::to_string(fd));
  {
    // The writer owns the descriptor: releasing the session closes the connection.
    MCPServer session(std::make_unique<MCPReader>(fd, false), std::make_unique<MCPWriter>(fd, true),
                      std::move(registry), MCPServer::ServerInfo{kServerName, std::move(version)});
    session.run();
    Logger::info(kCategory, "MCP client disconnected fd=" + std::to_string(fd));
  }
}

}  // namespace

IPCServer& IPCServer::shared() {
  // Never destroyed: a session or the accept thread may still run while the process exits.
  static IPCServer* instance = new IPCServer();
  return *instance;
}

// Whether it is fit to serve from is for servable() to say; nothing is made here.
std::filesystem::path IPCServer::socketPath() { return Paths::localShare() / "mcp.sock"; }

namespace {
// A path cut to fit would bind somewhere else than every client looks.
Result<void, std::string> fits(const std::string& text) {
  if (text.size() <= IPCServer::maxPathBytes) return {};
  return fail("Socket path too long (" + std::to_string(text.size()) + " bytes, at most " +
              std::to_string(IPCServer::maxPathBytes) + ") path=" + text);
}
}  // namespace

Result<void, std::string> IPCServer::servable(const std::filesystem::path& path) {
  if (auto fit = fits(path.native()); !fit) return fit;
  return OwnFolder::judge(path.parent_path(), "HOME");
}

bool IPCServer::isServed(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text.size() > maxPathBytes) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.data(), text.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  int result = 0;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (result != 0 && errno == EINTR);
  // A full backlog still means a live server behind the file.
  const bool served = result == 0 || errno == EAGAIN;
  ::close(fd);
  return served;
}

Result<void, std::string> IPCServer::claim() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (serverFd_ >= 0 || acceptThread_.joinable()) return {};
    stopping_ = false;
  }
  return setUp(socketPath());
}

Result<void, std::string> IPCServer::start(std::shared_ptr<ToolRegistry> registry,
                                           std::string version) {
  std::optional<std::filesystem::path> claimed;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (acceptThread_.joinable()) return {};
    if (serverFd_ >= 0) claimed = boundPath_;
  }
  Logger::info(kCategory, "Starting IPC server at " + (claimed ? *claimed : socketPath()).string());
  // Bound before this returns, so a start that cannot serve the socket is known as one.
  if (!claimed) {
    if (auto held = claim(); !held) return held;
  }
  Logger::info(kCategory, "IPC socket ready — accepting MCP client connections");
  std::lock_guard<std::mutex> hold(lock_);
  const int fd = serverFd_;
  if (fd < 0) return fail(std::string("stopped while starting"));
  try {
    acceptThread_ =
        std::thread([this, fd, registry = std::move(registry), version = std::move(version)] {
          acceptLoop(fd, registry, version);
          closeListener(fd);
        });
  } catch (const std::system_error& failure) {
    const std::string reason = std::string("cannot start the accept thread: ") + failure.what();
    Logger::error(kCategory, reason);
    serverFd_ = -1;
    ::close(fd);
    return fail(reason);
  }
  return {};
}

void IPCServer::closeListener(int fd) {
  // Once closed the number may be reused, so stop() must no longer find it.
  std::lock_guard<std::mutex> hold(lock_);
  if (serverFd_ == fd) serverFd_ = -1;
  ::close(fd);
}

Result<void, std::string> IPCServer::setUp(const std::filesystem::path& path) {
  const auto refuse = [](std::string reason) -> Result<void, std::string> {
    Logger::error(kCategory, reason);
    return fail(std::move(reason));
  };
  if (auto fit = fits(path.native()); !fit) return refuse(fit.error());
  if (auto own = OwnFolder::ensure(path.parent_path(), "HOME"); !own) return refuse(own.error());
  const std::string& text = path.native();
  // Only a socket nobody answers on is replaced; a live server's stays its own.
  if (isServed(path)) return refuse("another server is already listening at " + text);
  ::unlink(text.c_str());

  // Held in serverFd_ only once it listens, so a stop() meanwhile has nothing to close under it.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return refuse("socket() failed: " + reasonOf(errno));
  const auto giveUp = [&](std::string reason) {
    ::close(fd);
    removeSocketFileIfOurs();
    return refuse(std::move(reason));
  };

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, text.data(), text.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  // The socket file takes the socket's own mode, so it is never open to others, not even briefly.
  ::fchmod(fd, 0600);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return giveUp("bind() failed: " + reasonOf(errno) + " path=" + text);
  }
  ::chmod(text.c_str(), 0600);
  struct stat bound {};
  if (::stat(text.c_str(), &bound) == 0) {
    std::lock_guard<std::mutex> hold(lock_);
    boundPath_ = path;
    boundDevice_ = bound.st_dev;
    boundInode_ = bound.st_ino;
  }
  if (::listen(fd, kBacklog) != 0) return giveUp("listen() failed: " + reasonOf(errno));
  std::lock_guard<std::mutex> hold(lock_);
  if (stopping_) {
    ::close(fd);
    return fail(std::string("stopped while starting"));
  }
  serverFd_ = fd;
  return {};
}

void IPCServer::acceptLoop(int listener, const std::shared_ptr<ToolRegistry>& registry,
                           const std::string& version) {
  while (true) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int error = errno;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stopping_) {
        if (client >= 0) ::close(client);
        return;
      }
    }
    if (client < 0) {
      if (error == EINTR || error == ECONNABORTED) continue;
      if (error == EINVAL || error == EBADF) return;
      // Out of descriptors and the like: retrying at once would only spin.
      acceptFailed_.write("accept() failed: " + reasonOf(error));
      if (!pauseAfterFailure()) return;
      continue;
    }
    if (!peerIsTrusted(client)) {
      refusedStranger_.write("Refused MCP client fd=" + std::to_string(client) +
                             ": not this user's process");
      ::close(client);
      continue;
    }
    if (!admitSession(client)) {
      ::close(client);
      continue;
    }
    try {
      std::thread([this, client, registry, version] {
        serveConnection(client, registry, version);
        endSession();
      }).detach();
    } catch (const std::system_error& failure) {
      sessionFailed_.write("Cannot start a session for fd=" + std::to_string(client) + ": " +
                           failure.what());
      endSession();
      ::close(client);
    }
  }
}

bool IPCServer::admitSession(int fd) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (sessions_ < maxSessions) {
      ++sessions_;
      return true;
    }
  }
  refusedFull_.write("Refused MCP client fd=" + std::to_string(fd) + ": " +
                     std::to_string(maxSessions) + " sessions already open");
  return false;
}

void IPCServer::endSession() {
  std::lock_guard<std::mutex> hold(lock_);
  --sessions_;
}

bool IPCServer::pauseAfterFailure() {
  std::unique_lock<std::mutex> hold(lock_);
  return !stopped_.wait_for(hold, kPauseAfterFailedAccept, [this] { return stopping_; });
}

void IPCServer::stop() {
  int listener = -1;
  std::thread acceptThread;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    listener = std::exchange(serverFd_, -1);
    acceptThread = std::move(acceptThread_);
  }
  // Closing alone does not wake a thread blocked in accept() on Linux; shutting down does. The
  // accept thread closes the socket itself once it has left accept(), so the number is not reused
  // under it; a socket only claimed has no such thread.
  if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
  if (listener >= 0 && !acceptThread.joinable()) ::close(listener);
  stopped_.notify_all();
  if (acceptThread.joinable()) {
    if (acceptThread.get_id() == std::this_thread::get_id()) {
      acceptThread.detach();
    } else {
      acceptThread.join();
    }
  }
  removeSocketFileIfOurs();
  for (LogThrottle* held : {&refusedFull_, &refusedStranger_, &acceptFailed_, &sessionFailed_}) {
    held->flush();
  }
  Logger::info(kCategory, "IPC server stopped");
}

void IPCServer::removeSocketFileIfOurs() {
  std::lock_guard<std::mutex> hold(lock_);
  if (boundPath_.empty()) return;
  // A newer server may have replaced the file since; its socket is not ours to delete.
  struct stat current {};
  if (::lstat(boundPath_.c_str(), &current) == 0 && S_ISSOCK(current.st_mode) &&
      current.st_dev == boundDevice_ && current.st_ino == boundInode_) {
    ::unlink(boundPath_.c_str());
  }
  boundPath_.clear();
}

}  // namespace tvrn
