#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/RunningApps.h"
#include "platform/Subprocess.h"
#include "support/Eventually.h"
#include "support/OwnProcesses.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// Starts a long sleep under the given program name, as the application's own program would be.
std::unique_ptr<Subprocess> startNamed(const std::string& name) {
  const auto program = Paths::tempDir() / name;
  std::filesystem::copy_file("/bin/sleep", program,
                             std::filesystem::copy_options::overwrite_existing);
  auto started = Subprocess::start({{program.string(), "30"}});
  if (!started.ok()) ADD_FAILURE() << started.error();
  if (!started.ok()) return nullptr;
  EXPECT_TRUE(test::waitForCommandLine(started.value()->pid(), program.string()));
  return std::move(started).value();
}

bool listed(const std::string& bundleId, pid_t pid) {
  const auto pids = RunningApps::processIds(bundleId);
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

char stateOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

TEST(RunningAppsTest, FindsTheApplicationsProgramsWhileTheyRun) {
  struct Case {
    const char* bundleId;
    const char* program;
  };
  const Case cases[] = {
      {"com.tavrin.tray", "tavrin-tray"},
      {"com.apple.mail", "thunderbird"},
      // Longer than the kernel keeps as a command name.
      {"com.apple.Safari", "epiphany-browser"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    auto app = startNamed(c.program);
    ASSERT_TRUE(app);
    EXPECT_TRUE(listed(c.bundleId, app->pid()));
    EXPECT_TRUE(RunningApps::isRunning(c.bundleId));
    EXPECT_FALSE(listed("com.nordvpn.NordVPN", app->pid()));
    app->terminate();
    EXPECT_FALSE(listed(c.bundleId, app->pid()));
  }
  EXPECT_FALSE(RunningApps::isRunning("com.example.unknown"));
  EXPECT_TRUE(RunningApps::processNames("com.apple.MobileSMS").empty());
}

// Only the user's own processes count: the same program run by another account is not the
// user's application.
TEST(RunningAppsTest, AnotherUsersProgramIsNotTheUsers) {
  if (::getuid() != 0) GTEST_SKIP() << "only an administrator can start a process as another user";
  const std::vector<std::string> asTray = {"/bin/bash", "-c", "exec -a tavrin-tray /bin/sleep 30"};
  std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups"};
  asNobody.insert(asNobody.end(), asTray.begin(), asTray.end());
  for (const auto& [argv, expected] : {std::pair{asTray, true}, std::pair{asNobody, false}}) {
    auto started = Subprocess::start({argv});
    ASSERT_TRUE(started.ok()) << started.error();
    const pid_t pid = started.value()->pid();
    // Until bash has replaced itself, the process goes by another name.
    ASSERT_TRUE(test::eventually([&] { return ProcessInfo::executableName(pid) == "tavrin-tray"; },
                                 "bash replaced by tavrin-tray"));
    EXPECT_EQ(listed("com.tavrin.tray", pid), expected) << argv.front();
  }
}

TEST(RunningAppsTest, AnEndedButUnreapedProgramIsNotRunning) {
  auto app = startNamed("tavrin-tray");
  ASSERT_TRUE(app);
  ::kill(app->pid(), SIGKILL);
  ASSERT_TRUE(
      test::eventually([&] { return stateOf(app->pid()) == 'Z'; }, "the killed program's end"));
  EXPECT_FALSE(listed("com.tavrin.tray", app->pid()));
}

}  // namespace
}  // namespace tvrn
