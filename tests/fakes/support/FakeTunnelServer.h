// A stand-in for the back end's relay end: a WebSocket server on 127.0.0.1 (a port of the
// system's choosing, plain or TLS) that accepts upgrades to "/tunnel", remembers what the relay
// sends, sends it frames, and hands every other HTTP request to a handler.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tvrn::test {

class FakeTunnelServer {
 public:
  struct Tls {
    std::string certificateFile;  // PEM, the chain the server shows
    std::string privateKeyFile;   // PEM
  };
  struct HttpReply {
    int status = 404;
    std::string body;
    std::string contentType = "application/json";
  };
  using HttpHandler = std::function<HttpReply(const std::string& method, const std::string& target,
                                              const std::string& body)>;

  // Port 0 lets the system choose.
  explicit FakeTunnelServer(std::optional<Tls> tls = std::nullopt, HttpHandler http = {},
                            int port = 0);
  ~FakeTunnelServer();
  FakeTunnelServer(const FakeTunnelServer&) = delete;
  FakeTunnelServer& operator=(const FakeTunnelServer&) = delete;

  int port() const;
  std::string baseURL() const;  // http:// or https://127.0.0.1:<port>

  // Sends a text frame on every open session: the relay may call itself connected a moment
  // before this server has taken its session on, so wait for openSessions() first.
  void send(const std::string& text);
  // Drops every open session without a closing handshake, as a back end that dies would.
  void dropSessions();
  // Stops reading what the relay sends (frames already read stay), or starts again at full speed.
  void setReading(bool reading);
  // From the next connection on, a back end on a slow line: reads `bytes` every `every`, through
  // a 4 KiB receive buffer in segments of an Ethernet line's size.
  void readSlowly(std::size_t bytes, std::chrono::milliseconds every);

  std::vector<std::string> frames() const;  // text frames received, in order
  std::size_t frameCount() const;
  std::vector<std::string> authorizations() const;  // the Authorization of each upgrade
  std::size_t openSessions() const;
  std::size_t pings() const;

  // Waits until the condition over this server holds; false when the time-out passes first.
  bool waitUntil(const std::function<bool(const FakeTunnelServer&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

  struct State;  // the I/O thread's world, shared with the sessions it serves

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tvrn::test
