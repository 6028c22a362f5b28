#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "core/LogThrottle.h"
#include "core/Logger.h"
#include "core/ToolRegistry.h"
#include "core/ToolResponse.h"
#include "platform/Paths.h"
#include "support/CapturedStderr.h"
#include "support/Eventually.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using test::request;
using test::SocketClient;
using namespace std::chrono_literals;

std::shared_ptr<ToolRegistry> echoRegistry() {
  auto registry = std::make_shared<ToolRegistry>();
  registry->registerTool({"echo",
                          "Echoes",
                          {{"type", "object"}},
                          ToolKind::readOnly,
                          [](const std::optional<JSONValue>& arguments) -> ToolResult {
                            const JSONValue* text = arguments ? (*arguments)["text"] : nullptr;
                            return ToolResponse::text(text ? text->asString().value_or("") : "");
                          }});
  return registry;
}

std::filesystem::path logFile() { return test::home() / "ipc-test.log"; }

// The log's lines that contain the text.
std::vector<std::string> linesWith(const std::string& text, std::string_view containing) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(containing) != std::string::npos) found.push_back(line);
  }
  return found;
}

std::vector<std::string> logLines(std::string_view containing) {
  return linesWith(test::readFile(logFile()), containing);
}

// How often the thread whose status file is held open has blocked so far.
long blockedCount(int status) {
  char text[4096] = {};
  ::pread(status, text, sizeof text - 1, 0);
  const char* field = std::strstr(text, "\nvoluntary_ctxt_switches:");
  return field != nullptr ? std::atol(field + 25) : -1;
}

// Once every other thread sleeps (the last reply's work is done), the status file, opened, of
// the one that waits in accept().
int acceptThreadStatus() {
  std::filesystem::path found;
  EXPECT_TRUE(test::eventually([&] {
    bool asleep = true;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      long call = -1;
      const std::string state = test::readFile(task.path() / "syscall");
      std::istringstream(state) >> call;
      asleep = asleep && (task.path().filename() == std::to_string(::gettid()) ||
                          !state.starts_with("running"));
      if (call == SYS_accept4 || call == SYS_accept) found = task.path() / "status";
    }
    return asleep && !found.empty();
  }));
  return ::open(found.c_str(), O_RDONLY | O_CLOEXEC);
}

sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// A socket file with nothing listening behind it, as a crashed run leaves.
void leaveStaleSocket(const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressOf(path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

ino_t inodeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

mode_t permissionsOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

class IPCServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Logger::configure(logFile()); }
  // The server is one per process: a test that leaves it running would serve the next test's
  // start() from this test's folder.
  void TearDown() override { IPCServer::shared().stop(); }

  std::filesystem::path start() {
    EXPECT_TRUE(IPCServer::shared().start(echoRegistry(), "1.2.3"));
    return IPCServer::socketPath();
  }
};

TEST_F(IPCServerTest, ServesASessionPerConnectionOnAPrivateSocket) {
  std::filesystem::create_directories(Paths::localShare());
  ::chmod(Paths::localShare().c_str(), 0777);  // left open by an earlier install: closed at start
  const std::filesystem::path path = start();
  EXPECT_EQ(path, test::home() / ".local/share/tavrin/mcp.sock");
  auto first = SocketClient::connect(path);
  ASSERT_TRUE(first);
  const auto hello = first->call(request(1, "initialize"));
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->at("result").at("serverInfo"),
            (json{{"name", "tavrin-server"}, {"version", "1.2.3"}}));
  EXPECT_EQ(permissionsOf(path.parent_path()), 0700u);
  EXPECT_EQ(permissionsOf(path), 0600u);

  // A second client has its own session; the first leaving does not end it.
  auto second = SocketClient::connect(path);
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->sendJSON(
      request(1, "tools/call", {{"name", "echo"}, {"arguments", {{"text", "two"}}}})));
  first->close();
  const auto echoed = second->readJSON();
  ASSERT_TRUE(echoed);
  EXPECT_EQ(echoed->at("result").at("content").at(0).at("text"), "two");
  second->close();

  IPCServer::shared().stop();
  EXPECT_EQ(logLines("Starting IPC server at " + path.string()).size(), 1u);
  EXPECT_EQ(logLines("IPC socket ready — accepting MCP client connections").size(), 1u);
  // Sessions end on their own threads; wait for both disconnect lines.
  test::eventually([] { return logLines("MCP client disconnected fd=").size() >= 2; },
                   "both disconnect lines");
  const auto connected = logLines("MCP client connected fd=");
  const auto disconnected = logLines("MCP client disconnected fd=");
  ASSERT_EQ(connected.size(), 2u);
  ASSERT_EQ(disconnected.size(), 2u);
  const auto fdOf = [](const std::string& line) { return line.substr(line.rfind("fd=")); };
  for (const auto& line : connected) {
    EXPECT_TRUE(fdOf(line) == fdOf(disconnected[0]) || fdOf(line) == fdOf(disconnected[1]));
  }
}

