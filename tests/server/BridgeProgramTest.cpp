// The stdio server AI clients start, run as they run it: a client on its standard input and
// output, the real server behind the socket, or nothing there at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/IPCServer.h"
#include "core/ToolRegistry.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/Subprocess.h"
#include "server/BundledServer.h"
#include "server/ServerCore.h"
#include "support/ChildTestRun.h"
#include "support/Eventually.h"
#include "support/OtherUserLink.h"
#include "support/OwnProcesses.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/office/OfficeTools.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using test::request;

// A client speaking to the bridge over its standard streams.
class StdioClient {
 public:
  explicit StdioClient(const std::filesystem::path& program) {
    auto started = Subprocess::start(SpawnOptions({program.string()}));
    EXPECT_TRUE(started.ok());
    if (started.ok()) process_ = std::move(started).value();
  }

  // The reply line; when none comes, standard error says which request went unanswered.
  std::optional<json> call(const json& request, std::chrono::seconds patience = 10s) {
    const auto deadline = SubprocessClock::now() + patience;
    if (!process_ || process_->write(request.dump() + "\n", deadline) != WriteStatus::written) {
      std::fprintf(stderr, "The bridge did not take the request %s\n", request.dump().c_str());
      return std::nullopt;
    }
    const auto line = process_->readLine(deadline);
    if (line.status != LineStatus::line) {
      std::fprintf(stderr, "No reply line from the bridge within %llds to %s (socket %s)\n",
                   static_cast<long long>(patience.count()), request.dump().c_str(),
                   IPCServer::socketPath().c_str());
      return std::nullopt;
    }
    return json::parse(line.text, nullptr, false);
  }

  Subprocess& process() { return *process_; }

 private:
  std::unique_ptr<Subprocess> process_;
};

