#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/ExecutablePath.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

RunOptions within(SubprocessClock::duration timeout) {
  RunOptions options;
  options.timeout = timeout;
  return options;
}

std::string fake(const char* name) { return (test::fakesDir() / name).string(); }

SubprocessClock::time_point in(std::chrono::milliseconds span) {
  return SubprocessClock::now() + span;
}

// A script for fake-osascript that makes it behave as the directive says.
std::string directive(const nlohmann::json& how) { return "/*fake " + how.dump() + " fake*/"; }

CompletedProcess runScript(const nlohmann::json& how, RunOptions options = {}) {
  if (!options.timeout) options.timeout = 20s;
  return Subprocess::run({{fake("fake-osascript"), "-e", directive(how)}}, options);
}

std::unique_ptr<Subprocess> startOrDie(SpawnOptions options) {
  auto started = Subprocess::start(options);
  if (!started.ok()) ADD_FAILURE() << started.error();
  return started.ok() ? std::move(started).value() : nullptr;
}

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// True while a process of the group is alive (a zombie no longer counts).
bool groupAlive(pid_t group) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream statFile(entry.path() / "stat");
    std::string stat;
    if (!std::getline(statFile, stat)) continue;
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    long processGroup = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld", &state, &parent, &processGroup) != 3) {
      continue;
    }
    if (processGroup == group && state != 'Z' && state != 'X') return true;
  }
  return false;
}

