#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "manifest/ManifestFileRunners.h"
#include "manifest/ManifestTestSupport.h"
#include "platform/Paths.h"
#include "support/AppFixtures.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

// The result as JSON when it is JSON, else its text (or the error).
json answer(const ToolResult& result) {
  const std::string text = test::outcome(result);
  const auto parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? json(text) : parsed;
}

struct Row {
  std::string path;
  std::string query;  // or the key path
  json params;
  json expected;
};

TEST(FileRunnersTest, SQLiteReadsOnlyInsideTheAllowedFolders) {
  const std::string home = Paths::home().string();
  const auto db = Paths::home() / "Library" / "items.db";
  ASSERT_TRUE(test::runSqlite(db,
                              "CREATE TABLE items(id INTEGER, r REAL, t TEXT, n, b BLOB, e BLOB);"
                              "INSERT INTO items VALUES(7, 1.5, 'it''s', NULL, x'010203', x'');"
                              "INSERT INTO items VALUES(8, 2.0, '8', NULL, NULL, NULL);"));
  ASSERT_TRUE(
      test::runSqlite(Paths::home() / "secret.db", "CREATE TABLE s(x); INSERT INTO s VALUES(1);"));
  std::filesystem::create_symlink(Paths::home() / "secret.db",
                                  Paths::home() / "Library" / "link.db");
  const std::string denied = "error: Permission denied: ";
  const Row rows[] = {
      {"~/Library/items.db",
       "\n select * from items where id = :id",
       {{"id", 7}},
       json::parse(R"([{"id":7,"r":1.5,"t":"it's","n":null,"b":"AQID"}])")},
      {"~/Library/items.db",
       "SELECT id FROM items WHERE t = :t",
       {{"t", "8"}},
       json::parse(R"([{"id":8}])")},
      {"~/Library/items.db",
       "SELECT :gone IS NULL AS a, ? IS NULL AS b",
       {{"", 1}},
       json::parse(R"([{"a":1,"b":1}])")},
      {"~/Library/items.db",
       "SELECT id FROM items WHERE t = '{{t}}'",
       {{"t", "it's"}},
       json::parse(R"([{"id":7}])")},
      {"~/Library/items.db",
       "SELECT id FROM items WHERE t = '{{t}}'",
       {{"t", "x' OR '1'='1"}},
       json::array()},
      {"~/Library/items.db",
       "SELECT 1 AS one; DELETE FROM items",
       {},
       json::parse(R"([{"one":1}])")},
      {"~/Library/items.db",
       "DELETE FROM items",
       {},
       denied + "sqlite: only SELECT queries are allowed"},
      {"~/Library/items.db",
       "WITH a AS (SELECT 1) SELECT * FROM a",
       {},
       denied + "sqlite: only SELECT queries are allowed"},
      {"~/Library/items.db", "SELECT x FROM nowhere", {}, "error: sqlite: no such table: nowhere"},
      {"~/Library/missing.db", "SELECT 1", {}, "error: sqlite: unable to open database file"},
      {"~/Library/../secret.db",
       "SELECT * FROM s",
       {},
       denied + "sqlite: path '" + home +
           "/Library/../secret.db' is outside the allowed directories"},
      {"~/Library/link.db",
       "SELECT * FROM s",
       {},
       denied + "sqlite: path '" + home + "/Library/link.db' is outside the allowed directories"},
      {"~/Desktop/{{name}}.db",
       "SELECT 1",
       {{"name", "x"}},
       denied + "sqlite: path '" + home + "/Desktop/x.db' is outside the allowed directories"},
  };
  ManifestSQLiteRunner runner;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " " + row.query);
    EXPECT_EQ(answer(runner.execute(BehaviorSpec::Sqlite{row.path, row.query}, row.params, 0, 1)),
              row.expected);
  }
  EXPECT_EQ(test::readFile(db).empty(), false);

  // A database its owner holds locked fails instead of answering no rows.
  sqlite3* owner = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &owner), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(owner, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  EXPECT_EQ(test::outcome(
                runner.execute(BehaviorSpec::Sqlite{"~/Library/items.db", "SELECT id FROM items"},
                               json::object(), 0, 1)),
            "error: sqlite: database is locked");
  sqlite3_close(owner);
}

TEST(FileRunnersTest, PlistReadsValuesByKeyPath) {
  const std::string home = Paths::home().string();
  const auto prefs = Paths::home() / "Library" / "Preferences";
  test::writePlist(prefs / "p.plist",
                   {{"a", json::array({{{"b", "deep"}}})}, {"n", 5}, {"on", true}},
                   test::PlistFormat::binary);
  test::writePlist(Paths::home() / "secret.plist", {{"k", "v"}});
  std::filesystem::create_symlink(Paths::home() / "secret.plist", prefs / "link.plist");
  test::writeFile(prefs / "bad.plist", "not a list");
  const json whole = json::parse(R"({"a":[{"b":"deep"}],"n":5,"on":true})");
  const std::string outside = "error: Permission denied: plist: path '";
  const Row rows[] = {
      {"~/Library/Preferences/{{name}}.plist", "a.0.b", {{"name", "p"}}, "deep"},
      {"~/Library/Preferences/p.plist", "n", {}, 5},
      {"~/Library/Preferences/p.plist", "on", {}, true},
      {"~/Library/Preferences/p.plist", "a", {}, json::parse(R"([{"b":"deep"}])")},
      {"~/Library/Preferences/p.plist", "", {}, whole},
      {"~/Library/Preferences/p.plist", "..", {}, whole},
      {"~/Library/Preferences/p.plist",
       "a.5.b",
       {},
       "error: Not found: plist key path 'a.5.b' not found"},
      {"~/Library/Preferences/p.plist",
       "a.-1.b",
       {},
       "error: Not found: plist key path 'a.-1.b' not found"},
      {"~/Library/Preferences/none.plist",
       "",
       {},
       "error: Not found: plist file not found: " + home + "/Library/Preferences/none.plist"},
      {"~/Library/Preferences/bad.plist",
       "",
       {},
       "error: plist: cannot parse " + home + "/Library/Preferences/bad.plist"},
      {"~/Library/Preferences/../../secret.plist",
       "",
       {},
       outside + home +
           "/Library/Preferences/../../secret.plist' is outside the allowed directories"},
      {"~/Library/Preferences/link.plist",
       "",
       {},
       outside + home + "/Library/Preferences/link.plist' is outside the allowed directories"},
  };
  ManifestPlistRunner runner;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path + " " + row.query);
    const BehaviorSpec behavior = BehaviorSpec::Plist{row.path, "keys", row.query};
    EXPECT_EQ(answer(runner.execute(behavior, row.params, 0, 1)), row.expected);
  }
}

}  // namespace
}  // namespace tvrn
