// The automation bridges as a server has them in a test's private home: the fake script runner
// installed where the proxy looks for it (the helper is answered inside the process by the
// test's own stores, test::PimWorld).
#pragma once

#include <stdlib.h>

#include <filesystem>

#include "support/TestEnv.h"

namespace tvrn::test {

// The fake runner takes its per-script answers from `rules` (see fake-jxa-runner.cpp).
inline void useFakeAutomation(const std::filesystem::path& rules) {
  const std::filesystem::path runner = home() / ".local/share/tavrin/bin/tavrin-jxa-runner";
  std::filesystem::create_directories(runner.parent_path());
  std::filesystem::create_symlink(fakesDir() / "fake-jxa-runner", runner);
  ::setenv("FAKE_JXA_RUNNER_RULES", rules.c_str(), 1);
}

}  // namespace tvrn::test
