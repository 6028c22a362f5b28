#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/Subprocess.h"
#include "support/Eventually.h"
#include "support/OwnProcesses.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// The child of `parent` once it has started `executable` (until then it carries the parent's).
std::optional<pid_t> childOf(pid_t parent, const std::string& executable) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    for (pid_t pid : ProcessInfo::allPids()) {
      auto entry = ProcessInfo::lookup(pid);
      if (entry && entry->ppid == parent && entry->executable == executable) return pid;
    }
    std::this_thread::sleep_for(2ms);
  }
  return std::nullopt;
}

TEST(ProcessInfoTest, DescribesAChildAndWalksItsAncestors) {
  // A long program name: the kernel's command name is cut, the executable name is not.
  const auto program = Paths::tempDir() / "a-very-long-client-name";
  std::filesystem::copy_file("/bin/sleep", program);
  // A shell that starts a grandchild, so the chain is grandchild -> shell -> this test -> ...
  // Ended with the shell, however the test ends.
  const auto shell = test::startChild({"/bin/sh", "-c", program.string() + " 30; exit 0"});
  ASSERT_TRUE(shell);
  const auto grandchild = childOf(shell->pid(), "a-very-long-client-name");
  ASSERT_TRUE(grandchild.has_value());

  const auto entry = ProcessInfo::lookup(*grandchild);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->pid, *grandchild);
  EXPECT_EQ(entry->ppid, shell->pid());
  EXPECT_EQ(entry->uid, ::getuid());
  EXPECT_EQ(entry->command, "a-very-long-cli");
  EXPECT_EQ(entry->executable, "a-very-long-client-name");
  EXPECT_EQ(entry->arguments, (std::vector<std::string>{program.string(), "30"}));

  const auto chain = ProcessInfo::ancestors(*grandchild);
  ASSERT_GE(chain.size(), 2u);
  EXPECT_EQ(chain[0].pid, shell->pid());
  EXPECT_EQ(chain[0].executable, "sh");
  EXPECT_EQ(chain[1].pid, ProcessInfo::selfPid());
  EXPECT_EQ(chain[1].ppid, ::getppid());
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) EXPECT_EQ(chain[i].ppid, chain[i + 1].pid);
  EXPECT_LE(chain.back().ppid, 0);  // the walk ends at the first process

  const auto self = ProcessInfo::ancestors(ProcessInfo::selfPid());
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.front().pid, ::getppid());
}

using test::eventually;

// What a scan over many processes reads: the owner of each first, then the program's names; a
// zombie has no command line, and another user's process is not among the user's.
TEST(ProcessInfoTest, ScanReadsOwnersThenProgramNames) {
  const auto program = Paths::tempDir() / "a-very-long-scanned-name";
  std::filesystem::copy_file("/bin/sleep", program);
  const auto running = test::startChild({program.string(), "30"});
  const auto zombie = test::startChild({"/bin/true"});  // ended, and not reaped until the test ends
  const auto gone = test::startChild({"/bin/true"});
  ASSERT_TRUE(running && zombie && gone);
  ASSERT_TRUE(eventually(
      [&] { return ProcessInfo::executableName(running->pid()) == "a-very-long-scanned-name"; }));
  ASSERT_TRUE(eventually([&] { return !ProcessInfo::executableName(zombie->pid()); }));
  const pid_t gonePid = gone->pid();
  gone->terminate();

  struct Case {
    pid_t pid;
    bool owned;
    std::optional<std::string> executable;
    std::optional<std::string> command;
  };
  std::vector<Case> cases = {
      {running->pid(), true, "a-very-long-scanned-name", "a-very-long-sca"},
      {zombie->pid(), true, std::nullopt, "true"},
      {gonePid, false, std::nullopt, std::nullopt},
  };
  // Only an administrator can start a process as another user.
  std::unique_ptr<Subprocess> other;
  if (::getuid() == 0) {
    other = test::startChild({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                              "--clear-groups", "/bin/sleep", "30"});
    ASSERT_TRUE(other);
    ASSERT_TRUE(eventually([&] { return ProcessInfo::executableName(other->pid()) == "sleep"; }));
    cases.push_back({other->pid(), false, "sleep", "sleep"});
  }

  const auto owned = ProcessInfo::pidsOwnedBy(::getuid());
  EXPECT_TRUE(std::is_sorted(owned.begin(), owned.end()));
  EXPECT_TRUE(std::binary_search(owned.begin(), owned.end(), ::getpid()));
  for (const auto& [pid, isOwned, executable, command] : cases) {
    EXPECT_EQ(std::binary_search(owned.begin(), owned.end(), pid), isOwned) << pid;
    EXPECT_EQ(ProcessInfo::executableName(pid), executable) << pid;
    EXPECT_EQ(ProcessInfo::commandName(pid), command) << pid;
  }
}

TEST(ProcessInfoTest, OwnersAndProcessesThatAreGone) {
  EXPECT_EQ(ProcessInfo::selfPid(), ::getpid());
  EXPECT_EQ(ProcessInfo::ownerUid(ProcessInfo::selfPid()), ::getuid());

  const auto child = test::startChild({"/bin/sleep", "30"});
  ASSERT_TRUE(child);
  const pid_t pid = child->pid();
  const auto all = ProcessInfo::allPids();
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_TRUE(std::binary_search(all.begin(), all.end(), pid));
  EXPECT_TRUE(std::binary_search(all.begin(), all.end(), ::getpid()));
  child->terminate();

  for (pid_t gone : {pid, pid_t{0}, pid_t{-1}}) {
    EXPECT_FALSE(ProcessInfo::lookup(gone).has_value()) << gone;
    EXPECT_FALSE(ProcessInfo::ownerUid(gone).has_value()) << gone;
    EXPECT_TRUE(ProcessInfo::ancestors(gone).empty()) << gone;
  }
}

}  // namespace
}  // namespace tvrn
