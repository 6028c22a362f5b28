#include "tray/TrayInstances.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/RunningApps.h"

namespace tvrn::TrayInstances {
namespace {

constexpr const char* kBundleId = "com.tavrin.tray";
constexpr std::chrono::milliseconds kPollStep{100};

struct Copy {
  pid_t pid;
  unsigned long long startTime;
};

// The same process as when it was asked to quit: a pid freed since may have been given to
// another program, which must not be killed.
bool stillTheSame(const Copy& copy) {
  const auto now = ProcessInfo::lookup(copy.pid);
  if (!now || now->uid != ::getuid() || now->arguments.empty() ||
      now->startTime != copy.startTime) {
    return false;
  }
  const auto names = RunningApps::processNames(kBundleId);
  return std::find(names.begin(), names.end(), now->executable) != names.end() ||
         std::find(names.begin(), names.end(), now->command) != names.end();
}

// The home a copy serves, resolved as it resolves it: its HOME, else (none, or an empty one) the
// password database's entry. Nothing when its environment cannot be read.
std::optional<std::filesystem::path> servedHome(pid_t pid) {
  if (const auto home = ProcessInfo::environmentValue(pid, "HOME")) {
    return Paths::homeFrom(home->c_str());
  }
  if (!ProcessInfo::environment(pid)) return std::nullopt;
  return Paths::homeFrom(nullptr);
}

// A copy that serves another home serves another socket from other settings: ending it would
// take its clients down for nothing. A copy whose environment cannot be read counts as one of
// this home.
bool servesAnotherHome(pid_t pid) {
  const auto theirs = servedHome(pid);
  if (!theirs) return false;
  const std::filesystem::path own = Paths::home();
  std::error_code error;
  if (std::filesystem::equivalent(own, *theirs, error)) return false;
  return !error || own.lexically_normal() != theirs->lexically_normal();
}

std::vector<Copy> otherCopies() {
  std::vector<Copy> copies;
  for (const pid_t pid : RunningApps::processIds(kBundleId)) {
    if (pid == ProcessInfo::selfPid() || servesAnotherHome(pid)) continue;
    if (const auto entry = ProcessInfo::lookup(pid)) copies.push_back({pid, entry->startTime});
  }
  return copies;
}

}  // namespace

void terminateExisting(std::chrono::milliseconds grace) {
  auto copies = otherCopies();
  if (copies.empty()) return;
  for (const auto& copy : copies) ::kill(copy.pid, SIGTERM);

  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    std::erase_if(copies, [](const Copy& copy) { return !stillTheSame(copy); });
    if (copies.empty()) return;
    std::this_thread::sleep_for(kPollStep);
  }
  for (const auto& copy : copies) {
    if (stillTheSame(copy)) ::kill(copy.pid, SIGKILL);
  }
}

}  // namespace tvrn::TrayInstances
