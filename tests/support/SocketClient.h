// A test's end of an MCP session over a real Unix-domain socket: connects to a socket path (or
// takes one end of a socket pair), sends raw bytes or lines, and reads reply lines against a
// deadline so a missing reply fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tvrn {
class MCPServer;
class ToolRegistry;
}  // namespace tvrn

namespace tvrn::test {

class SocketClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};  // a loaded machine's, and more

  // Takes ownership of a connected socket.
  explicit SocketClient(int fd);
  ~SocketClient();
  SocketClient(SocketClient&& other) noexcept;
  SocketClient& operator=(SocketClient&& other) noexcept;
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  // Connects to the socket at `path`, trying again until the timeout while nothing listens
  // there yet (a server that is still setting up).
  static std::optional<SocketClient> connect(const std::filesystem::path& path,
                                             std::chrono::milliseconds timeout = kDefaultTimeout);

  // One attempt, no retry: the errno of the failure, or 0 when it connected (and is closed again).
  static int tryConnect(const std::filesystem::path& path);

  int fd() const { return fd_; }

  // Writes all bytes; false when the peer is gone.
  bool send(std::string_view bytes);
  // The line followed by a line feed.
  bool sendLine(std::string_view line);
  bool sendJSON(const nlohmann::json& message);

  // The next line without its line feed; nothing when the timeout passes or the peer closes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = kDefaultTimeout);
  // The next line parsed as JSON; nothing as for readLine or when the line is not JSON.
  std::optional<nlohmann::json> readJSON(std::chrono::milliseconds timeout = kDefaultTimeout);

  // Sends the request and reads one reply.
  std::optional<nlohmann::json> call(const nlohmann::json& request,
                                     std::chrono::milliseconds timeout = kDefaultTimeout);

  // True when nothing arrives within the window (for requests that must not be answered).
  bool staysSilent(std::chrono::milliseconds window = std::chrono::milliseconds(200));

  // Ends the client's side of the connection.
  void close();

 private:
  // Appends what arrives before the deadline; false on timeout, end of stream or error.
  bool receiveMore(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string buffer_;  // bytes received past the last line handed out
  bool closedByPeer_ = false;
};

// An MCP session running on a thread of its own over one end of a socket pair, with a client on
// the other end. Destroying it closes the client and waits for the session to end.
class SessionOverSocket {
 public:
  explicit SessionOverSocket(std::shared_ptr<ToolRegistry> registry, std::string version = "test");
  ~SessionOverSocket();
  SessionOverSocket(const SessionOverSocket&) = delete;
  SessionOverSocket& operator=(const SessionOverSocket&) = delete;

  SocketClient& client() { return *client_; }
  MCPServer& server() { return *server_; }

 private:
  std::unique_ptr<SocketClient> client_;
  std::unique_ptr<MCPServer> server_;
  std::thread thread_;
};

// A JSON-RPC request object.
nlohmann::json request(const nlohmann::json& id, std::string_view method,
                       const nlohmann::json& params = nullptr);
// The same without an id: a notification.
nlohmann::json notification(std::string_view method, const nlohmann::json& params = nullptr);

// Waits up to ten seconds until the "services" of the status document that the server started in
// this process serves satisfy `ready` (the service scanner's result, which belongs to that start);
// false when they never do.
bool waitForServices(const std::function<bool(const nlohmann::json&)>& ready);

}  // namespace tvrn::test
