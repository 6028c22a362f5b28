#include "support/SocketClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "core/MCPServer.h"
#include "core/MCPTransport.h"
#include "core/ToolRegistry.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"

namespace tvrn::test {
namespace {

using Clock = std::chrono::steady_clock;

int connectOnce(const std::filesystem::path& path, int& error) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof address.sun_path) {
    ::close(fd);
    error = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  error = 0;
  return fd;
}

int millisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

SocketClient::SocketClient(int fd) : fd_(fd) {}

SocketClient::~SocketClient() { close(); }

SocketClient::SocketClient(SocketClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      closedByPeer_(other.closedByPeer_) {}

SocketClient& SocketClient::operator=(SocketClient&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    closedByPeer_ = other.closedByPeer_;
  }
  return *this;
}

std::optional<SocketClient> SocketClient::connect(const std::filesystem::path& path,
                                                  std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int error = 0;
    const int fd = connectOnce(path, error);
    if (fd >= 0) return SocketClient(fd);
    // No server can ever listen on a path a socket address cannot hold.
    if (Clock::now() >= deadline || error == ENAMETOOLONG) {
      std::fprintf(stderr, "No server answered at %s (%zu bytes) within %lld ms: %s\n",
                   path.c_str(), path.native().size(), static_cast<long long>(timeout.count()),
                   std::strerror(error));
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int SocketClient::tryConnect(const std::filesystem::path& path) {
  int error = 0;
  const int fd = connectOnce(path, error);
  if (fd >= 0) ::close(fd);
  return error;
}

bool SocketClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool SocketClient::sendLine(std::string_view line) {
  std::string framed(line);
  framed.push_back('\n');
  return send(framed);
}

bool SocketClient::sendJSON(const nlohmann::json& message) { return sendLine(message.dump()); }

bool SocketClient::receiveMore(Clock::time_point deadline) {
  if (fd_ < 0 || closedByPeer_) return false;
  pollfd watched{fd_, POLLIN, 0};
  while (true) {
    const int ready = ::poll(&watched, 1, millisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    break;
  }
  char chunk[64 * 1024];
  ssize_t count = 0;
  do {
    count = ::recv(fd_, chunk, sizeof chunk, 0);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) {
    closedByPeer_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(count));
  return true;
}

std::optional<std::string> SocketClient::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    const std::size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (!receiveMore(deadline)) return std::nullopt;
  }
}

std::optional<nlohmann::json> SocketClient::readJSON(std::chrono::milliseconds timeout) {
  std::optional<std::string> line = readLine(timeout);
  if (!line) return std::nullopt;
  nlohmann::json parsed = nlohmann::json::parse(*line, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

std::optional<nlohmann::json> SocketClient::call(const nlohmann::json& request,
                                                 std::chrono::milliseconds timeout) {
  if (!sendJSON(request)) return std::nullopt;
  return readJSON(timeout);
}

bool SocketClient::staysSilent(std::chrono::milliseconds window) {
  if (!buffer_.empty()) return false;
  receiveMore(Clock::now() + window);
  return buffer_.empty();
}

void SocketClient::close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

SessionOverSocket::SessionOverSocket(std::shared_ptr<ToolRegistry> registry, std::string version) {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
  client_ = std::make_unique<SocketClient>(ends[0]);
  server_ = std::make_unique<MCPServer>(
      std::make_unique<MCPReader>(ends[1], false), std::make_unique<MCPWriter>(ends[1], true),
      std::move(registry), MCPServer::ServerInfo{"tavrin-server", std::move(version)});
  thread_ = std::thread([this] { server_->run(); });
}

SessionOverSocket::~SessionOverSocket() {
  client_->close();
  thread_.join();
}

nlohmann::json request(const nlohmann::json& id, std::string_view method,
                       const nlohmann::json& params) {
  nlohmann::json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) message["params"] = params;
  return message;
}

nlohmann::json notification(std::string_view method, const nlohmann::json& params) {
  nlohmann::json message = {{"jsonrpc", "2.0"}, {"method", method}};
  if (!params.is_null()) message["params"] = params;
  return message;
}

bool waitForServices(const std::function<bool(const nlohmann::json&)>& ready) {
  const std::string url = "http://127.0.0.1:" + std::to_string(Endpoints::statusPort()) + "/status";
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (auto answer = HttpClient::get(url, std::chrono::seconds(5));
        answer && answer.value().status == 200) {
      const auto status = nlohmann::json::parse(answer.value().body, nullptr, false);
      if (status.is_object() && ready(status.value("services", nlohmann::json()))) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace tvrn::test
