#include "support/OwnProcesses.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/ProcessInfo.h"
#include "support/TestEnv.h"

namespace tvrn::test {

std::string childrenOnlyPkill() { return (fakesDir() / "pkill-children").string(); }

LegacyCleaner::Settings childrenOnlyCleanup() {
  LegacyCleaner::Settings settings;
  settings.pkill = childrenOnlyPkill();
  settings.oldAppFolder = "tvrn-test-" + std::to_string(::getpid()) + ".app/none";
  return settings;
}

std::unique_ptr<Subprocess> startChild(std::vector<std::string> argv) {
  auto started = Subprocess::start(SpawnOptions(std::move(argv)));
  if (!started) {
    ADD_FAILURE() << "could not start: " << started.error();
    return nullptr;
  }
  return std::move(started).value();
}

bool waitForCommandLine(pid_t pid, const std::string& program) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (true) {
    const auto entry = ProcessInfo::lookup(pid);
    if (entry && !entry->arguments.empty() && entry->arguments.front() == program) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<pid_t> childrenNamed(const std::string& command) {
  std::vector<pid_t> children;
  for (const pid_t pid : ProcessInfo::allPids()) {
    const auto entry = ProcessInfo::lookup(pid);
    if (entry && entry->ppid == ProcessInfo::selfPid() && entry->command == command) {
      children.push_back(pid);
    }
  }
  return children;
}

}  // namespace tvrn::test
