// The WhatsApp sign-in script: its exact bytes for a hostile client path, where it is written and
// with which mode, and the command line a terminal on PATH is given.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "bridges/CoProcessSupport.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "tray/TrayFixtures.h"
#include "tray/WacliLauncher.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

class WacliLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedPath_ = std::getenv("PATH");
    bin_ = test::home() / "terminal-bin";
    fs::create_directories(bin_);
  }
  void TearDown() override {
    ::setenv("PATH", savedPath_.c_str(), 1);
    ::unsetenv("XDG_RUNTIME_DIR");
    fs::remove_all(bin_);
    fs::remove_all(Paths::localShare() / "bin");
  }

  // A terminal program that writes its arguments, one a line, to `log_`.
  void fakeTerminal(const std::string& name) {
    test::writeFile(bin_ / name, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                                     log_.string() + "\n");
    fs::permissions(bin_ / name, fs::perms::owner_all);
  }

  std::string recordedArguments() {
    EXPECT_TRUE(
        test::processEventsUntil([&] { return fs::exists(log_) && fs::file_size(log_) > 0; }));
    return test::readFile(log_);
  }

  std::string savedPath_;
  fs::path bin_;
  fs::path log_ = test::home() / "terminal.log";
};

TEST_F(WacliLauncherTest, ThePathIsQuotedSoTheShellRunsNothingOfIt) {
  const std::string path = "/o'k/$(touch pwned)/`id`/\"q\"/wacli";
  const std::string script = WacliLauncher::script(path);
  EXPECT_EQ(script,
            "#!/bin/bash\n"
            "echo \"WhatsApp login — disable VPN if connected; widen this window for the QR.\"\n"
            "echo \"Starting wacli auth (20m timeout)…\"\n"
            "exec '/o'\\''k/$(touch pwned)/`id`/\"q\"/wacli' --timeout 20m auth");
  // The shell hands the client exactly the path: bash prints what exec would run.
  std::string echoed = script;
  echoed.replace(echoed.find("exec "), 5, "printf '%s|' ");
  SpawnOptions bash({"bash", "-c", echoed});
  bash.searchPath = true;
  const auto run = Subprocess::run(bash, {});
  ASSERT_TRUE(run.launched);
  EXPECT_NE(run.standardOutput.find(path + "|--timeout|20m|auth|"), std::string::npos)
      << run.standardOutput;
}

// Only a client the server would run is opened: the one it finds first, when no other user could
// replace it. Where there is none, not even one on PATH, the window says why and runs nothing.
TEST_F(WacliLauncherTest, OnlyAClientTheServerWouldRunIsOpened) {
  const auto own = Paths::localShare() / "bin" / "wacli", ran = test::home() / "ran";
  test::writeFile(bin_ / "wacli", "#!/bin/sh\ntouch " + ran.string() + "\n");
  fs::permissions(bin_ / "wacli", fs::perms::owner_all);
  ::setenv("PATH", (bin_.string() + ":/usr/bin:/bin").c_str(), 1);
  const auto none = CoProcessSupport::runnableWacli();
  ASSERT_FALSE(none);
  const auto window =
      Subprocess::run({{"/bin/bash", "-c", WacliLauncher::refusalScript(none.error())}});
  EXPECT_EQ(window.standardOutput.rfind("wacli is not installed: it was looked for at " +
                                            own.string() + ", /opt/homebrew/bin/wacli, ",
                                        0),
            0u)
      << window.standardOutput;
  EXPECT_FALSE(fs::exists(ran));

  test::writeFile(own, "");
  ASSERT_TRUE(CoProcessSupport::runnableWacli());
  EXPECT_EQ(CoProcessSupport::runnableWacli().value(), own);
  // One others may write is passed over, as the server passes it over.
  fs::permissions(own, fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(CoProcessSupport::runnableWacli().error(),
            "wacli cannot be started: " + own.string() +
                " is not run: it is open to writing by other users (mode 0646), who could change "
                "it.");
}

// Each case: the runtime folder (empty: unset) and where the script must land.
TEST_F(WacliLauncherTest, ScriptIsPrivateAndTheTerminalRunsIt) {
  const fs::path runtime = test::home() / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const fs::path shared = test::home() / "shared-runtime";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all);
  const fs::path own = Paths::tempDir() / ("tavrin-" + std::to_string(::getuid()));
  struct Case {
    const char* label;
    std::string runtime;
    fs::path folder;
  };
  const Case cases[] = {
      {"runtime folder", runtime.string(), runtime},
      {"no runtime folder", "", own},
      {"runtime folder open to others", shared.string(), own},
  };
  ::setenv("PATH", bin_.c_str(), 1);
  fakeTerminal("x-terminal-emulator");
  for (const auto& c : cases) {
    if (c.runtime.empty()) {
      ::unsetenv("XDG_RUNTIME_DIR");
    } else {
      ::setenv("XDG_RUNTIME_DIR", c.runtime.c_str(), 1);
    }
    fs::remove(log_);
    WacliLauncher::openWacliInTerminal();
    const fs::path file = c.folder / WacliLauncher::kScriptName;
    EXPECT_EQ(recordedArguments(), "-e\n" + file.string() + "\n") << c.label;
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0) << c.label;
    EXPECT_EQ(info.st_mode & 07777, 0700u) << c.label;
    EXPECT_EQ(test::readFile(file),
              WacliLauncher::refusalScript(CoProcessSupport::runnableWacli().error()))
        << c.label;
  }
}

TEST_F(WacliLauncherTest, WithoutAPrivateFolderOnlyTheTerminalOpens) {
  ::setenv("PATH", bin_.c_str(), 1);
  fakeTerminal("xterm");
  ::unsetenv("XDG_RUNTIME_DIR");
  const fs::path own = Paths::tempDir() / ("tavrin-" + std::to_string(::getuid()));
  fs::remove_all(own);
  test::writeFile(own, "someone else's file");  // no folder can be made there
  fs::remove(log_);
  WacliLauncher::openWacliInTerminal();
  // The fake writes an empty log for no arguments: wait for the file itself.
  EXPECT_TRUE(test::processEventsUntil([&] { return fs::exists(log_); }));
  EXPECT_EQ(test::readFile(log_), "");
  fs::remove(own);
}

}  // namespace
}  // namespace tvrn
