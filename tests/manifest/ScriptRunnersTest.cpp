#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/ToolResponse.h"
#include "fakes/support/NodeOsaEvaluator.h"
#include "manifest/ManifestAppleScriptRunner.h"
#include "manifest/ManifestJXARunner.h"
#include "manifest/ManifestTestSupport.h"
#include "support/Eventually.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using test::outcome;

using nlohmann::json;
using namespace std::chrono_literals;

// Answers with its own name and the script it was given.
class NamedExecutor final : public JXARunning {
 public:
  explicit NamedExecutor(std::string name) : name_(std::move(name)) {}
  JXAResult run(std::string_view) override { return fail(JXAError::timeout()); }
  ToolResult runAsJSONValue(std::string_view script) override {
    return ToolResponse::text(name_ + ": " + std::string(script));
  }

 private:
  std::string name_;
};

class ScriptRunnersTest : public ::testing::Test {
 protected:
  ManifestJXARunner inProcess(OsaEvaluator evaluator) {
    return ManifestJXARunner({&short_, &medium_, &long_}, true, std::move(evaluator));
  }
  NamedExecutor short_{"30s"}, medium_{"60s"}, long_{"90s"};
};

TEST_F(ScriptRunnersTest, ExecutorsAreChosenByTheToolsTimeOut) {
  ManifestJXARunner runner({&short_, &medium_, &long_}, false, platformOsaEvaluator());
  const std::vector<std::pair<std::int64_t, std::string>> cases = {
      {30000, "30s"}, {30001, "60s"}, {60000, "60s"}, {60001, "90s"}};
  for (const auto& [timeoutMs, name] : cases) {
    EXPECT_EQ(
        outcome(runner.execute(BehaviorSpec::Jxa{"return '{{a}}';"}, {{"a", 1}}, timeoutMs, 1)),
        name + ": var $params = {\"a\":1};\nreturn '1';");
  }
}

TEST_F(ScriptRunnersTest, NodeEvaluatesScriptsInProcess) {
  const auto node = test::nodeProgram();
  if (!node) GTEST_SKIP() << "node is not installed";
  auto runner = inProcess(test::nodeOsaEvaluator(*node));
  const std::string tricky = "it's \"quoted\" `ticked` ${x} \\ line\nnext\r\u2028\u2029 end";
  const std::string permission =
      "error: Permission denied: Automation permission required for this tool. Go to System "
      "Settings \u2192 Privacy & Security \u2192 Automation and enable access for TavrinTray. "
      "(Error: Permission to control Mail)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"return $params.a + 1;", "2"},
      {"return [1, 'x'];", "[\n  1,\n  \"x\"\n]"},
      {"return 'word';", "\"word\""},
      {"throw new Error('no such folder');", "error: JXA: Error: no such folder"},
      {"throw new Error('Permission to control Mail');", permission},
      {"return ['{{v}}', \"{{v}}\", `{{v}}`];", json({tricky, tricky, tricky}).dump(2)},
      {"var t = Date.now(); while (Date.now() - t < 1000) {} return 1;",
       "error: JXA: timed out after 300ms"},
  };
  for (const auto& [script, expected] : cases) {
    // Starting node can take a while on a loaded machine: only the looping script is timed out.
    const int timeoutMs = expected.find("timed out") != std::string::npos ? 300 : 30000;
    EXPECT_EQ(outcome(runner.execute(BehaviorSpec::Jxa{script}, {{"a", 1}, {"v", tricky}},
                                     timeoutMs, 1)),
              expected)
        << script;
  }
}

TEST_F(ScriptRunnersTest, EvaluatorOutcomesAndTheCapOnLeftoverEvaluations) {
  const auto answering = [](OsaEvaluation evaluation) {
    return [evaluation](const std::string&) { return evaluation; };
  };
  using K = OsaEvaluation::Kind;
  const std::string denied = "error: Permission denied: ";
  const std::vector<std::pair<OsaEvaluation, std::string>> cases = {
      {{K::nothing, "", "", 0}, denied + "Automation permission may have been silently denied."},
      {{K::result, "", "", 0}, denied + "Automation permission may have been silently denied."},
      {{K::error, "", "Anything", -1743}, denied + "TavrinTray needs Automation access. Go to"},
      {{K::error, "", "Broken pipe", 12}, "error: OSA error 12: Broken pipe"},
      {{K::unavailable, "", "", 0}, "error: JavaScript OSA language unavailable"},
  };
  for (const auto& [evaluation, expected] : cases) {
    const auto result =
        inProcess(answering(evaluation)).execute(BehaviorSpec::Jxa{""}, {}, 30000, 1);
    EXPECT_EQ(outcome(result).substr(0, expected.size()), expected);
  }

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto runner = inProcess([released](const std::string&) {
    released.wait();
    return OsaEvaluation{OsaEvaluation::Kind::result, "[1]", "", 0};
  });
  for (std::size_t i = 0; i < ManifestJXARunner::kMaxLeftovers; ++i) {
    EXPECT_EQ(outcome(runner.execute(BehaviorSpec::Jxa{""}, {}, 1, 1)),
              "error: JXA: timed out after 1ms");
  }
  EXPECT_EQ(outcome(runner.execute(BehaviorSpec::Jxa{""}, {}, 1, 1)),
            "error: JXA: busy \u2014 8 earlier scripts are still running past their time-out");
  release.set_value();
  ASSERT_TRUE(test::eventually([&] { return runner.leftovers() == 0; }, "the late scripts' end"));
  EXPECT_EQ(outcome(runner.execute(BehaviorSpec::Jxa{""}, {}, INT64_MAX, 1)), "[\n  1\n]");
}

TEST_F(ScriptRunnersTest, AppleScriptRunsThroughTheScriptHostWithEscapedValues) {
  const auto argvFile = test::home() / "osascript-argv.jsonl";
  ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  ::setenv("FAKE_OSASCRIPT_ARGV", argvFile.c_str(), 1);
  const std::string injection = R"(" & do shell script "x" & ")";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"(say "{{v}}" /*fake {"stdout": "  padded \n"} fake*/)", "padded"},
      {R"(/*fake {"stderr": " oops\n", "exit": 1} fake*/)", "error: AppleScript: oops"},
      {R"(/*fake {"stdout": "", "exit": 1} fake*/)", "error: AppleScript: exit 1"},
      {R"(/*fake {"delay_ms": 3000} fake*/)", "error: AppleScript: timed out after 200ms"},
  };
  for (const auto& [script, expected] : cases) {
    // Only the script that sleeps is timed out: starting the script host can take a while.
    const int timeoutMs = expected.find("timed out") != std::string::npos ? 200 : 30000;
    EXPECT_EQ(outcome(ManifestAppleScriptRunner().execute(BehaviorSpec::AppleScript{script},
                                                          {{"v", injection}}, timeoutMs, 1)),
              expected);
  }
  // A time-out no clock can count to still runs the script.
  EXPECT_EQ(outcome(ManifestAppleScriptRunner::runAppleScript(R"(/*fake {"stdout": "ok"} fake*/)",
                                                              INT64_MAX)),
            "ok");
  const json first =
      json::parse(test::readFile(argvFile).substr(0, test::readFile(argvFile).find('\n')));
  EXPECT_EQ(first.at(2),
            R"(say "\" & do shell script \"x\" & \"" /*fake {"stdout": "  padded \n"} fake*/)");
}

}  // namespace
}  // namespace tvrn
