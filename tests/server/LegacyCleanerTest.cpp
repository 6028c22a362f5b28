#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ProcessInfo.h"
#include "platform/Subprocess.h"
#include "server/LegacyCleaner.h"
#include "support/CapturedStderr.h"
#include "support/OwnProcesses.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// Binds a loopback listener on a port of the system's choosing; -1 on failure.
int listenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length)) {
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

// A child process of the test (only system calls run between fork and exec or pause), killed
// and reaped when the test ends.
class Child {
 public:
  // A process with the given name listening on a loopback port. With a `program` (a copy of
  // sleep), that program holds the port instead of a copy of the test.
  static std::unique_ptr<Child> portHolder(const char* name, bool asNobody = false,
                                           const std::filesystem::path& program = {}) {
    auto child = std::make_unique<Child>();
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return child;
    child->pid_ = ::fork();
    if (child->pid_ == 0) {
      ::prctl(PR_SET_NAME, name);
      if (asNobody) becomeNobody();
      int port = 0;
      const int listener = listenOnLoopback(port);
      if (listener < 0 || ::write(ready[1], &port, sizeof port) != sizeof port) ::_exit(4);
      if (!program.empty() && ::dup(listener) >= 0) {  // the copy outlives the exec
        ::execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
      }
      for (;;) ::pause();
    }
    ::close(ready[1]);
    if (::read(ready[0], &child->port_, sizeof child->port_) != sizeof child->port_ ||
        (!program.empty() && !test::waitForCommandLine(child->pid_, program))) {
      child->port_ = 0;
    }
    ::close(ready[0]);
    return child;
  }

  // A copy of sleep run from a folder like the old app's, that only this test uses; or, when it
  // only `namesIt`, sleep itself with that path as its command line.
  static std::unique_ptr<Child> oldApp(bool asNobody = false, bool namesIt = false) {
    auto child = std::make_unique<Child>();
    child->apps_ = std::make_unique<test::ShortFolder>();  // where any user may run a program
    const auto shown = child->apps_->path() /
                       ("OldApp-" + std::to_string(::getpid()) + ".app/Contents/MacOS/OldApp");
    std::filesystem::create_directories(shown.parent_path());
    std::filesystem::copy_file("/usr/bin/sleep", shown);
    const std::string program = namesIt ? "/usr/bin/sleep" : shown.string();
    child->pid_ = ::fork();
    if (child->pid_ == 0) {
      if (asNobody) becomeNobody();
      ::execl(program.c_str(), shown.c_str(), "30", static_cast<char*>(nullptr));
      ::_exit(6);
    }
    if (!test::waitForCommandLine(child->pid_, shown)) ADD_FAILURE() << "no exec of " << shown;
    return child;
  }

  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  int port() const { return port_; }

  // The signal that ended the child within `patience`, or 0 while it still runs.
  int endingSignal(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    do {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
  }

 private:
  static void becomeNobody() {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(3);
  }

  pid_t pid_ = -1;
  int port_ = 0;
  bool reaped_ = false;
  std::unique_ptr<test::ShortFolder> apps_;
};

// Nothing of this test run matches these unless the test puts it there.
LegacyCleaner::Settings settingsFor(int port) {
  LegacyCleaner::Settings settings;
  settings.port = port;
  settings.oldAppFolder = "OldApp-" + std::to_string(::getpid()) + ".app/Contents/MacOS";
  return settings;
}

std::string conflictNote(int port, const std::string& name, pid_t pid) {
  return "Port " + std::to_string(port) + " conflict: " + name + " (PID " + std::to_string(pid) +
         ")";
}

// This system's programs are told by their kernel name, or by the file they run: its name, or a
// folder of the system's own. Programs of the user are ended.
TEST(LegacyCleaner, SignalsPortHoldersExceptThisSystemsPrograms) {
  struct Row {
    const char* name;
    const char* folder;  // where a copy of sleep runs under `name`; none: the test's child
    bool signalled;
  };
  const Row rows[] = {
      {"py-holder", nullptr, true},                 // a program of the user's
      {"tavrin-server", nullptr, false},            // known by its kernel name
      {"tavrin-tray", nullptr, false},              // a server of another home
      {"wacli", ".local/share/tavrin/bin", false},  // a helper the system installed
      {"wacli", "bin", true},                       // the same program, the user's own
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.folder ? row.folder : "-") + "/" + row.name);
    std::filesystem::path program;
    if (row.folder) {
      program = test::home() / row.folder / row.name;
      std::filesystem::create_directories(program.parent_path());
      std::filesystem::copy_file("/usr/bin/sleep", program);
    }
    const auto holder = Child::portHolder(row.name, false, program);
    ASSERT_GT(holder->port(), 0);
    test::CapturedStderr log;
    const auto outcome = LegacyCleaner::run(settingsFor(holder->port()));
    const std::string logged = log.text();
    const std::string note = conflictNote(holder->port(), row.name, holder->pid());
    const std::string shown = row.name + (" (PID " + std::to_string(holder->pid()) + ")");
    const std::vector<std::string> none;
    EXPECT_EQ(outcome.stopped, row.signalled ? std::vector{note} : none);
    EXPECT_EQ(outcome.keptOnPort, row.signalled ? none : std::vector{shown});
    // Only what was ended is logged.
    const std::string logLine = "[cleanup] INFO  Legacy Python server stopped: " + note + "\n";
    EXPECT_EQ(logged.find(row.signalled ? logLine : "[cleanup]") != std::string::npos,
              row.signalled)
        << logged;
    EXPECT_EQ(holder->endingSignal(row.signalled ? 5s : 200ms), row.signalled ? SIGTERM : 0);
  }
}

