#include "support/LockHolder.h"

#include <chrono>
#include <thread>

namespace tvrn::test {

bool isLockedByAnother(const std::filesystem::path& file) {
  SpawnOptions probe({"flock", "--nonblock", file.string(), "true"});
  probe.searchPath = true;
  return Subprocess::run(probe).exit.status != 0;
}

std::unique_ptr<Subprocess> holdLockInChild(const std::filesystem::path& file) {
  std::filesystem::create_directories(file.parent_path());
  // Without forking, so the program that holds the lock is the one a test terminates.
  SpawnOptions hold({"flock", "--no-fork", "--exclusive", file.string(), "sleep", "60"});
  hold.searchPath = true;
  auto started = Subprocess::start(hold);
  if (!started.ok()) return nullptr;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    if (std::filesystem::exists(file) && isLockedByAnother(file)) return std::move(started).value();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

}  // namespace tvrn::test
