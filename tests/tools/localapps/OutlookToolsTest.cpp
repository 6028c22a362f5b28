#include <gtest/gtest.h>

#include <string>

#include "platform/Paths.h"
#include "support/AppFixtures.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/localapps/OutlookTexts.h"
#include "tools/localapps/OutlookTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

// Answers Mail's account script with a fixed result and counts the runs.
class FakeMail final : public JXARunning {
 public:
  explicit FakeMail(ToolResult answer) : answer_(std::move(answer)) {}
  JXAResult run(std::string_view) override { return fail(JXAError::timeout()); }
  ToolResult runAsJSONValue(std::string_view script) override {
    ++runs;
    lastScript = script;
    return answer_;
  }
  int runs = 0;
  std::string lastScript;

 private:
  ToolResult answer_;
};

FakeMail mailWith(const json& accounts) { return FakeMail(anyToJSONValue(accounts)); }

std::string diagnose(FakeMail& mail) {
  ToolRegistry registry;
  OutlookTools::registerTools(registry, mail);
  return test::textOf(test::callTool(registry, "outlook_diagnose"));
}

std::string actionSteps() {
  std::string text;
  for (const char* line : OutlookTexts::kActionSteps) text += std::string("\n") + line;
  return text;
}

void placeOutlook(const json& defaults, const std::string& exchange, const std::string& mail) {
  test::placeBundle("Microsoft Outlook");
  if (!defaults.is_null()) test::writeDefaults("com.microsoft.Outlook", defaults);
  const std::string schema =
      "CREATE TABLE AccountsExchange (Account_EmailAddress TEXT);"
      "CREATE TABLE AccountsMail (Account_EmailAddress TEXT);";
  ASSERT_TRUE(test::runSqlite(
      Paths::underHome("Library/Group Containers/UBF8T346G9.Office/Outlook/Outlook 15 "
                       "Profiles/Main Profile/Data/Outlook.sqlite"),
      schema + "INSERT INTO AccountsExchange VALUES " + exchange +
          "; INSERT INTO AccountsMail VALUES " + mail + ";"));
}

// The signed-in address sits in the first dictionary entry (in key order) that holds one.
const json kDefaults = {{"A_Empty", {{"ActivationEmail", ""}}},
                        {"B_Account", {{"ActivationEmail", "Boss@Work.com"}}},
                        {"C_Later", {{"ActivationEmail", "later@example.com"}}},
                        {"Plain", "text"}};

TEST(OutlookToolsTest, WithoutOutlookAnswersTheNotInstalledTextAndAsksNothing) {
  FakeMail mail = mailWith(json::array());
  EXPECT_EQ(diagnose(mail), OutlookTexts::kNotInstalled);
  EXPECT_EQ(mail.runs, 0);
}

TEST(OutlookToolsTest, ListsEachAddressOnceSortedAndMarksItAgainstMail) {
  placeOutlook(kDefaults, "('Boss@Work.com'), ('alice@home.com'), (''), (NULL)",
               "('alice@home.com'), ('Alice@home.com'), ('zed@example.com')");
  FakeMail mail = mailWith(json::array({{{"name", "Work"}, {"emails", {"boss@work.com"}}},
                                        {{"emails", {"ALICE@HOME.COM", 5}}},
                                        {{"name", "Empty"}}}));
  EXPECT_EQ(
      diagnose(mail),
      "## Outlook Accounts Detected\n- Alice@home.com ✅ also in Mail.app\n"
      "- Boss@Work.com ✅ also in Mail.app\n- alice@home.com ✅ also in Mail.app\n"
      "- zed@example.com ⚠️ NOT in Mail.app\n\n## Mail.app Accounts\n- Work: boss@work.com\n"
      "- Unknown: ALICE@HOME.COM\n- Empty: \n\n## Action Required\n"
      "The following Outlook accounts are NOT in Mail.app:\n- **zed@example.com**" +
          actionSteps());
  EXPECT_EQ(mail.lastScript, OutlookTexts::kMailScript);
}

TEST(OutlookToolsTest, EndsWithAllGoodWhenMailHasEveryAddress) {
  placeOutlook(json(nullptr), "('a@example.com')", "('B@example.com')");
  FakeMail mail =
      mailWith(json::array({{{"name", "All"}, {"emails", {"A@example.com", "b@example.com"}}}}));
  EXPECT_EQ(diagnose(mail),
            "## Outlook Accounts Detected\n- B@example.com ✅ also in Mail.app\n"
            "- a@example.com ✅ also in Mail.app\n\n## Mail.app Accounts\n"
            "- All: A@example.com, b@example.com\n\n## ✅ All Good\n" +
                std::string(OutlookTexts::kAllGood));
}

TEST(OutlookToolsTest, AMailFailureIsReportedWithoutJudgingTheAddresses) {
  placeOutlook(kDefaults, "('x@example.com')", "('y@example.com')");
  const std::string addresses =
      "## Outlook Accounts Detected\n- Boss@Work.com\n- x@example.com\n- y@example.com\n\n"
      "## Mail.app Accounts\nCould not read Mail.app accounts: ";
  struct Case {
    ToolResult answer;
    std::string reason;
  } cases[] = {
      {fail(ToolError::executionFailed("JXA: Mail got an error")), "JXA: Mail got an error"},
      {fail(ToolError::permissionDenied("Automation refused")),
       "Permission denied: Automation refused"},
      {anyToJSONValue(json{{"name", "not a list"}}), "unexpected reply"},
  };
  for (auto& c : cases) {
    FakeMail mail(c.answer);
    EXPECT_EQ(diagnose(mail), addresses + c.reason);
  }
}

TEST(OutlookToolsTest, WithNoAddressAnywhereSaysSoAndStopsAfterMail) {
  test::placeBundle("Microsoft Outlook");
  test::writeDefaults("com.microsoft.Outlook", {{"Account", {{"ActivationEmail", ""}}}});
  FakeMail mail = mailWith(json::array());
  EXPECT_EQ(diagnose(mail),
            "## Outlook Accounts Detected\nNo Outlook accounts found on this Mac.\n\n"
            "Outlook may not be installed, or has no accounts configured.\n\n"
            "## Mail.app Accounts\nNo accounts found in Mail.app.");
}

}  // namespace
}  // namespace tvrn