TEST(LegacyCleaner, NeverSignalsItsOwnProcess) {
  int port = 0;
  const int listener = listenOnLoopback(port);
  ASSERT_GE(listener, 0);
  EXPECT_TRUE(LegacyCleaner::run(settingsFor(port)).stopped.empty());
  ::close(listener);
}

TEST(LegacyCleaner, NotesFollowTheOrderOfTheSteps) {
  const auto oldApp = Child::oldApp();
  const auto namesOldApp = Child::oldApp(/*asNobody=*/false, /*namesIt=*/true);
  const auto plist = test::home() / LegacyCleaner::kLaunchAgentPlist;
  test::writeFile(plist, "<plist/>");
  const auto holder = Child::portHolder("py-holder");
  ASSERT_GT(holder->port(), 0);

  test::CapturedStderr log;
  const auto notes = LegacyCleaner::run(settingsFor(holder->port())).stopped;

  const std::vector<std::string> expected = {
      "Tavrin.app process", "LaunchAgent com.tavrin.server",
      conflictNote(holder->port(), "py-holder", holder->pid())};
  EXPECT_EQ(notes, expected);
  EXPECT_NE(log.text().find("Legacy Python server stopped: " + expected[0] + ", " + expected[1] +
                            ", " + expected[2]),
            std::string::npos);
  EXPECT_EQ(oldApp->endingSignal(5s), SIGTERM);
  EXPECT_EQ(holder->endingSignal(5s), SIGTERM);
  EXPECT_EQ(namesOldApp->endingSignal(200ms), 0) << "a program that only names the old app's path";
  EXPECT_TRUE(std::filesystem::exists(plist)) << "the old agent's file is kept";
}

TEST(LegacyCleaner, LeavesOtherUsersProcessesAlone) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
  const auto oldApp = Child::oldApp(/*asNobody=*/true);
  const auto holder = Child::portHolder("py-holder", /*asNobody=*/true);
  ASSERT_GT(holder->port(), 0);

  EXPECT_TRUE(LegacyCleaner::run(settingsFor(holder->port())).stopped.empty());
  EXPECT_EQ(oldApp->endingSignal(200ms), 0);
  EXPECT_EQ(holder->endingSignal(200ms), 0);
}


// The old standalone servers are told by the program they run: text that only names one and
// its --daemon (an editor, a tail -f) matches nothing. Checked with pgrep, which matches as the
// start's pkill does, among this test's children.
TEST(LegacyCleaner, OldDaemonsAreToldByTheProgramTheyRun) {
  const struct {
    const char* runAs;
    bool old;
  } rows[] = {{"/opt/tavrin/tavrin-server", true}, {"tavrin-server", true}, {"tail", false}};
  std::vector<std::unique_ptr<Subprocess>> children;
  std::string expected;
  for (const auto& row : rows) {
    // The trailing ':' keeps sh waiting for its sleep, so the command line stays as given.
    children.push_back(test::startChild({"/bin/bash", "-c",
                                         std::string("exec -a ") + row.runAs +
                                             " sh -c 'sleep 30; :' /tmp/tavrin-server --daemon"}));
    ASSERT_TRUE(children.back() && test::waitForCommandLine(children.back()->pid(), row.runAs));
    if (row.old) expected += std::to_string(children.back()->pid()) + "\n";
  }
  SpawnOptions pgrep({"pgrep", "-P", std::to_string(::getpid()), "-f",
                      LegacyCleaner::kOldDaemonPattern});
  pgrep.searchPath = true;
  EXPECT_EQ(Subprocess::run(pgrep, {}).standardOutput, expected);
}

}  // namespace
}  // namespace tvrn
