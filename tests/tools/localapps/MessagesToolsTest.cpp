#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bridges/JXARunner.h"
#include "platform/Paths.h"
#include "support/AppFixtures.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/localapps/MessagesTools.h"

namespace tvrn {
namespace {

using nlohmann::json;

// Handles 1 alice, 2 bob; chat 1 is named after alice, chat 2 has only an identifier. Message
// times are nanoseconds since 2001-01-01 UTC, as the Messages app keeps them.
constexpr const char* kChatDatabase = R"(
CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, date INTEGER, handle_id INTEGER);
CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);
CREATE TABLE chat (ROWID INTEGER PRIMARY KEY, display_name TEXT, chat_identifier TEXT);
CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);
INSERT INTO handle VALUES (1, 'alice@example.com'), (2, '+15550002');
INSERT INTO chat VALUES (1, 'Alice & Me', 'chat-alice'), (2, NULL, '+15550002');
CREATE TEMP TABLE m (text TEXT, at TEXT, handle INTEGER, chat INTEGER);
INSERT INTO m VALUES
  ('50%_off today', '2026-04-01 10:00:00', 1, 1),
  ('500 off', '2026-04-02 10:00:00', 0, 1),
  ('path C:\dir', '2026-04-03 10:00:00', 2, 2),
  ('don''t forget', '2026-04-09 22:30:00', 0, 2),
  ('hello there', '2026-04-10 08:00:00', 1, 1),
  ('Ärger HELLO', '2026-04-11 09:15:30', 2, 2),
  ('', '2026-04-12 00:00:00', 2, 2);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 35)
INSERT INTO m SELECT 'filler ' || i || ' o', datetime('2025-01-01', '+' || i || ' hours'), 2, 2 FROM n;
INSERT INTO message (text, date, handle_id)
  SELECT text, (strftime('%s', at) - 978307200) * 1000000000, handle FROM m;
INSERT INTO chat_message_join SELECT chat, message.ROWID FROM message JOIN m USING (text);
)";

class MessagesToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::runSqlite(databasePath(), kChatDatabase)); }

  static std::filesystem::path databasePath() {
    return Paths::underHome("Library/Messages/chat.db");
  }

  ToolResult search(const json& arguments, DatabaseProgram program = {"/usr/bin/sqlite3", 15}) {
    ToolRegistry registry;
    MessagesTools::registerTools(registry, runner_, program);
    return test::callTool(registry, "search_messages", arguments);
  }

  json contents(const json& arguments, DatabaseProgram program = {"/usr/bin/sqlite3", 15}) {
    const json reply = test::jsonOf(search(arguments, program));
    json texts = json::array();
    for (const auto& row : reply["results"]) texts.push_back(row["content"]);
    return texts;
  }

  // A stand-in for the program: a shell script that logs its second argument, then runs `body`.
  static DatabaseProgram scriptedProgram(const std::string& body, double timeoutSeconds = 15) {
    const auto script = test::home() / "fake-sqlite3";
    test::writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$2\" >> '" +
                                (test::home() / "sqlite3-calls").string() + "'\n" + body + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return {script.string(), timeoutSeconds};
  }

  static std::string programCalls() { return test::readFile(test::home() / "sqlite3-calls"); }

  JXARunner runner_;
};

TEST_F(MessagesToolsTest, QueriesMatchLiterallyNewestFirst) {
  // The database folds only A to Z, so a capital beyond ASCII must reach it unchanged.
  const json cases = json::parse(R"([["50%_off", ["50%_off today"]], ["\\", ["path C:\\dir"]],
    ["don't", ["don't forget"]], ["HELLO", ["Ärger HELLO", "hello there"]],
    ["Ärger", ["Ärger HELLO"]], ["ALICE", []]])");
  for (const auto& c : cases) EXPECT_EQ(contents({{"query", c[0]}}), c[1]) << c[0];
  EXPECT_EQ(contents({{"from_sender", "ALICE"}}),
            json::parse(R"(["hello there", "500 off", "50%_off today"])"));
}

