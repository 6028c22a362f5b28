// The automation bridges as a server has them in a test's private home: the helper answered
// inside the process and the fake script runner installed where the proxy looks for it.
#pragma once

#include <stdlib.h>

#include <filesystem>

#include "bridges/HelperProxy.h"
#include "bridges/LocalData.h"
#include "support/TestEnv.h"

namespace tvrn::test {

// What start-up builds the helper with: the local data services, inside the process.
inline HelperProxy::InProcessDispatch localData() {
  return [](std::string_view method, const nlohmann::json& args) {
    return LocalData::dispatch(method, args);
  };
}

// The fake runner takes its per-script answers from `rules` (see fake-jxa-runner.cpp).
inline void useFakeAutomation(const std::filesystem::path& rules) {
  const std::filesystem::path runner = home() / ".local/share/tavrin/bin/tavrin-jxa-runner";
  std::filesystem::create_directories(runner.parent_path());
  std::filesystem::create_symlink(fakesDir() / "fake-jxa-runner", runner);
  ::setenv("FAKE_JXA_RUNNER_RULES", rules.c_str(), 1);
}

}  // namespace tvrn::test