// The bridge with its standard input and output on the test's end of a socket pair (as clients
// built on Node start it) or of two pipes, which the test writes and reads without blocking: it
// may write every request before it reads a reply, as such clients do.
class BridgeOnStreams {
 public:
  explicit BridgeOnStreams(bool pipes) {
    int in[2], out[2];
    if (pipes) {
      EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
      EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    } else {
      EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
      out[0] = ::fcntl(in[0], F_DUPFD_CLOEXEC, 0);
      out[1] = ::fcntl(in[1], F_DUPFD_CLOEXEC, 0);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes ? in[0] : in[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(TVRN_BRIDGE_PROGRAM), nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, TVRN_BRIDGE_PROGRAM, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    input_ = pipes ? in[1] : in[0];
    output_ = out[0];
    ::close(pipes ? in[0] : in[1]);
    ::close(out[1]);
    for (const int fd : {input_, output_}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  // Ends the client's side; the bridge ends with the session, as it does for a client that ends.
  ~BridgeOnStreams() {
    ::close(input_);
    ::close(output_);
    int status = -1;
    if (pid_ <= 0) return;  // never started: there is nobody to wait for, or to end
    if (!test::eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                          "the bridge's end")) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    EXPECT_EQ(status, 0);
  }
  BridgeOnStreams(const BridgeOnStreams&) = delete;
  BridgeOnStreams& operator=(const BridgeOnStreams&) = delete;

  // Writes the requests while it reads reply lines, until `count` came, the bridge's output ended
  // or 30 s passed. Pausing, it reads nothing until the bridge takes no more requests.
  std::vector<std::string> exchange(std::string_view requests, std::size_t count, bool pause) {
    std::vector<std::string> lines;
    std::string buffer;
    std::size_t scanned = 0;  // of the buffer, for a line feed
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
      const bool reading = !pause || requests.empty();
      pollfd watched[] = {{input_, static_cast<short>(requests.empty() ? 0 : POLLOUT), 0},
                          {output_, static_cast<short>(reading ? POLLIN : 0), 0}};
      ::poll(watched, 2, 100);
      if (!requests.empty()) {
        const ssize_t sent = ::write(input_, requests.data(), requests.size());
        if (sent > 0) requests.remove_prefix(static_cast<std::size_t>(sent));
        if (sent < 0 && errno == EAGAIN) pause = false;
        if (sent < 0 && errno != EAGAIN && errno != EINTR) break;
      }
      if (!reading) continue;
      char chunk[64 * 1024];
      const ssize_t got = ::read(output_, chunk, sizeof chunk);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (got < 0) continue;
      buffer.append(chunk, static_cast<std::size_t>(got));
      std::size_t from = 0;
      for (std::size_t end; (end = buffer.find('\n', std::max(from, scanned))) != std::string::npos;
           from = end + 1) {
        lines.push_back(buffer.substr(from, end - from));
      }
      buffer.erase(0, from);
      scanned = buffer.size();
    }
    return lines;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

// A reply's id and outcome: its text up to the result or error, marked when a tool failed.
std::string replyHead(const std::string& line) {
  const std::size_t body = line.find('{', 1);
  return line.substr(0, body) + (line.find(R"("isError":true)") != std::string::npos ? "!" : "");
}

// An installed copy, as the tray leaves it, whose recorded tray is `tray`.
std::filesystem::path installBridge(const std::string& tray) {
  const auto installed = BundledServer::path();
  std::filesystem::create_directories(installed.parent_path());
  std::error_code error;
  std::filesystem::create_hard_link(TVRN_BRIDGE_PROGRAM, installed, error);
  if (error) std::filesystem::copy_file(TVRN_BRIDGE_PROGRAM, installed);
  test::writeFile(installed.parent_path() / BundledServer::kTrayPathFile, tray + "\n");
  return installed;
}

// The trays started for this test's home: the bridge leaves them running on purpose.
void endTraysOfThisHome() {
  for (const pid_t pid : ProcessInfo::allPids()) {
    if (ProcessInfo::executablePath(pid) == std::filesystem::path(TVRN_PROGRAM) &&
        ProcessInfo::environmentValue(pid, "HOME") == test::home().string()) {
      ::kill(pid, SIGTERM);
    }
  }
}

class BridgeProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { test::useUnusedStatusPort(); }
  void TearDown() override {
    ServerCore::shutdown();
    endTraysOfThisHome();
  }

  static void expectToolsListedAndCalled(StdioClient& client) {
    const auto initialized =
        client.call(test::request(1, "initialize", {{"clientInfo", {{"name", "t"}}}}), 40s);
    ASSERT_TRUE(initialized);
    EXPECT_EQ((*initialized)["result"]["serverInfo"]["name"], "tavrin-server");
    const auto tools = client.call(test::request(2, "tools/list"));
    ASSERT_TRUE(tools);
    EXPECT_FALSE((*tools)["result"]["tools"].empty());
    const auto called = client.call(test::request(
        3, "tools/call", {{"name", "list_calendar_names"}, {"arguments", json::object()}}));
    ASSERT_TRUE(called);
    EXPECT_TRUE((*called)["result"]["content"].is_array()) << called->dump();
  }
};

TEST_F(BridgeProgramTest, CarriesASessionToTheRunningServerAndEndsWithItsClient) {
  ASSERT_TRUE(ServerCore::start(ServerCore::makePrivacyGate(), test::childrenOnlyCleanup()));
  StdioClient client(TVRN_BRIDGE_PROGRAM);
  expectToolsListedAndCalled(client);
  client.process().closeInput();
  ASSERT_TRUE(client.process().waitForExit(SubprocessClock::now() + 10s));
  EXPECT_EQ(client.process().exitStatus()->status, 0);
}

// Requests and replies cross in the bridge at once: a client that writes without reading, a long
// request beside a long reply, a flood of pipelined requests; none waits for the other way.
TEST_F(BridgeProgramTest, CarriesBothWaysAtOnceWhateverTheClientWritesOrReadsFirst) {
  auto registry = std::make_shared<ToolRegistry>();
  {
    ToolRegistry office;
    OfficeTools::registerTools(office);
    for (const char* tool : {"word_read", "word_create"}) {
      registry->registerTool(*office.tool(tool));
    }
  }
  ASSERT_TRUE(IPCServer::shared().start(registry, "test"));
  std::string document;
  for (int line = 0; document.size() < 3'000'000; ++line) {
    document += "Line " + std::to_string(line) + " of a long document, read whole.\n";
  }
  test::writeFile(test::home() / "long.txt", document);
  const auto head = [](int id) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)";
  };
  std::string listings;
  std::vector<std::string> listed;
  std::size_t halfway = 0;  // the bytes of the first 10,000
  for (int id = 0; id < 20'000; ++id) {
    if (id == 10'000) halfway = listings.size();
    listings += R"({"jsonrpc":"2.0","method":"tools/list","id":)" + std::to_string(id) + "}\n";
    listed.push_back(head(id));
  }
  const json read = {{"path", (test::home() / "long.txt").string()}};
  const json preview = {{"path", (test::home() / "new.docx").string()},
                        {"content", document.substr(0, 400'000)}};
  const std::string readAndPreview =
      request(1, "tools/call", {{"name", "word_read"}, {"arguments", read}}).dump() + "\n" +
      request(2, "tools/call", {{"name", "word_create"}, {"arguments", preview}}).dump() + "\n";
  struct Row {
    std::string name;
    std::string_view requests;
    std::vector<std::string> replies;
    bool pipes;
    bool pause;                 // reading nothing until the bridge takes no more requests
    std::string_view readText;  // what the first reply's text holds, when checked
  };
  const std::string_view readText(document.data(), document.size() - 1);  // its last line feed
  const std::vector<std::string> readAndPreviewed{head(1), head(2)};
  const std::vector<std::string> halfListed(listed.begin(), listed.begin() + 10'000);
  const std::string_view halfListings(listings.data(), halfway);
  const Row rows[] = {
      {"20,000 pipelined listings", listings, listed, false, false, ""},
      {"a long read beside a long preview", readAndPreview, readAndPreviewed, true, false,
       readText},
      {"a client that stops reading a while, then reads on", halfListings, halfListed, true, true,
       ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    BridgeOnStreams bridge(row.pipes);
    const auto lines = bridge.exchange(row.requests, row.replies.size(), row.pause);
    std::vector<std::string> heads;
    for (const std::string& line : lines) heads.push_back(replyHead(line));
    EXPECT_EQ(heads, row.replies);
    if (!row.readText.empty() && !lines.empty()) {
      const std::string text = json::parse(lines[0])["result"]["content"][0]["text"];
      EXPECT_TRUE(text == row.readText) << text.size() << " bytes read: " << text.substr(0, 99);
    }
  }
  IPCServer::shared().stop();
}

TEST_F(BridgeProgramTest, StartsTheRecordedTrayWhenNobodyAnswers) {
  if (!test::runsInOwnPidNamespace()) return;  // the tray's start-up ends older servers by name
  // A busy machine may take the tray longer than the program's own 5 s to come up.
  ASSERT_EQ(::setenv("TVRN_TRAY_START_WAIT", "30", 1), 0);
  StdioClient client(installBridge(TVRN_PROGRAM));
  expectToolsListedAndCalled(client);
  EXPECT_EQ(test::SocketClient::tryConnect(IPCServer::socketPath()), 0);
}

// Nothing on the socket, or a server of another user listening there (swapped in by one who may
// write in a folder on its way): the client is told which in one line; the stranger is sent
// nothing.
TEST_F(BridgeProgramTest, SaysSoInOneLineWhenNothingCanBeStarted) {
  const auto socket = IPCServer::socketPath();
  const auto bridge = installBridge((test::home() / "no-such-tray").string());
  for (const bool strangerServes : {false, true}) {
    SCOPED_TRACE(strangerServes ? "another user's server" : "nothing there");
    int listening = -1;
    if (strangerServes) {
      if (::geteuid() != 0)
        GTEST_SKIP() << "not root: the row of another user's server was left out";
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
      listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ASSERT_EQ(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
      // Who listens is what the kernel tells a client.
      ASSERT_EQ(test::madeByOtherUser([&] { return ::listen(listening, 1); }), 0);
    }
    StdioClient client(bridge);
    static_cast<void>(client.process().write(test::request(1, "initialize").dump() + "\n",
                                             SubprocessClock::now() + 10s));
    ASSERT_TRUE(client.process().waitForExit(SubprocessClock::now() + 10s));
    EXPECT_EQ(client.process().exitStatus()->status, 1);
    EXPECT_EQ(client.process().takeStandardError(),
              strangerServes
                  ? "tavrin-server: not joining the server at " + socket.string() +
                        ": it is served by another user (nobody, uid 65534); nothing was sent to "
                        "it. See who owns the folders on the way to it (ls -ld ~ ~/.local "
                        "~/.local/share ~/.local/share/tavrin)\n"
                  : "tavrin-server: no Tavrin server answers at " + socket.string() +
                        " and none could be started\n");
    if (strangerServes) {
      const int joined = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
      char byte = 0;
      EXPECT_EQ(::recv(joined, &byte, 1, 0), 0) << "the other user's server was sent the request";
      ::close(joined);
      ::close(listening);
    }
  }
}

}  // namespace
}  // namespace tvrn
