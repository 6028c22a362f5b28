// Runs one test of this same test program again in a child process, so a test can observe what a
// process started with other arguments, or by another parent, does. The child knows its part by
// the role it is given.
#pragma once

#include <fcntl.h>
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

// Runs the test `name` ("Suite.Test") in a child with the role and the extra arguments. With a
// launcher (a copy of a POSIX shell), the launcher starts the child and so is its parent.
inline ChildOutcome runTestInChild(const std::string& name, const std::string& role,
                                   const std::vector<std::string>& extraArguments,
                                   const std::filesystem::path& launcher = {}) {
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> argv;
  if (!launcher.empty()) argv = {launcher.string(), "-c", "\"$0\" \"$@\"; exit $?"};
  argv.push_back(program);
  argv.push_back("--gtest_filter=" + name);
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.push_back(std::string(kChildRoleVariable) + "=" + role);

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
      ::posix_spawn(&pid, rawArgv[0], &actions, nullptr, rawArgv.data(), rawEnvironment.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ChildOutcome outcome;
  if (spawned != 0) return outcome;
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.output = readFile(outputFile);
  outcome.passed = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                   outcome.output.find("[       OK ] " + name) != std::string::npos;
  return outcome;
}

}  // namespace tvrn::test
