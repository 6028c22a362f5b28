#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "support/TestEnv.h"

extern char** environ;

namespace tvrn {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRoleVariable = "CHILD_TEST_ROLE";

bool isChild() { return ::getenv(kRoleVariable) != nullptr; }

// Runs test `name` of this program again in a child whose SIGCHLD is ignored from the start, the
// way a careless parent can leave it; true when that test ran and passed.
bool passesStartedWithChildSignalsIgnored(const std::string& name) {
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=" + name;
  std::vector<char*> argv{const_cast<char*>(program.c_str()), filter.data(), nullptr};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back(std::string(kRoleVariable) + "=started-ignoring-children");
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const auto outputFile = Paths::tempDir() / "child.out";
  const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (output < 0) return false;

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGCHLD, SIG_IGN);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(output, STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(output);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
  const std::string printed = test::readFile(outputFile);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         printed.find("[       OK ] " + name) != std::string::npos;
}

TEST(ProcessSetupTest, ChildStatusesAreSeenEvenWhenStartedIgnoringThem) {
  if (!isChild()) {
    EXPECT_TRUE(passesStartedWithChildSignalsIgnored(
        "ProcessSetupTest.ChildStatusesAreSeenEvenWhenStartedIgnoringThem"));
    return;
  }
  // Here the test main has already prepared the process.
  struct sigaction action {};
  ASSERT_EQ(::sigaction(SIGCHLD, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
  RunOptions options;
  options.timeout = 20s;
  const auto failed = Subprocess::run({{"/bin/false"}}, options);
  EXPECT_EQ(failed.exit.status, 1);
  EXPECT_FALSE(failed.exit.signalled);
}

}  // namespace
}  // namespace tvrn
