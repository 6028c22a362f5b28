#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cloud/HeartbeatManager.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "support/ChildTestRun.h"

extern char** environ;

namespace tvrn {
namespace {

// A copy of the system shell under another name, so the kernel shows that name for it.
std::filesystem::path shellNamed(const std::string& name) {
  const auto path = Paths::tempDir() / name;
  if (!std::filesystem::exists(path)) std::filesystem::copy_file("/bin/sh", path);
  return path;
}

// A waiting shell started from `program` with `argv0` as its first argument; ended and reaped
// when the test is done with it.
class Process {
 public:
  Process(const std::filesystem::path& program, std::string argv0) {
    std::string dashC = "-c", script = "sleep 30; exit 0";  // a shell that stays itself
    char* argv[] = {argv0.data(), dashC.data(), script.data(), nullptr};
    // A group of its own, so the shell's sleep ends with it and never holds the test's output.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawn(&pid_, program.c_str(), nullptr, &attributes, argv, environ);
    ::posix_spawnattr_destroy(&attributes);
  }
  explicit Process(const std::string& name) : Process(shellNamed(name), name) {}
  ~Process() {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  // The spawn returns once the new program runs, a moment before the kernel shows its arguments.
  ProcessInfo::Entry entry() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      const auto found = ProcessInfo::lookup(pid_);
      if ((found && !found->arguments.empty()) || std::chrono::steady_clock::now() > deadline) {
        return found.value_or(ProcessInfo::Entry{});
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  pid_t pid_ = -1;
};

TEST(HeartbeatManagerTest, KnownClientsByProcessName) {
  const std::pair<const char*, std::optional<std::string>> rows[] = {
      {"cursor", "Cursor"},     {"claude", "Claude Code"}, {"claude-desktop", "Claude Desktop"},
      {"Windsurf", "Windsurf"}, {"code", "VS Code"},       {"codium", "VS Code"},
      {"zed-editor", "Zed"},    {"coder", std::nullopt},   {"my-cursor", std::nullopt},
  };
  for (const auto& [name, client] : rows) {
    Process process(name);
    EXPECT_EQ(HeartbeatManager::clientAmong({process.entry()}), client) << name;
  }
  // A program started under a client's name, whatever the kernel calls it.
  Process renamed("/bin/sh", "zed");
  EXPECT_EQ(HeartbeatManager::clientAmong({renamed.entry()}), "Zed");

  // The nearest client wins; processes that are none are passed over.
  Process shell("/bin/sh", "sh"), cursor("cursor"), code("code");
  EXPECT_EQ(HeartbeatManager::clientAmong({shell.entry(), cursor.entry(), code.entry()}), "Cursor");
  EXPECT_EQ(HeartbeatManager::clientAmong({code.entry(), cursor.entry()}), "VS Code");
  EXPECT_EQ(HeartbeatManager::clientAmong({shell.entry()}), std::nullopt);
}

// aiClient() reads the process's own ancestors and command line, so it is checked in children
// of this test program, started through a shell named after a client.
TEST(HeartbeatManagerTest, AIClientOfThisProcess) {
  const std::string role = test::childRole();
  if (role == "from-cursor") {
    EXPECT_EQ(HeartbeatManager::aiClient(), "Cursor");
  } else if (role == "daemon") {
    EXPECT_EQ(HeartbeatManager::aiClient(), "TVRN Tray");  // ancestors are not consulted
  } else {
    const std::string self = "HeartbeatManagerTest.AIClientOfThisProcess";
    const auto fromCursor = test::runTestInChild(self, "from-cursor", {}, shellNamed("cursor"));
    EXPECT_TRUE(fromCursor.passed) << fromCursor.output;
    const auto daemon = test::runTestInChild(self, "daemon", {"--daemon"}, shellNamed("cursor"));
    EXPECT_TRUE(daemon.passed) << daemon.output;
  }
}

}  // namespace
}  // namespace tvrn
