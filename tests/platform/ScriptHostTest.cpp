#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/ScriptHost.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using ScriptHost::ScriptLanguage;

class ScriptHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
    ::setenv("FAKE_OSASCRIPT_ARGV", argvFile().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("TVRN_OSASCRIPT");
    ::unsetenv("FAKE_OSASCRIPT_ARGV");
    ::unsetenv("FAKE_OSASCRIPT_DIRECTIVE");
  }
  static std::filesystem::path argvFile() { return test::home() / "osascript-argv.jsonl"; }

  static std::vector<nlohmann::json> recordedRuns() {
    std::vector<nlohmann::json> runs;
    std::istringstream lines(test::readFile(argvFile()));
    for (std::string line; std::getline(lines, line);) runs.push_back(nlohmann::json::parse(line));
    return runs;
  }

  static std::string steer(const nlohmann::json& how) { return "/*fake " + how.dump() + " fake*/"; }
};

TEST_F(ScriptHostTest, PassesEachLanguagesArgumentsToTheConfiguredProgram) {
  const std::string jxa = "var a = 1;\nreturn a;";
  ScriptHost::run(ScriptLanguage::javaScript, jxa, 10s);
  ScriptHost::run(ScriptLanguage::appleScript, "tell application \"Calendar\" to quit", 10s);
  const auto runs = recordedRuns();
  ASSERT_EQ(runs.size(), 2u);
  const std::string program = ScriptHost::programPath();
  EXPECT_EQ(runs[0], nlohmann::json({program, "-l", "JavaScript", "-e", jxa}));
  EXPECT_EQ(runs[1], nlohmann::json({program, "-e", "tell application \"Calendar\" to quit"}));
}

TEST_F(ScriptHostTest, FindsTheProgramAtEachCall) {
  EXPECT_EQ(ScriptHost::programPath(), (test::fakesDir() / "fake-osascript").string());
  ::setenv("TVRN_OSASCRIPT", "", 1);
  EXPECT_EQ(ScriptHost::programPath(), "/usr/bin/osascript");
  ::unsetenv("TVRN_OSASCRIPT");
  EXPECT_EQ(ScriptHost::programPath(), "/usr/bin/osascript");

  ::setenv("TVRN_OSASCRIPT", (test::home() / "no-such-osascript").c_str(), 1);
  const auto missing = ScriptHost::run(ScriptLanguage::javaScript, "return 1", 10s);
  EXPECT_FALSE(missing.launched);
  EXPECT_EQ(missing.launchError, "No such file or directory");
}

TEST_F(ScriptHostTest, GivesBackOutputStatusAndErrorText) {
  // A mebibyte of JSON text, far more than a pipe holds, comes back whole.
  const auto big = ScriptHost::run(
      ScriptLanguage::javaScript,
      steer({{"prefix", "[\""}, {"stdout", "x"}, {"repeat", 1 << 20}, {"suffix", "\"]"}}), 10s);
  ASSERT_TRUE(big.launched);
  EXPECT_FALSE(big.timedOut);
  ASSERT_EQ(big.standardOutput.size(), (1u << 20) + 5);
  EXPECT_EQ(nlohmann::json::parse(big.standardOutput)[0].get<std::string>().size(), 1u << 20);

  const auto failed = ScriptHost::run(ScriptLanguage::javaScript,
                                      steer({{"stderr", "not authorized"}, {"exit", 1}}), 10s);
  EXPECT_EQ(failed.exit.status, 1);
  EXPECT_EQ(failed.standardError, "not authorized");

  // A script that cannot carry instructions takes them from the environment; output and error
  // text can share one stream.
  ::setenv("FAKE_OSASCRIPT_DIRECTIVE", R"({"stdout":"ok","stderr":"warning"})", 1);
  const auto merged =
      ScriptHost::run(ScriptLanguage::appleScript, "return \"ok\"", std::nullopt, true);
  EXPECT_EQ(merged.standardOutput, "ok\nwarning");
}

TEST_F(ScriptHostTest, EndsAScriptThatRunsPastItsTimeOut) {
  const auto started = SubprocessClock::now();
  const auto slow =
      ScriptHost::run(ScriptLanguage::javaScript, steer({{"delay_ms", 30000}}), 150ms);
  EXPECT_TRUE(slow.launched);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_LT(SubprocessClock::now() - started, 15s);  // half what the script takes
}

}  // namespace
}  // namespace tvrn
