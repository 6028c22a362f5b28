// Runs one test of this same test program again in a child process, so a test can observe what a
// process started with other arguments, or by another parent, does. The child knows its part by
// the role it is given.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Paths.h"
#include "support/TestEnv.h"

extern char** environ;

namespace tvrn::test {

// Not a TVRN_ variable, so the test main lets it through to the child.
inline constexpr const char* kChildRoleVariable = "CHILD_TEST_ROLE";

// The role this process was given by runTestInChild; "" in an ordinary test run.
inline std::string childRole() {
  const char* role = ::getenv(kChildRoleVariable);
  return role != nullptr ? role : "";
}

struct ChildOutcome {
  bool passed = false;  // exited 0 after running that very test
  std::string output;
};

// Runs `argv` with the environment plus the role; its exit status (-1 when it could not start)
// and what it wrote.
inline int runChild(std::vector<std::string> argv, const std::string& role, std::string& output) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  if (!role.empty()) environment.push_back(std::string(kChildRoleVariable) + "=" + role);

  std::vector<char*> rawArgv;
  for (auto& argument : argv) rawArgv.push_back(argument.data());
  rawArgv.push_back(nullptr);
  std::vector<char*> rawEnvironment;
  for (auto& entry : environment) rawEnvironment.push_back(entry.data());
  rawEnvironment.push_back(nullptr);

  const auto outputFile = Paths::tempDir() / ("child-" + role + ".out");
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, rawArgv[0], &actions, nullptr, rawArgv.data(), rawEnvironment.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  output = readFile(outputFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the test `name` ("Suite.Test") in a child with the role and the extra arguments. With a
// launcher (a copy of a POSIX shell), the launcher starts the child and so is its parent. With a
// prefix (a command and its arguments), the child runs under that command.
inline ChildOutcome runTestInChild(const std::string& name, const std::string& role,
                                   const std::vector<std::string>& extraArguments,
                                   const std::filesystem::path& launcher = {},
                                   const std::vector<std::string>& prefix = {}) {
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> argv = prefix;
  if (!launcher.empty()) {
    argv.insert(argv.end(), {launcher.string(), "-c", "\"$0\" \"$@\"; exit $?"});
  }
  argv.push_back(program);
  argv.push_back("--gtest_filter=" + name);
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  ChildOutcome outcome;
  const int status = runChild(argv, role, outcome.output);
  outcome.passed = status == 0 && outcome.output.find("[       OK ] " + name) != std::string::npos;
  return outcome;
}

// The command that runs a program as the first process of a PID namespace of its own, where /proc
// shows only it and what it starts; empty where this machine allows none. As root the namespace
// is made directly, otherwise inside a user namespace that maps the user to root.
inline const std::vector<std::string>& ownPidNamespaceCommand() {
  static const std::vector<std::string> command = [] {
    std::vector<std::string> candidate{"unshare", "--pid", "--fork", "--mount-proc"};
    if (::getuid() != 0) candidate.insert(candidate.begin() + 1, {"--user", "--map-root-user"});
    auto probe = candidate;
    probe.push_back("true");
    std::string output;
    return runChild(probe, "namespace-probe", output) == 0 ? candidate : std::vector<std::string>{};
  }();
  return command;
}

inline constexpr const char* kOwnPidNamespaceRole = "own-pid-namespace";

// Whether the running test's body should run in this process. Outside, the test runs itself
// again in a PID namespace of its own and reports how that went (skipped where no namespace can
// be made); inside, the body runs. So the programs the body starts can see, and end, only each
// other.
inline bool runsInOwnPidNamespace() {
  if (childRole() == kOwnPidNamespaceRole) return true;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(info->test_suite_name()) + "." + info->name();
  if (ownPidNamespaceCommand().empty()) {
    [] {
      GTEST_SKIP() << "unshare cannot make a PID namespace here, and the programs this test "
                      "starts would end the user's own copies";
    }();
    return false;
  }
  const auto outcome = runTestInChild(name, kOwnPidNamespaceRole, {}, {}, ownPidNamespaceCommand());
  EXPECT_TRUE(outcome.passed) << outcome.output;
  return false;
}

}  // namespace tvrn::test
