#include "status/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include "core/Logger.h"
#include "status/RequestGuard.h"

namespace tvrn {
namespace {

constexpr std::string_view kCategory = "status";

// A listening socket on host:port, or -1 with the failed call and the system's reason in `why`.
// Only SO_REUSEADDR, so a second process cannot share the port (SO_REUSEPORT would let it);
// close-on-exec, so programs the server starts do not inherit it; the system's full backlog, so a
// burst of connections is not answered by SYN retries.
int listeningSocket(const std::string& host, int port, std::string& why) {
  const auto failed = [&why](const char* call, int fd) {
    why = std::string(call) + ": " + std::system_category().message(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  };
  sockaddr_storage address{};
  socklen_t length = 0;
  const bool v6 = host.find(':') != std::string::npos;
  if (v6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) != 1) {
      why = "not an IPv6 address";
      return -1;
    }
    length = sizeof in6;
  } else {
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    in4.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &in4.sin_addr) != 1) {
      why = "not an IPv4 address";
      return -1;
    }
    length = sizeof in4;
  }
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed("socket", fd);
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (v6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return failed("bind", fd);
  if (::listen(fd, SOMAXCONN) != 0) return failed("listen", fd);
  return fd;
}

std::string secondsOf(std::chrono::milliseconds delay) {
  const auto tenths = delay.count() / 100;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "");
}

}  // namespace

LoopbackListener::LoopbackListener(std::string host, int port, Timing timing, Serve serve,
                                   Refuse refuse, PeerOwner peerOwner)
    : host_(std::move(host)),
      port_(port),
      timing_(timing),
      serve_(std::move(serve)),
      refuse_(std::move(refuse)),
      peerOwner_(std::move(peerOwner)) {}

LoopbackListener::~LoopbackListener() { stop(); }

std::string LoopbackListener::where() const {
  const std::string address = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  return address + ":" + std::to_string(port_);
}

void LoopbackListener::start(std::function<void()> onBound) {
  if (thread_.joinable()) return;
  onBound_ = std::move(onBound);
  thread_ = std::thread([this] { run(); });
}

void LoopbackListener::run() {
  const int listening = bindWithRetries();
  if (listening < 0) return;
  if (onBound_) onBound_();
  acceptLoop(listening);
}

int LoopbackListener::bindWithRetries() {
  const auto patientUntil = std::chrono::steady_clock::now() + timing_.bindPatience;
  bool failed = false, reported = false;
  while (true) {
    std::string why;
    const int fd = listeningSocket(host_, port_, why);
    if (fd >= 0) {
      std::lock_guard hold(mutex_);
      if (stopping_) {
        ::close(fd);
        return -1;
      }
      listening_ = fd;
      if (failed) Logger::info(kCategory, "Status server now listening on " + where());
      return fd;
    }
    failed = true;
    const bool patient = std::chrono::steady_clock::now() < patientUntil;
    if (!patient && !reported) {
      Logger::error(kCategory, "Status server cannot listen on " + where() + " (" + why +
                                   "); trying again every " + secondsOf(timing_.laterRetry) + " s");
      reported = true;
    }
    if (!waitBeforeRetry(patient ? timing_.bindRetry : timing_.laterRetry)) return -1;
  }
}

bool LoopbackListener::waitBeforeRetry(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, delay, [this] { return stopping_; });
}

void LoopbackListener::acceptLoop(int listening) {
  while (true) {
    const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (!refusedAsStranger(fd) && !admit(fd)) ::close(fd);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    {
      std::lock_guard hold(mutex_);
      if (stopping_) return;
    }
    // Out of descriptors or memory for a moment: a short pause instead of a busy loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool LoopbackListener::refusedAsStranger(int fd) {
  // Asked at once, while the peer surely waits for its answer: a socket closed since shows no
  // owner, and is refused as one nobody can tell.
  const auto refusal = RequestGuard::strangerRefusal(peerOwner_(fd));
  if (!refusal) return false;
  strangers_.write("Status server refused a connection on " + where() + ": " + *refusal +
                   "; every route answers it 403");
  refuse_(fd);
  ::close(fd);
  return true;
}

bool LoopbackListener::admit(int fd) {
  std::lock_guard hold(mutex_);
  if (stopping_) return false;
  if (open_.size() >= kMaxConnections) {
    const auto oldest =
        std::find_if(open_.begin(), open_.end(), [](const Open& open) { return open.reading; });
    if (oldest == open_.end()) return false;  // every place answers a request: the newcomer waits
    oldest->reading = false;                  // chosen once
    ::shutdown(oldest->socket, SHUT_RDWR);    // its thread sees the end and leaves
  }
  const auto entry = open_.insert(open_.end(), Open{fd});
  try {
    // A thread per connection, not a small pool: a peer that trickles its request holds only its
    // own thread, until the request's deadline or until it is the oldest past the cap.
    std::thread([this, entry] { serveOn(entry); }).detach();
  } catch (const std::system_error&) {
    open_.erase(entry);
    return false;
  }
  return true;
}

void LoopbackListener::serveOn(std::list<Open>::iterator open) {
  serve_({open->socket, [this, open] {
            std::lock_guard hold(mutex_);
            open->reading = false;
          }});
  // Closed under the lock, so admit() and stop() never shut down a descriptor number that has
  // been reused meanwhile.
  std::lock_guard hold(mutex_);
  ::close(open->socket);
  open_.erase(open);
  changed_.notify_all();
}

void LoopbackListener::stop() {
  {
    std::lock_guard hold(mutex_);
    stopping_ = true;
    if (listening_ >= 0) ::shutdown(listening_, SHUT_RDWR);  // wakes the blocked accept()
    for (const auto& open : open_) {
      if (open.reading) ::shutdown(open.socket, SHUT_RDWR);
    }
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return open_.empty(); });
  if (listening_ >= 0) {
    ::close(listening_);
    listening_ = -1;
  }
  strangers_.flush();
}

}  // namespace tvrn