bool groupEnds(pid_t group) {
  const auto deadline = in(std::chrono::seconds(30));
  while (groupAlive(group)) {
    if (SubprocessClock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True once the child `pid` has been reaped: it is no child of this process any more.
bool reaped(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 &&
         errno == ECHILD;
}

std::string echoRequest(const nlohmann::json& args = nlohmann::json::object()) {
  return nlohmann::json{{"method", "echo"}, {"args", args}}.dump() + "\n";
}

// ---- running to completion ----

TEST(SubprocessRunTest, DrainsBothStreamsWhileTheChildRuns) {
  const auto big = runScript({{"stdout", "x"}, {"stderr", "y"}, {"repeat", 4 << 20}});
  ASSERT_TRUE(big.launched);
  EXPECT_FALSE(big.timedOut);
  EXPECT_EQ(big.exit.status, 0);
  EXPECT_EQ(big.standardOutput.size(), (4u << 20) + 1);
  EXPECT_EQ(big.standardError.size(), 4u << 20);

  // Input and output both larger than a pipe holds: feeding must not wait for reading.
  const std::string input(2 << 20, 'z');
  RunOptions feeding = within(20s);
  feeding.input = input;
  const auto echoed = Subprocess::run({{"/bin/cat"}}, feeding);
  EXPECT_FALSE(echoed.timedOut);
  EXPECT_EQ(echoed.standardOutput, input);

  RunOptions merging = within(20s);
  merging.mergeStandardError = true;
  const auto merged = runScript({{"stdout", "out"}, {"stderr", "err"}}, merging);
  EXPECT_EQ(merged.standardOutput, "out\nerr");
  EXPECT_EQ(merged.standardError, "");
}

TEST(SubprocessRunTest, ReportsHowTheChildEnded) {
  const auto exited = runScript({{"stdout", ""}, {"stderr", "bad"}, {"exit", 7}});
  EXPECT_EQ(exited.exit.status, 7);
  EXPECT_FALSE(exited.exit.signalled);
  EXPECT_EQ(exited.standardError, "bad");

  const auto killed = Subprocess::run({{"/bin/sh", "-c", "echo $$; kill -9 $$"}}, within(20s));
  EXPECT_TRUE(killed.exit.signalled);
  EXPECT_EQ(killed.exit.status, SIGKILL);
  EXPECT_TRUE(reaped(std::stoi(killed.standardOutput)));
}

TEST(SubprocessRunTest, KeepsOnlyTheStartOfAFloodAndLetsTheChildFinish) {
  RunOptions options = within(20s);
  options.outputLimit = 4096;
  const auto flood = Subprocess::run(
      {{"/bin/sh", "-c",
        "head -c 10000000 /dev/zero; head -c 10000000 /dev/zero >&2; echo done; exit 3"}},
      options);
  EXPECT_FALSE(flood.timedOut);  // the child was never left blocked on a full pipe
  EXPECT_EQ(flood.exit.status, 3);
  EXPECT_EQ(flood.standardOutput, std::string(4096, '\0'));
  EXPECT_EQ(flood.standardError, std::string(4096, '\0'));
}

// With SIGCHLD ignored the kernel reaps children itself and their statuses are lost.
TEST(SubprocessRunTest, AnExitThatCannotBeLearnedIsNeverASuccess) {
  std::signal(SIGCHLD, SIG_IGN);
  const auto ran = Subprocess::run({{"/bin/false"}}, within(20s));
  EXPECT_TRUE(ran.launched);
  EXPECT_EQ(ran.exit.status, -1);
  EXPECT_FALSE(ran.exit.signalled);

  auto coprocess = startOrDie({{"/bin/false"}});
  ASSERT_TRUE(coprocess);
  EXPECT_TRUE(coprocess->waitForExit(in(30s)));
  ASSERT_TRUE(coprocess->exitStatus());
  EXPECT_EQ(coprocess->exitStatus()->status, -1);
  std::signal(SIGCHLD, SIG_DFL);
}

TEST(SubprocessRunTest, EndsAndReapsAChildPastItsDeadline) {
  struct Case {
    const char* script;
    int signal;
  };
  const Case cases[] = {
      {"echo $$; exec sleep 30", SIGTERM},
      // Ignores SIGTERM, and so does the sleep it starts: both must still go.
      {"echo $$; trap '' TERM; sleep 30; echo survived", SIGKILL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const auto started = SubprocessClock::now();
    const auto result = Subprocess::run({{"/bin/sh", "-c", c.script}}, within(200ms));
    EXPECT_LT(SubprocessClock::now() - started, 15s);  // half what the script takes
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.exit.signalled);
    EXPECT_EQ(result.exit.status, c.signal);
    EXPECT_TRUE(reaped(std::stoi(result.standardOutput)));
    EXPECT_TRUE(groupEnds(std::stoi(result.standardOutput)))
        << "something the child started is still running";
  }
}

TEST(SubprocessRunTest, AProgramThatCannotStartIsALaunchFailure) {
  const auto notExecutable = test::home() / "not-executable";
  test::writeFile(notExecutable, "#!/bin/sh\n");
  struct Case {
    std::string program;
    const char* reason;
  };
  const Case cases[] = {
      {"/nonexistent/program", "No such file or directory"},
      {notExecutable.string(), "Permission denied"},
      {"env", "No such file or directory"},  // a bare name is not looked up unless asked
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    const auto result = Subprocess::run({{c.program}});
    EXPECT_FALSE(result.launched);
    EXPECT_EQ(result.launchError, c.reason);
    auto started = Subprocess::start({{c.program}});
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error(), c.reason);
  }
  SpawnOptions lookedUp({"env"});
  lookedUp.searchPath = true;
  EXPECT_TRUE(Subprocess::run(lookedUp).launched);
}

TEST(SubprocessRunTest, TheChildStartsClean) {
  SpawnOptions onlyOne({"/usr/bin/env"});
  onlyOne.environment = std::vector<std::string>{"ONLY=1"};
  const auto env = Subprocess::run(onlyOne);
  EXPECT_EQ(env.standardOutput, "ONLY=1\n");

  // Without input the child reads the end of its input at once instead of waiting on ours.
  const auto cat = Subprocess::run({{"/bin/cat"}}, within(30s));
  EXPECT_FALSE(cat.timedOut);

  // This process ignores SIGPIPE; its children must not inherit that.
  const auto status = Subprocess::run({{"/bin/cat", "/proc/self/status"}});
  const auto at = status.standardOutput.find("SigIgn:");
  ASSERT_NE(at, std::string::npos);
  const unsigned long long ignored = std::stoull(status.standardOutput.substr(at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
}

// ---- co-processes ----

TEST(CoprocessTest, ExchangesLinesAndKeepsWhatFollowsALineFeed) {
  auto helper = startOrDie({{fake("fake-helper")}});
  ASSERT_TRUE(helper);
  for (int count = 1; count <= 2; ++count) {
    ASSERT_EQ(helper->write(echoRequest(), in(30s)), WriteStatus::written);
    const auto reply = helper->readLine(in(30s));
    ASSERT_EQ(reply.status, LineStatus::line);
    const auto parsed = nlohmann::json::parse(reply.text);
    EXPECT_EQ(parsed["result"]["count"], count);
    EXPECT_EQ(parsed["result"]["pid"], helper->pid());
  }
  EXPECT_TRUE(helper->isRunning());

  auto cat = startOrDie({{"/bin/cat"}});
  ASSERT_TRUE(cat);
  ASSERT_EQ(cat->write("first\nsecond\nthird", in(30s)), WriteStatus::written);
  cat->closeInput();
  EXPECT_EQ(cat->readLine(in(30s)).text, "first");
  EXPECT_EQ(cat->readLine(in(30s)).text, "second");
  const auto last = cat->readLine(in(30s));  // no line feed before the end: still a line
  EXPECT_EQ(last.status, LineStatus::line);
  EXPECT_EQ(last.text, "third");
  EXPECT_EQ(cat->readLine(in(30s)).status, LineStatus::endOfStream);
  EXPECT_TRUE(cat->waitForExit(in(30s)));
  EXPECT_EQ(cat->exitStatus()->status, 0);
}

TEST(CoprocessTest, ALineLongerThanTheLimitFailsTheReadWithoutWaiting) {
  // A 1000-byte line, then a 2000-byte one that never ends while the child lives on.
  auto flood = startOrDie({{"/bin/sh", "-c", "printf '%01000d\\n%02000d' 0 0; exec sleep 30"}});
  ASSERT_TRUE(flood);
  const auto fits = flood->readLine(in(30s), 1000);
  EXPECT_EQ(fits.status, LineStatus::line);
  EXPECT_EQ(fits.text, std::string(1000, '0'));
  const auto started = SubprocessClock::now();
  EXPECT_EQ(flood->readLine(in(30s), 1000).status, LineStatus::failed);
  EXPECT_LT(SubprocessClock::now() - started, 2s);
}

TEST(CoprocessTest, AReplyThatNeverComesTimesOutAndTheChildIsReaped) {
  auto helper = startOrDie({{fake("fake-helper")}});
  ASSERT_TRUE(helper);
  ASSERT_EQ(helper->write(echoRequest({{"fake_mode", "slow"}, {"fake_delay_ms", 30000}}), in(30s)),
            WriteStatus::written);
  const auto started = SubprocessClock::now();
  EXPECT_EQ(helper->readLine(in(150ms)).status, LineStatus::timedOut);
  EXPECT_LT(SubprocessClock::now() - started, 3s);
  EXPECT_TRUE(helper->isRunning());
  helper->terminate();
  EXPECT_FALSE(helper->isRunning());
  EXPECT_TRUE(helper->exitStatus()->signalled);
  EXPECT_TRUE(processGone(helper->pid()));

  // Dropping a healthy co-process ends and reaps it too.
  auto sleeper = startOrDie({{"/bin/sleep", "30"}});
  const pid_t pid = sleeper->pid();
  sleeper.reset();
  EXPECT_TRUE(processGone(pid));
}

TEST(CoprocessTest, WritingToAChildThatHasGoneIsAValueNotASignal) {
  ::setenv("FAKE_HELPER_MODE", "exit-at-start", 1);
  auto helper = startOrDie({{fake("fake-helper")}});
  ::unsetenv("FAKE_HELPER_MODE");
  ASSERT_TRUE(helper);
  ASSERT_TRUE(helper->waitForExit(in(30s)));
  EXPECT_EQ(helper->exitStatus()->status, 3);

  // Even where SIGPIPE would end the process, the failed write only reports.
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  const auto status = helper->write(echoRequest(), in(30s));
  std::signal(SIGPIPE, previous);
  EXPECT_EQ(status, WriteStatus::brokenPipe);
  EXPECT_EQ(helper->readLine(in(30s)).status, LineStatus::endOfStream);
}

TEST(CoprocessTest, CollectsTheErrorStreamWithoutBlocking) {
  auto helper = startOrDie({{fake("fake-helper")}});
  ASSERT_TRUE(helper);
  const auto started = SubprocessClock::now();
  EXPECT_EQ(helper->takeStandardError(), "");
  EXPECT_LT(SubprocessClock::now() - started, 1s);

  // Far more than a pipe holds, while the reply is awaited: the reply still arrives.
  const std::string chatter = std::string(1 << 20, 'a') + "the last words";
  ASSERT_EQ(helper->write(echoRequest({{"fake_stderr", chatter}}), in(30s)), WriteStatus::written);
  EXPECT_EQ(helper->readLine(in(10s)).status, LineStatus::line);
  const std::string tail = helper->takeStandardError();
  EXPECT_LE(tail.size(), 64u * 1024);
  EXPECT_TRUE(tail.ends_with("the last words"));
  EXPECT_EQ(helper->takeStandardError(), "");

  ASSERT_EQ(helper->write(echoRequest({{"fake_mode", "exit"}, {"fake_stderr", "boom"}}), in(30s)),
            WriteStatus::written);
  EXPECT_EQ(helper->readLine(in(30s)).status, LineStatus::endOfStream);
  EXPECT_EQ(helper->takeStandardError(), "boom");
}

TEST(CoprocessTest, PipesDoNotLeakIntoOtherChildren) {
  auto cat = startOrDie({{"/bin/cat"}});
  auto sleeper = startOrDie({{"/bin/sleep", "30"}});
  ASSERT_TRUE(cat && sleeper);
  // If the sleeper held a copy of cat's input, cat would never read its end.
  cat->closeInput();
  EXPECT_TRUE(cat->waitForExit(in(30s)));
}

TEST(ExecutablePathTest, IsTheRunningProgramsOwnFile) {
  EXPECT_EQ(ExecutablePath::file().filename(), "tvrn_platform_tests");
  EXPECT_TRUE(ExecutablePath::folder().is_absolute());
  EXPECT_TRUE(std::filesystem::exists(ExecutablePath::folder() / "tvrn_platform_tests"));
}

}  // namespace
}  // namespace tvrn
