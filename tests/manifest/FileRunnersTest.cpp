#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "manifest/ManifestFileRunners.h"
#include "manifest/ManifestTestSupport.h"
#include "platform/Paths.h"
#include "support/AppFixtures.h"
#include "support/OtherUserLink.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

// The result as compact JSON when it is JSON, else its text (or the error).
std::string answer(const ToolResult& result) {
  const std::string text = test::outcome(result);
  const auto parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? text : parsed.dump();
}

struct Row {
  std::string path;
  std::string query;  // or the key path
  std::string params;
  std::string expected;  // "~" stands for the home folder
};

std::string withHome(std::string text) {
  if (const auto at = text.find('~'); at != std::string::npos && text.starts_with("error")) {
    text.replace(at, 1, Paths::home().string());
  }
  return text;
}

TEST(FileRunnersTest, SQLiteReadsOnlyInsideTheAllowedFolders) {
  const auto home = Paths::home();
  ASSERT_TRUE(test::runSqlite(home / "Library/items.db",
                              "CREATE TABLE items(id INTEGER, r REAL, t TEXT, n, b BLOB, e BLOB);"
                              "INSERT INTO items VALUES(7, 1.5, 'it''s', NULL, x'010203', x'');"
                              "INSERT INTO items VALUES(8, 2.0, '8', NULL, NULL, NULL);"));
  ASSERT_TRUE(test::runSqlite(home / "secret.db", "CREATE TABLE s(x); INSERT INTO s VALUES(1);"));
  std::filesystem::create_symlink(home / "secret.db", home / "Library/link.db");
  const std::string db = "~/Library/items.db";
  const std::string selectOnly =
      "error: Permission denied: sqlite: only SELECT queries are allowed";
  const std::string outside = "' is outside the allowed directories";
  const Row rows[] = {
      {db, "\n select * from items where id = :id", R"({"id":7})",
       R"([{"b":"AQID","id":7,"n":null,"r":1.5,"t":"it's"}])"},
      {db, "SELECT id FROM items WHERE t = :t", R"({"t":"8"})", R"([{"id":8}])"},
      {db, "SELECT :gone IS NULL AS a, ? IS NULL AS b", R"({"":1})", R"([{"a":1,"b":1}])"},
      {db, "SELECT id FROM items WHERE t = '{{t}}'", R"({"t":"it's"})", R"([{"id":7}])"},
      {db, "SELECT id FROM items WHERE t = '{{t}}'", R"({"t":"x' OR '1'='1"})", "[]"},
      {db, "SELECT 1 AS one; DELETE FROM items", "{}", R"([{"one":1}])"},
      {db, "DELETE FROM items", "{}", selectOnly},
      {db, "WITH a AS (SELECT 1) SELECT * FROM a", "{}", selectOnly},
      {db, "SELECT x FROM nowhere", "{}", "error: sqlite: no such table: nowhere"},
      {db, "SELECT json(t) FROM items ORDER BY id DESC", "{}", "error: sqlite: malformed JSON"},
      {"~/Library/none.db", "SELECT 1", "{}", "error: sqlite: unable to open database file"},
      {"~/Library/../secret.db", "SELECT 1", "{}",
       "error: Permission denied: sqlite: path '~/Library/../secret.db" + outside},
      {"~/Library/link.db", "SELECT 1", "{}",
       "error: Permission denied: sqlite: path '~/Library/link.db" + outside},
      {"~/Desktop/{{n}}.db", "SELECT 1", R"({"n":"x"})",
       "error: Permission denied: sqlite: path '~/Desktop/x.db" + outside}};
  ManifestSQLiteRunner runner;
  for (const Row& row : rows) {
    const BehaviorSpec behavior = BehaviorSpec::Sqlite{row.path, row.query};
    EXPECT_EQ(answer(runner.execute(behavior, json::parse(row.params), 0, 1)),
              withHome(row.expected))
        << row.query;
  }

  // A database its owner holds locked fails instead of answering no rows.
  sqlite3* owner = nullptr;
  ASSERT_EQ(sqlite3_open((home / "Library/items.db").c_str(), &owner), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(owner, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  EXPECT_EQ(answer(runner.execute(BehaviorSpec::Sqlite{db, "SELECT id FROM items"}, {}, 0, 1)),
            "error: sqlite: database is locked");
  sqlite3_close(owner);
}

TEST(FileRunnersTest, PlistReadsValuesByKeyPath) {
  const auto home = Paths::home();
  test::writePlist(home / "Library/Preferences/p.plist",
                   {{"a", json::array({{{"b", "deep"}}})}, {"n", 5}}, test::PlistFormat::binary);
  test::writePlist(home / "secret.plist", {{"k", "v"}});
  std::filesystem::create_symlink(home / "secret.plist", home / "Library/Preferences/link.plist");
  test::writeFile(home / "Library/Preferences/bad.plist", "not a list");
  const std::string p = "~/Library/Preferences/p.plist";
  const std::string whole = R"({"a":[{"b":"deep"}],"n":5})";
  const std::string outside = "' is outside the allowed directories";
  const Row rows[] = {
      {"~/Library/Preferences/{{name}}.plist", "a.0.b", R"({"name":"p"})", "deep"},
      {p, "n", "{}", "5"},
      {p, "a", "{}", R"([{"b":"deep"}])"},
      {p, "", "{}", whole},
      {p, "..", "{}", whole},
      {p, "a.5.b", "{}", "error: Not found: plist key path 'a.5.b' not found"},
      {p, "a.-1.b", "{}", "error: Not found: plist key path 'a.-1.b' not found"},
      {"~/Library/Preferences/none.plist", "", "{}",
       "error: Not found: plist file not found: ~/Library/Preferences/none.plist"},
      {"~/Library/Preferences/bad.plist", "", "{}",
       "error: plist: cannot parse ~/Library/Preferences/bad.plist"},
      {"~/Library/Preferences/../../secret.plist", "", "{}",
       "error: Permission denied: plist: path '~/Library/Preferences/../../secret.plist" + outside},
      {"~/Library/Preferences/link.plist", "", "{}",
       "error: Permission denied: plist: path '~/Library/Preferences/link.plist" + outside}};
  ManifestPlistRunner runner;
  for (const Row& row : rows) {
    const BehaviorSpec behavior = BehaviorSpec::Plist{row.path, "keys", row.query};
    EXPECT_EQ(answer(runner.execute(behavior, json::parse(row.params), 0, 1)),
              withHome(row.expected))
        << row.path << " " << row.query;
  }
  // Another user's link is not followed, though it leads to a file the runner may read.
  if (!test::canGiveLinksAway()) GTEST_SKIP() << "only root can give a link to another user";
  const auto planted = home / "Library/Preferences/planted.plist";
  ASSERT_TRUE(test::makeOtherUsersLink(home / "Library/Preferences/p.plist", planted));
  EXPECT_EQ(answer(runner.execute(BehaviorSpec::Plist{planted.string(), "keys", "n"}, {}, 0, 1)),
            "error: Permission denied: plist: " + planted.string() +
                ": a link owned by nobody (uid 65534), not by this user or root; not followed");
}

// Another user's folder in ~/Library, swapped all the while by that user with a link to a folder
// of the user's outside it: the runners read the folder named or refuse, never what the link
// leads to.
TEST(FileRunnersTest, AFolderSwappedForALinkIsNeverReadThrough) {
  if (!test::canGiveLinksAway()) GTEST_SKIP() << "only root can swap folders as another user";
  const auto home = Paths::home(), shared = home / "Library/shared";
  for (const auto& [folder, words] :
       {std::pair{shared / "theirs", "named"}, {home / "away", "secret"}}) {
    ASSERT_TRUE(test::runSqlite(
        folder / "t.db", "CREATE TABLE t(w); INSERT INTO t VALUES('" + std::string(words) + "');"));
    test::writePlist(folder / "t.plist", {{"w", words}});
  }
  ASSERT_TRUE(test::giveAway(shared) && test::makeOtherUsersLink(home / "away", shared / "link"));
  ManifestSQLiteRunner sqlite;
  ManifestPlistRunner plist;
  const std::string named = "~/Library/shared/theirs/t.";
  test::SwappingChild swapper(shared, "theirs", "link");
  for (int round = 0; round < 1000; ++round) {
    for (const std::string& read :
         {answer(sqlite.execute(BehaviorSpec::Sqlite{named + "db", "SELECT w FROM t"}, {}, 0, 1)),
          answer(plist.execute(BehaviorSpec::Plist{named + "plist", "keys", "w"}, {}, 0, 1))}) {
      EXPECT_EQ(read.find("secret"), std::string::npos) << read;
    }
  }
  EXPECT_GT(swapper.stop(), 0);
}

}  // namespace
}  // namespace tvrn
