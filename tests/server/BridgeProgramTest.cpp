// The stdio server AI clients start, run as they run it: a client on its standard input and
// output, the real server behind the socket, or nothing there at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>

#include "core/IPCServer.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/Subprocess.h"
#include "server/BundledServer.h"
#include "server/ServerCore.h"
#include "support/ChildTestRun.h"
#include "support/OtherUserLink.h"
#include "support/OwnProcesses.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

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
