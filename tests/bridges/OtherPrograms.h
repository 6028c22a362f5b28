// Running the programs whose view of the same folders the interoperability tests compare with
// ours (khal, todoman, khard, vdirsyncer); a test that needs one is skipped without it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Subprocess.h"

namespace tvrn::test {

// The program's path where the system installs it, or nothing.
inline std::string onPath(const char* name) {
  for (const char* folder : {"/usr/local/bin", "/usr/bin", "/bin"}) {
    const std::filesystem::path candidate = std::filesystem::path(folder) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

// Its output; a failure to start or a non-zero exit fails the test.
inline std::string run(const std::vector<std::string>& argv, const std::string& input = {}) {
  RunOptions options{std::nullopt, std::chrono::seconds(90)};
  if (!input.empty()) options.input = input;
  const auto done = Subprocess::run(SpawnOptions(argv), options);
  EXPECT_TRUE(done.launched && !done.timedOut && done.exit.status == 0 && !done.exit.signalled)
      << argv[0] << " " << argv[1] << ": " << done.standardOutput << done.standardError;
  return done.standardOutput;
}

}  // namespace tvrn::test

#define NEED(program, name)                       \
  const std::string program = test::onPath(name); \
  if (program.empty()) GTEST_SKIP() << name " is not installed (install-deps)"