TEST_F(MessagesToolsTest, RowsCarryChatSenderAndTimeAndTheReplyEchoesTheArguments) {
  const json reply = test::jsonOf(search({{"query", "DON'T"}, {"since", "last week"}}));
  EXPECT_EQ(reply["results"], json::parse(R"([{"chat_id": "+15550002", "chat_name": "+15550002",
    "content": "don't forget", "sender": "me", "date": "2026-04-09 22:30:00"}])"));
  EXPECT_EQ(reply["count"], 1);
  EXPECT_EQ(reply["query"], "DON'T");
  EXPECT_EQ(reply["from_sender"], "");
  EXPECT_EQ(reply["since"], "last week");
  EXPECT_TRUE(reply["elapsed_ms"].is_number_integer());
  EXPECT_EQ(test::jsonOf(search({{"query", "500 off"}}))["results"][0]["chat_name"], "Alice & Me");
  for (const json& arguments : {json::object(), json{{"query", ""}, {"from_sender", ""}},
                                json{{"since", "2026-04-10"}, {"limit", 5}}, json{{"query", 5}}}) {
    EXPECT_EQ(test::textOf(search(arguments)),
              "failed: Invalid 'query': expected non-empty query OR from_sender")
        << arguments;
  }
}

TEST_F(MessagesToolsTest, SinceFiltersFromReadableDatesAndIgnoresTheRest) {
  // "1705-06-01" is readable, but before the earliest time the 64-bit count can hold.
  const json cases = json::parse(R"([["2026-04-10", 2], ["2026-04-10T00:00:00+02:00", 3],
    ["2026-04-10T08:00:00Z", 2], ["2261-01-01", 0], ["last week", 40], ["1600-01-01", 40],
    ["2400-01-01", 40], ["1705-06-01", 40]])");
  for (const auto& c : cases) {
    const json reply = test::jsonOf(search({{"query", "o"}, {"since", c[0]}, {"limit", 100}}));
    EXPECT_EQ(reply["count"], c[1]) << c[0];
  }
}

TEST_F(MessagesToolsTest, LimitsBoundTheRowsAndANegativeOneFallsBackToThirty) {
  const json cases = json::parse(R"([[0, 0], [5, 5], [-3, 30], ["10", 30], [2.5, 30]])");
  for (const auto& c : cases) {
    EXPECT_EQ(test::jsonOf(search({{"query", "o"}, {"limit", c[0]}}))["count"], c[1]) << c[0];
  }
  EXPECT_EQ(contents({{"query", "o"}, {"limit", 2}}),
            json::parse(R"(["Ärger HELLO", "hello there"])"));
}

TEST_F(MessagesToolsTest, AHomeWithAHashFallsBackToThePlainPath) {
  // An ordinary home answers on the first, read-only attempt.
  const DatabaseProgram logged = scriptedProgram("exec /usr/bin/sqlite3 \"$@\"");
  EXPECT_EQ(contents({{"query", "don't"}}, logged), json::array({"don't forget"}));
  EXPECT_EQ(programCalls(), "file://" + databasePath().string() + "?mode=ro&immutable=1\n");
  std::filesystem::remove(test::home() / "sqlite3-calls");

  const auto home = test::home() / "we#1";
  std::filesystem::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  ASSERT_TRUE(test::runSqlite(databasePath(), kChatDatabase));
  EXPECT_EQ(contents({{"query", "don't"}}, logged), json::array({"don't forget"}));
  EXPECT_EQ(programCalls(), "file://" + databasePath().string() + "?mode=ro&immutable=1\n" +
                                databasePath().string() + "\n");
}

TEST_F(MessagesToolsTest, ProgramFailuresBecomeErrorsWithoutASecondTryAfterATimeOut) {
  EXPECT_EQ(test::textOf(search({{"query", "x"}}, {"/nonexistent/sqlite3", 15}))
                .rfind("failed: Cannot launch sqlite3: ", 0),
            0u);
  EXPECT_EQ(test::textOf(search({{"query", "x"}}, scriptedProgram("sleep 30", 0.2))),
            "failed: sqlite3 timed out after 0.2s");
  EXPECT_EQ(programCalls(), "file://" + databasePath().string() + "?mode=ro&immutable=1\n");

  const std::pair<const char*, const char*> cases[] = {
      {"exit 1",
       "failed: Cannot read Messages database. Make sure Full Disk Access is granted to "
       "TVRN in System Settings → Privacy & Security."},
      {"echo '[{\"content\": 1}]'", "failed: Failed to parse Messages database output"}};
  for (const auto& [body, text] : cases) {
    EXPECT_EQ(test::textOf(search({{"query", "x"}}, scriptedProgram(body))), text);
  }
  std::filesystem::remove(databasePath());
  EXPECT_EQ(test::textOf(search({{"query", "x"}})),
            "failed: Not found: Messages database not found at " + databasePath().string() +
                ". This tool requires iMessages to be set up on this Mac.");
}

}  // namespace
}  // namespace tvrn
