// tavrin-server: the program AI clients start. It joins the client's standard input and output
// to the running server's Unix socket and copies both ways until either side ends. When nobody
// answers on the socket it starts the tray that installed it, headless, and waits for it. It joins
// only a server that runs as the same user (or root): another user's, behind a socket swapped in
// on the way to it, would be handed the client's requests and could answer as it liked.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/Utf8.h"
#include "core/IPCServer.h"
#include "platform/ExecutablePath.h"
#include "platform/FileStore.h"
#include "platform/ProcessSetup.h"
#include "platform/SocketOwner.h"
#include "platform/Subprocess.h"
#include "server/BundledServer.h"

namespace {

constexpr std::chrono::seconds kStartWait{5};
constexpr std::chrono::seconds kLongestStartWait{3600};
constexpr std::chrono::milliseconds kRetryEvery{50};

// kStartWait, or the whole seconds TVRN_TRAY_START_WAIT gives, for machines (and tests) where the
// tray takes longer to come up; a value that is not a number from 1 to 3600 counts as unset.
std::chrono::seconds startWait() {
  const char* value = std::getenv("TVRN_TRAY_START_WAIT");
  if (value == nullptr) return kStartWait;
  const std::string_view text(value);
  long long seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size() || seconds < 1 ||
      seconds > kLongestStartWait.count()) {
    return kStartWait;
  }
  return std::chrono::seconds(seconds);
}

int connectToServer() {
  const std::string path = tvrn::IPCServer::socketPath().string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The tray recorded beside this program at install, else one beside this program.
std::string trayProgram() {
  const auto recorded =
      tvrn::FileStore::read(tvrn::ExecutablePath::folder() / tvrn::BundledServer::kTrayPathFile);
  if (recorded) {
    const std::string path(tvrn::Utf8::trim(*recorded, tvrn::Utf8::isWhiteSpace));
    if (!path.empty()) return path;
  }
  return (tvrn::ExecutablePath::folder() / "tavrin-tray").string();
}

// Starts the tray unless it is a program another user could have put in place: then, or when it
// cannot be started, `why` says so.
int startServerAndConnect(std::string& why) {
  const std::string program = trayProgram();
  tvrn::SpawnOptions tray({program, "--headless"});
  tray.ownProgram = true;
  if (auto started = tvrn::Subprocess::launchDetached(tray); !started) {
    why = started.error().starts_with(program) ? started.error() : program + ": " + started.error();
    why.insert(0, ": ");
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + startWait();
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kRetryEvery);
    if (const int fd = connectToServer(); fd >= 0) return fd;
  }
  return -1;
}

// Why the server behind `fd` is not joined; nothing when it runs as this user or root.
std::optional<std::string> strangerServing(int fd) {
  const auto owner = tvrn::SocketOwner::ofUnixPeer(fd);
  if (!owner) return "cannot tell who serves it: " + owner.error();
  if (tvrn::SocketOwner::isUsersOwn(owner.value())) return std::nullopt;
  const passwd* entry = ::getpwuid(owner.value());
  return "it is served by another user (" + (entry ? std::string(entry->pw_name) + ", " : "") +
         "uid " + std::to_string(owner.value()) + ")";
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written =
        fd == STDOUT_FILENO ? ::write(fd, data, size) : ::send(fd, data, size, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Copies from one descriptor to the other until the first ends (true) or a write fails (false).
// The one buffer is all a direction holds: while its bytes are not taken, nothing more is read.
bool copy(int from, int to) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    if (!writeAll(to, buffer, static_cast<std::size_t>(got))) return false;
  }
}

// Copies both ways at once, each way on a thread of its own, so a side that is not taking what
// is sent to it holds up only that way: the server waits for the client to read its replies
// before it reads further requests, and a client may write its requests before it reads. Ends
// once the server's side ends or the client stops taking replies. When the client closes its
// input the server is told (half close) and its last answers are still passed on; when the
// server stops taking requests, the replies it sent are passed on before the bridge ends.
void pump(int server) {
  std::thread([server] {
    ::shutdown(server, copy(STDIN_FILENO, server) ? SHUT_WR : SHUT_RD);
  }).detach();
  static_cast<void>(copy(server, STDOUT_FILENO));
}

}  // namespace

int main() {
  tvrn::prepareProcess();
  int server = connectToServer();
  std::string why;
  if (server < 0) server = startServerAndConnect(why);
  if (server < 0) {
    std::fprintf(stderr,
                 "tavrin-server: no Tavrin server answers at %s and none could be started%s\n",
                 tvrn::IPCServer::socketPath().c_str(), why.c_str());
    return 1;
  }
  if (const auto stranger = strangerServing(server)) {
    std::fprintf(stderr,
                 "tavrin-server: not joining the server at %s: %s; nothing was sent to it. See who "
                 "owns the folders on the way to it (ls -ld ~ ~/.local ~/.local/share "
                 "~/.local/share/tavrin)\n",
                 tvrn::IPCServer::socketPath().c_str(), stranger->c_str());
    ::close(server);
    return 1;
  }
  pump(server);
  // The thread taking requests may still be in a read of the client's input: the process ends
  // around it, and its end closes the socket.
  tvrn::endProcess(0);
}
