#pragma once

#include <chrono>
#include <thread>

namespace tvrn::test {

// Polls until `condition` holds, for at most 30 s (a busy machine can take seconds); whether it
// came true.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tvrn::test
