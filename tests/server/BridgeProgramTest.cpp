// The stdio server AI clients start, run as they run it: a client on its standard input and
// output, the real server behind the socket, or nothing there at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Requests and replies cross the bridge at once, its input and output one end of a socket pair as
// clients built on Node give it: thousands of pipelined listings, a long read beside a long
// preview, and a client that reads nothing until replies pile up, then reads on. Every reply comes,
// in order.
TEST_F(BridgeProgramTest, CarriesBothWaysAtOnceWhateverTheClientWritesOrReadsFirst) {
  auto registry = std::make_shared<ToolRegistry>();
  ToolRegistry office;
  OfficeTools::registerTools(office);
  for (const char* tool : {"word_read", "word_create"}) registry->registerTool(*office.tool(tool));
  ASSERT_TRUE(IPCServer::shared().start(registry, "test"));
  // Enough listings that their requests and replies overfill both ways' socket buffers.
  constexpr int kListings = 8'000;
  std::string text, listings;
  while (text.size() < 3'000'000) text += "Line " + std::to_string(text.size()) + " of a read\n";
  test::writeFile(test::home() / "long.txt", text);
  for (int id = 0; id < kListings; ++id) {
    listings += R"({"jsonrpc":"2.0","method":"tools/list","id":)" + std::to_string(id) + "}\n";
  }
  const json read = {{"path", (test::home() / "long.txt").string()}};
  const json preview = {{"path", (test::home() / "new.docx").string()},
                        {"content", text.substr(0, 400'000)}};
  const std::string readAndPreview =
      test::request(1, "tools/call", {{"name", "word_read"}, {"arguments", read}}).dump() + "\n" +
      test::request(2, "tools/call", {{"name", "word_create"}, {"arguments", preview}}).dump() +
      "\n";
  const struct {
    std::string_view requests;
    int firstId, replies;
    bool pause;
  } rows[] = {
      {listings, 0, kListings, false}, {readAndPreview, 1, 2, false}, {listings, 0, kListings, true}};
  for (const auto& row : rows) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(TVRN_BRIDGE_PROGRAM), nullptr};
    pid_t bridge = -1;
    ASSERT_EQ(::posix_spawn(&bridge, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    test::SocketClient client(ends[0]);
    std::thread writer([&] { client.send(row.requests); });
    EXPECT_TRUE(!row.pause || test::eventually([&] {
      int unread = 0;
      return ::ioctl(ends[0], FIONREAD, &unread) == 0 && unread >= 64 * 1024;
    }));
    std::vector<std::string> lines;
    for (std::optional<std::string> line;
         lines.size() < std::size_t(row.replies) && (line = client.readLine(30s));) {
      lines.push_back(*line);
    }
    ::shutdown(ends[0], SHUT_RDWR);  // a write the bridge never took gives up
    writer.join();
    int status = -1;
    EXPECT_EQ(::waitpid(bridge, &status, 0), bridge);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines.size(), std::size_t(row.replies)) << row.requests.substr(0, 60);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string head = R"({"jsonrpc":"2.0","id":)" + std::to_string(row.firstId + i) + ",";
      ASSERT_EQ(lines[i].substr(0, head.size() + 9), head + R"("result":)");
    }
    if (row.firstId != 1 || lines.empty()) continue;
    const std::string answer = json::parse(lines[0])["result"]["content"][0]["text"];
    EXPECT_TRUE(answer + "\n" == text);  // but its last line feed
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

// Nothing on the socket and a tray that is missing or one others could replace, or a server of
// another user listening there (swapped in by one who may write in a folder on its way): the
// client is told which in one line; the stranger is sent nothing, the open tray is not run.
TEST_F(BridgeProgramTest, SaysSoInOneLineWhenNothingCanBeStarted) {
  const auto socket = IPCServer::socketPath();
  const std::string missing = (test::home() / "no-such-tray").string();
  const std::string open = (test::home() / "open-tray").string();
  test::writeFile(open, "#!/bin/sh\ntouch \"$0.ran\"\n");
  ::chmod(open.c_str(), 0757);
  const auto bridge = installBridge(missing);
  for (const auto& [tray, strangerServes] :
       {std::pair{missing, false}, std::pair{open, false}, std::pair{missing, true}}) {
    SCOPED_TRACE(strangerServes ? "another user's server" : tray);
    test::writeFile(bridge.parent_path() / BundledServer::kTrayPathFile, tray + "\n");
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
                        " and none could be started: " + tray +
                        (tray == missing ? ": No such file or directory\n"
                                         : " is not run: it is open to writing by other users "
                                           "(mode 0757), who could change it\n"));
    EXPECT_FALSE(std::filesystem::exists(open + ".ran"));
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