TEST_F(IPCServerTest, ReplacesAStaleSocketOrFileAtStart) {
  const std::filesystem::path path = IPCServer::socketPath();
  leaveStaleSocket(path);
  EXPECT_EQ(SocketClient::tryConnect(path), ECONNREFUSED);
  start();
  auto client = SocketClient::connect(path);
  ASSERT_TRUE(client);
  EXPECT_TRUE(client->call(request(1, "ping")));
  IPCServer::shared().stop();

  test::writeFile(path, "left behind");
  start();
  EXPECT_TRUE(SocketClient::connect(path)->call(request(2, "ping")));
}

TEST_F(IPCServerTest, LeavesASocketAnotherServerAnswersOnAlone) {
  const std::filesystem::path path = IPCServer::socketPath();
  std::filesystem::create_directories(path.parent_path());
  const int other = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressOf(path);
  ASSERT_EQ(::bind(other, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(other, 4), 0);
  const ino_t inode = inodeOf(path);

  EXPECT_FALSE(IPCServer::shared().start(echoRegistry(), "1.2.3"));
  EXPECT_EQ(logLines("[ipc] ERROR another server is already listening at " + path.string()).size(),
            1u);
  EXPECT_EQ(inodeOf(path), inode);
  EXPECT_EQ(SocketClient::tryConnect(path), 0);
  ::close(other);
}

TEST_F(IPCServerTest, StopEndsTheAcceptLoopQuietlyAndRemovesOnlyItsOwnSocket) {
  const std::filesystem::path path = start();
  auto client = SocketClient::connect(path);
  ASSERT_TRUE(client && client->call(request(0, "ping")));
  IPCServer::shared().stop();

  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(SocketClient::tryConnect(path), ENOENT);
  EXPECT_EQ(logLines("IPC server stopped").size(), 1u);
  EXPECT_TRUE(logLines("ERROR").empty());
  // A running session is left to its client.
  EXPECT_TRUE(client->call(request(1, "ping")));

  // A newer server took the path over: stopping this one leaves its socket alone.
  start();
  ASSERT_TRUE(SocketClient::connect(path));
  std::filesystem::remove(path);
  leaveStaleSocket(path);
  const ino_t newer = inodeOf(path);
  IPCServer::shared().stop();
  EXPECT_EQ(inodeOf(path), newer);
}

TEST_F(IPCServerTest, RefusesASocketPathThatDoesNotFitWithOneErrorLine) {
  // HOME + "/.local/share/tavrin/mcp.sock" (29 bytes) comes to exactly the limit, then one past.
  const std::string base = test::home().string() + "/";
  for (const std::size_t length : {IPCServer::maxPathBytes, IPCServer::maxPathBytes + 1}) {
    const std::string home = base + std::string(length - 29 - base.size(), 'h');
    ASSERT_EQ(::setenv("HOME", home.c_str(), 1), 0);
    const std::filesystem::path path = IPCServer::socketPath();
    ASSERT_EQ(path.native().size(), length);
    const bool fits = length <= IPCServer::maxPathBytes;
    const auto started = IPCServer::shared().start(echoRegistry(), "1.2.3");
    EXPECT_EQ(started.ok(), fits) << length;
    if (fits) {
      EXPECT_TRUE(SocketClient::connect(path)->call(request(1, "ping")));
    }
    IPCServer::shared().stop();
    EXPECT_EQ(logLines("ERROR").size(), fits ? 0u : 1u) << length;
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  EXPECT_EQ(logLines("Socket path too long (108 bytes, at most 107)").size(), 1u);
  EXPECT_EQ(logLines("IPC socket ready").size(), 1u);
}

TEST_F(IPCServerTest, PausesAfterAFailedAcceptInsteadOfSpinning) {
  const std::filesystem::path path = start();
  // Answered, so the server is past set-up and idle in accept before descriptors run out.
  auto served = SocketClient::connect(path);
  ASSERT_TRUE(served && served->call(request(0, "ping")));
  test::CapturedStderr stderrLines;  // the log file cannot be opened without descriptors
  // A sanitizer checks each kind of object when it first meets one, which it cannot without
  // descriptors; a running server has met these long before.
  LogThrottle seen("ipc", LogThrottle::Level::info);
  for (int i = 0; i < 2; ++i) seen.write("a line");
  const int acceptStatus = acceptThreadStatus();
  ASSERT_GE(acceptStatus, 0);

  // Use up every descriptor but one, which the client's own socket takes.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers;
  const auto filled = std::chrono::steady_clock::now();
  for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) fillers.push_back(fd);
  ::close(fillers.back());
  fillers.pop_back();
  const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  const sockaddr_un address = addressOf(path);
  ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  // The capture is read through a descriptor it already holds. Once the first failure is seen,
  // the table stays full until the accept thread has blocked three times more (its pauses): so
  // it has failed at least twice, however long a busy machine kept it waiting.
  EXPECT_TRUE(test::eventually(
      [&] { return stderrLines.soFar().find("accept() failed") != std::string::npos; },
      "the first failed accept's line"));
  const long blocked = blockedCount(acceptStatus);
  EXPECT_TRUE(test::eventually([&] { return blockedCount(acceptStatus) >= blocked + 3; },
                               "the accept thread's pauses"));
  for (int fd : fillers) ::close(fd);
  const auto full = std::chrono::steady_clock::now() - filled;
  ::close(acceptStatus);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  // Once descriptors are free again the waiting client is served.
  SocketClient waiting(client);
  EXPECT_TRUE(waiting.call(request(1, "ping")));
  IPCServer::shared().stop();
  // One failure per pause of 100 ms, not one per spin: the first written with the system's
  // reason, the rest counted into one line when the server stops.
  const auto lines = linesWith(stderrLines.text(), "accept() failed: Too many open files");
  ASSERT_EQ(lines.size(), 2u) << stderrLines.text();
  const int failures = 1 + std::stoi(lines[1].substr(lines[1].rfind(" (") + 2));
  EXPECT_GE(failures, 2);
  EXPECT_LE(failures, 1 + full / 100ms) << "in " << full / 1ms << " ms";
}

// A socket that cannot be bound is reported with the system's reason, not its number.
TEST_F(IPCServerTest, ABindThatFailsNamesTheSystemsReason) {
  test::writeFile(test::home() / ".local" / "share", "a file where the folder would be");
  EXPECT_FALSE(IPCServer::shared().start(echoRegistry(), "1.2.3"));
  EXPECT_EQ(logLines("[ipc] ERROR the folder " + (test::home() / ".local/share/tavrin").string() +
                     " cannot be made (Not a directory)")
                .size(),
            1u)
      << test::readFile(logFile());
}

TEST_F(IPCServerTest, ClosesConnectionsFromOtherUsersAtOnce) {
  if (::getuid() != 0) {
    GTEST_SKIP() << "needs root to connect as another user";
  }
  // A home the other user can reach whatever the caller's TMPDIR allows.
  const test::ShortFolder reachable;
  ::setenv("HOME", (reachable.path() / "home").c_str(), 1);
  const std::filesystem::path path = start();
  ASSERT_TRUE(SocketClient::connect(path));
  // Open the way for the other user, so only the peer check stands between it and the tools.
  ::chmod(path.c_str(), 0666);
  for (auto folder = path.parent_path(); folder != reachable.path();
       folder = folder.parent_path()) {
    ::chmod(folder.c_str(), 0755);
  }

  const sockaddr_un address = addressOf(path);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit status: 0 when the server closed the connection without answering, 1 otherwise.
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::_exit(3);
    }
    const char ping[] = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
    ::send(fd, ping, sizeof ping - 1, MSG_NOSIGNAL);
    char reply[256];
    ::alarm(5);
    const ssize_t count = ::recv(fd, reply, sizeof reply, 0);
    ::_exit(count <= 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(logLines("Refused MCP client").size(), 1u);
  // This user's clients are still served.
  EXPECT_TRUE(SocketClient::connect(path)->call(request(1, "ping")));
  IPCServer::shared().stop();
}

TEST_F(IPCServerTest, ClosesConnectionsPastTheSessionCapUntilASessionEnds) {
  const std::filesystem::path path = start();
  std::vector<SocketClient> open;
  for (std::size_t i = 0; i < IPCServer::maxSessions; ++i) {
    auto client = SocketClient::connect(path);
    ASSERT_TRUE(client && client->call(request(1, "ping"))) << i;
    open.push_back(std::move(*client));
  }
  auto extra = SocketClient::connect(path);
  ASSERT_TRUE(extra);
  EXPECT_FALSE(extra->call(request(2, "ping"), 30s));  // closed without an answer
  const auto refusals = logLines("[ipc] WARN  Refused MCP client fd=");
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_NE(
      refusals[0].find(": " + std::to_string(IPCServer::maxSessions) + " sessions already open"),
      std::string::npos);

  // A client that reconnects at once, again and again, leaves the log small: past the first
  // refusal each is counted, and the count is written when the server stops.
  constexpr int kFlood = 3000;
  const auto logBefore = std::filesystem::file_size(logFile());
  for (int i = 0; i < kFlood; ++i) ASSERT_TRUE(SocketClient::connect(path)) << i;
  // Accepted in order, so once the last one is closed by the server every one before it was.
  auto last = SocketClient::connect(path);
  ASSERT_TRUE(last && !last->call(request(2, "ping"), 30s));
  EXPECT_LT(std::filesystem::file_size(logFile()) - logBefore, 1024u);

  // A session that ends makes room; the others go on.
  open.front().close();
  std::optional<json> served;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!served && std::chrono::steady_clock::now() < deadline) {
    auto next = SocketClient::connect(path);
    if (next) served = next->call(request(3, "ping"));
  }
  EXPECT_TRUE(served);
  EXPECT_TRUE(open.back().call(request(4, "ping")));
  IPCServer::shared().stop();
  // The counts (one line at the stop, one more per 10 s a slow machine took) hold the flood.
  int refused = 0;
  for (const auto& line : logLines("sessions already open (")) {
    refused += std::stoi(line.substr(line.rfind(" (") + 2));
  }
  EXPECT_GE(refused, kFlood + 1);
}

