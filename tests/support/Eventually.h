#pragma once

#include <chrono>
#include <cstdio>
#include <source_location>
#include <string>
#include <thread>

namespace tvrn::test {

// Polls until `condition` holds, for at most 30 s (a busy machine can take seconds); whether it
// came true. When it never does, standard error says what was awaited (`what`, else the place of
// the call), so a failed run shows what it waited for.
template <typename Condition>
bool eventually(Condition condition, const std::string& what = {},
                std::source_location where = std::source_location::current()) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "Waited 30 s in vain for %s (%s:%u)\n",
                   what.empty() ? "a condition" : what.c_str(), where.file_name(),
                   static_cast<unsigned>(where.line()));
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tvrn::test
