#include <gtest/gtest.h>
#include <stdlib.h>

#include <variant>

#include "bridges/JXARunner.h"
#include "bridges/JXAScript.h"
#include "bridges/TCCMessages.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

std::string steer(const json& how) { return " /*fake " + how.dump() + " fake*/"; }

TEST(JXAScriptTest, RecognisesDenialsInAnyCase) {
  const std::pair<std::string_view, bool> cases[] = {
      {"Error: Not authorized to send Apple events to Mail. (-1743)", true},
      {"NOT ALLOWED assistive access", true},
      {"Access Denied", true},
      {"no approval received", true},
      {"notallowed", false},
      {"denied", false},
      {"not  authorized", false},
      {"", false},
  };
  for (const auto& [text, denial] : cases) EXPECT_EQ(looksLikeTCCDenial(text), denial) << text;
}

TEST(JXAScriptTest, NamesTheFirstApplicationCalledWithAQuotedName) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"Application('Mail').mailboxes().length", "Mail"},
      {"var o = Application(\"Microsoft Outlook\"); Application('Mail')", "Microsoft Outlook"},
      {"Application('Notes\")", "Notes"},
      {"Application(name); Application('') ; Application('Safari')", "Safari"},
      {"Application('Mail' + x); Application('Mail\"", "the target app"},
      {"Application.currentApplication()", "the target app"},
  };
  for (const auto& [script, target] : cases) {
    EXPECT_EQ(JXAScript::targetApplication(script), target) << script;
  }
}

TEST(JXAScriptTest, AnyToJSONValueKeepsIntegralFloatsAsInts) {
  const std::pair<json, std::string_view> cases[] = {
      {json(3.0), "3"},
      {json(-0.0), "0"},
      {json(2.5), "2.5"},
      {json(1), "1"},
      {json(true), "true"},
      {json(nullptr), "null"},
      {json(1e300), "1e+300"},
      {json(18446744073709551615ull), "1.8446744073709552e+19"},
      {json::parse(R"({"a":[1,2.0,{"b":null}],"c":"x"})"), R"({"a":[1,2,{"b":null}],"c":"x"})"},
  };
  for (const auto& [raw, encoded] : cases) EXPECT_EQ(anyToJSONValue(raw).encode(), encoded) << raw;
  EXPECT_EQ(anyToJSONValue(json(1)).kind(), JSONValue::Kind::intValue);
  EXPECT_EQ(anyToJSONValue(json(1e300)).kind(), JSONValue::Kind::doubleValue);
}

TEST(JXAScriptTest, ParseErrorsKeepTwoHundredCharacters) {
  const std::string longText(150, 'a');
  const std::string bare = "\"" + longText + "é" + longText + "\"";
  const auto parsed = JXAScript::parseOutput(bare);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().description(),
            "JXA JSON parse error: \"" + longText + "é" + std::string(48, 'a'));
  EXPECT_FALSE(JXAScript::parseOutput(std::string(600, '[') + std::string(600, ']')).ok());
}

// The in-process runner, with fake-osascript standing in for the script host.
class JXARunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  }
};

using Expected = std::variant<json, JXAError>;

TEST_F(JXARunnerTest, RunGivesTheValueOrTheFailure) {
  const std::string mail = "Application('Mail').accounts(); ";
  const std::pair<std::string, Expected> cases[] = {
      {steer({{"stdout", R"({"a":[1,2]})"}}), json::parse(R"({"a":[1,2]})")},
      {steer({{"stdout", R"({"__error__":"Error: boom"})"}}), json{{"__error__", "Error: boom"}}},
      {steer({{"stdout", "5"}}), JXAError::jsonParseError("5")},
      {mail + steer({{"stdout", ""}}), JXAError::permissionDenied("Mail")},
      {steer({{"stdout", ""}}), JXAError::permissionDenied("the target app")},
      {mail + steer({{"stdout", ""},
                     {"stderr", "execution error: Not authorized (-1743)"},
                     {"exit", 1}}),
       JXAError::permissionDenied("Mail")},
      {steer({{"stdout", ""}, {"stderr", "Error: bad\n"}, {"exit", 1}}),
       JXAError::scriptError("Error: bad")},
      {steer({{"stdout", "partial output"}, {"exit", 3}}), JXAError::scriptError("partial output")},
      {steer({{"stdout", ""}, {"exit", 1}}), JXAError::scriptError("osascript exited with code 1")},
  };
  JXARunner runner;
  for (const auto& [script, expected] : cases) {
    const JXAResult result = runner.run(script);
    if (const json* value = std::get_if<json>(&expected)) {
      ASSERT_TRUE(result.ok()) << script << ": " << result.error().description();
      EXPECT_EQ(result.value(), *value) << script;
    } else {
      ASSERT_FALSE(result.ok()) << script;
      EXPECT_EQ(result.error(), std::get<JXAError>(expected)) << script;
    }
  }
}

TEST_F(JXARunnerTest, ToolResultsCarryTheFailureTexts) {
  JXARunner runner;
  const auto denied = runner.runAsJSONValue(
      "Application('Mail').accounts();" +
      steer({{"stdout", R"({"__error__":"Error: Not authorized to send Apple events"})"}}));
  EXPECT_EQ(denied.error(), ToolError::permissionDenied(TCCMessages::automationDenied("Mail")));
  EXPECT_EQ(runner.runAsJSONValue(steer({{"stdout", R"({"__error__":"Error: boom"})"}})).error(),
            ToolError::executionFailed("JXA: Error: boom"));
  EXPECT_EQ(JXARunner(0.3).runAsJSONValue(steer({{"delay_ms", 5000}})).error(),
            ToolError::executionFailed("JXA script timed out"));
  EXPECT_EQ(runner.runAsJSONValue(steer({{"stdout", R"([3.0,{"__error__":1}])"}})).value().encode(),
            R"([3,{"__error__":1}])");

  ::setenv("TVRN_OSASCRIPT", (test::home() / "no-such-osascript").c_str(), 1);
  const auto missing = runner.runAsJSONValue("return 1;");
  EXPECT_EQ(missing.error().payload().rfind("Cannot launch osascript: ", 0), 0u)
      << missing.error().payload();
}

}  // namespace
}  // namespace tvrn