TEST_F(IPCServerTest, ManyClientsAtOnceEachGetEveryReplyInOrder) {
  constexpr int kClients = 50;
  constexpr int kRequests = 200;
  constexpr int kBatch = 20;
  const std::filesystem::path path = start();
  // Bounds the whole run: a lost reply fails the test instead of hanging it.
  const auto deadline = std::chrono::steady_clock::now() + 40s;
  std::atomic<int> complete = 0;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto client = SocketClient::connect(path);
      if (!client) return;
      for (int first = 0; first < kRequests; first += kBatch) {
        std::string batch;
        for (int id = first; id < first + kBatch; ++id) {
          const json message =
              id % 2 == 0
                  ? request(id, "ping")
                  : request(
                        id, "tools/call",
                        {{"name", "echo"},
                         {"arguments", {{"text", std::to_string(c) + "/" + std::to_string(id)}}}});
          batch += message.dump() + "\n";
        }
        if (!client->send(batch)) return;
        for (int id = first; id < first + kBatch; ++id) {
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
              deadline - std::chrono::steady_clock::now());
          const auto reply = client->readJSON(std::max(left, 1ms));
          if (!reply || reply->at("id") != id) return;
          if (id % 2 == 1 && reply->at("result").at("content").at(0).at("text") !=
                                 std::to_string(c) + "/" + std::to_string(id)) {
            return;
          }
        }
      }
      ++complete;
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(complete, kClients);
  IPCServer::shared().stop();
}

}  // namespace
}  // namespace tvrn
