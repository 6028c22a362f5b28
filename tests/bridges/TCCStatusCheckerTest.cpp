#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "bridges/HelperProxy.h"
#include "bridges/TCCStatusChecker.h"
#include "core/Logger.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using Status = AuthorizationStatus;

class TCCStatusCheckerTest : public ::testing::Test {
 protected:
  static std::filesystem::path cacheFile() { return Paths::appSupport() / "tcc-cache.json"; }

  // A helper that answers "get_tcc_status" with `reply`.
  static std::unique_ptr<HelperProxy> helperReplying(json reply) {
    return std::make_unique<HelperProxy>([reply](std::string_view method, const json& args) {
      EXPECT_EQ(method, "get_tcc_status");
      EXPECT_EQ(args, json::object());
      return reply;
    });
  }

  static void setCache(const std::optional<std::string>& text) {
    std::filesystem::remove(cacheFile());
    if (text) test::writeFile(cacheFile(), *text);
  }

  void setPlatform(Status calendar, Status reminders, Status contacts) {
    EXPECT_TRUE(gate_.setStatus(PrivacyEntity::calendar, calendar));
    EXPECT_TRUE(gate_.setStatus(PrivacyEntity::reminders, reminders));
    EXPECT_TRUE(gate_.setStatus(PrivacyEntity::contacts, contacts));
  }

  static PermissionStatusMap map(const char* calendar, const char* reminders,
                                 const char* contacts) {
    return {{"calendar", calendar}, {"reminders", reminders}, {"contacts", contacts}};
  }

  PrivacyGate gate_;
};

TEST_F(TCCStatusCheckerTest, TheHelpersAnswerIsMergedWithTheRememberedGrants) {
  struct Row {
    json result;
    std::optional<std::string> cacheBefore;
    PermissionStatusMap expected;
    std::string cacheAfter;
  };
  const json mixed = {{"calendar", "authorized"}, {"reminders", "denied"}};
  const std::vector<Row> rows = {
      {mixed, std::nullopt, map("granted", "denied", "notDetermined"), R"({"calendar":"granted"})"},
      {mixed, R"({"contacts":"granted","other":"x"})", map("granted", "denied", "granted"),
       R"({"calendar":"granted","contacts":"granted","other":"x"})"},
      // A live refusal wins over a remembered grant.
      {{{"calendar", "denied"}},
       R"({"calendar":"granted"})",
       map("denied", "notDetermined", "notDetermined"),
       R"({"calendar":"granted"})"},
      {{{"calendar", 5}, {"reminders", "someNewWord"}},
       std::nullopt,
       map("notDetermined", "someNewWord", "notDetermined"),
       ""},
      // One member that is not text makes the whole cache empty.
      {{{"reminders", "authorized"}},
       R"({"calendar":1,"contacts":"granted"})",
       map("notDetermined", "granted", "notDetermined"),
       R"({"reminders":"granted"})"},
      // Nothing new to remember: the file is left as it is.
      {mixed, "{ \"calendar\" : \"granted\" }\n", map("granted", "denied", "notDetermined"),
       "{ \"calendar\" : \"granted\" }\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.result.dump() + " " + row.cacheBefore.value_or("-"));
    const auto helper = helperReplying({{"ok", true}, {"result", row.result}});
    setCache(row.cacheBefore);
    EXPECT_EQ(TCCStatusChecker::currentStatus(*helper, gate_), row.expected);
    EXPECT_EQ(test::readFile(cacheFile()), row.cacheAfter);
  }
}

TEST_F(TCCStatusCheckerTest, WithoutAnAnswerFromTheHelperThePlatformDecides) {
  setPlatform(Status::writeOnly, Status::writeOnly, Status::denied);
  EXPECT_EQ(
      TCCStatusChecker::currentStatus(*helperReplying({{"ok", false}, {"error", "no"}}), gate_),
      map("writeOnly", "unknown", "denied"));
  EXPECT_FALSE(std::filesystem::exists(cacheFile()));

  HelperProxy noHelper;  // and no helper program either
  setPlatform(Status::granted, Status::notDetermined, Status::restricted);
  setCache(R"({"reminders":"granted","contacts":"granted"})");
  EXPECT_EQ(TCCStatusChecker::currentStatus(noHelper, gate_),
            map("granted", "granted", "restricted"));
  EXPECT_EQ(test::readFile(cacheFile()),
            R"({"calendar":"granted","contacts":"granted","reminders":"granted"})");
}

TEST_F(TCCStatusCheckerTest, TheStartupCheckLooksAtContactsOnlyAndChangesNothing) {
  const auto log = test::home() / "server.log";
  Logger::configure(log);
  const std::string attention = "[tcc] WARN  Permissions need attention: Contacts\n";
  const std::string words = "[tcc] INFO  TCC permissions: calendar denied, reminders denied, ";
  const std::vector<std::tuple<Status, std::optional<std::string>, std::string>> rows = {
      {Status::denied, std::nullopt, attention},
      {Status::restricted, std::nullopt, attention},
      {Status::notDetermined, std::nullopt, words + "contacts notDetermined\n"},
      {Status::notDetermined, R"({"contacts":"granted"})", attention},
      {Status::granted, R"({"contacts":"granted"})", words + "contacts granted\n"},
  };
  for (const auto& [contacts, cache, line] : rows) {
    SCOPED_TRACE(line);
    setPlatform(Status::denied, Status::denied, contacts);
    setCache(cache);
    const auto before = test::readFile(log).size();
    TCCStatusChecker::runStartupCheck(gate_);
    const std::string added = test::readFile(log).substr(before);
    EXPECT_TRUE(added.ends_with(line)) << added;
    EXPECT_EQ(added.find('\n'), added.size() - 1);
    EXPECT_EQ(gate_.status(PrivacyEntity::contacts), contacts);
    EXPECT_EQ(test::readFile(cacheFile()), cache.value_or(""));
  }
}

}  // namespace
}  // namespace tvrn
