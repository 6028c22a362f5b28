#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigManager.h"
#include "support/TestEnv.h"
#include "tools/FinderTools.h"
#include "tools/ToolCalls.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::string_literals;
using test::call;

class FinderToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { FinderTools::registerTools(registry_); }

  std::string under(const std::string& relative) const { return home_ + "/" + relative; }
  void makeDirs(std::initializer_list<std::string> relatives) const {
    for (const std::string& relative : relatives) fs::create_directories(under(relative));
  }
  json storedScopes() const {
    return json::parse(test::readFile(ConfigManager::shared().configPath()))["onedrive_scopes"];
  }

  ToolRegistry registry_;
  const std::string home_ = test::home().string();
  const std::string cloud_ = "Library/CloudStorage";
};

TEST_F(FinderToolsTest, DiscoversTheOneDriveFoldersInTheirOrder) {
  EXPECT_TRUE(discoverOnedriveRoots().empty());
  EXPECT_EQ(test::jsonOf(call(registry_, "onedrive_root")), json({{"roots", json::array()}}));

  makeDirs({"OneDrive - Personal", cloud_ + "/OneDrive-Brackwell", cloud_ + "/.onedrive-hidden",
            cloud_ + "/Dropbox"});
  test::writeFile(under(cloud_ + "/OneDrive-notes"), "a file, not a folder");
  fs::create_symlink(under("OneDrive - Personal"), under("OneDrive"));

  const std::vector<OnedriveMount> mounts = discoverOnedriveRoots();
  ASSERT_EQ(mounts.size(), 5u);
  EXPECT_EQ(mounts[0].path, under("OneDrive"));
  EXPECT_EQ(mounts[0].name, "OneDrive");
  EXPECT_EQ(mounts[1].name, "OneDrive - Personal");
  EXPECT_EQ(mounts[2].path, under(cloud_));
  EXPECT_EQ(mounts[2].name, "CloudStorage");
  EXPECT_EQ((std::set<std::string>{mounts[3].name, mounts[4].name}),
            (std::set<std::string>{"OneDrive-Brackwell", ".onedrive-hidden"}));
  EXPECT_EQ(test::jsonOf(call(registry_, "onedrive_root"))["roots"][2],
            json({{"path", under(cloud_)}, {"name", "CloudStorage"}}));
}

// Every path is judged where it really leads, by the innermost mount holding it.
TEST_F(FinderToolsTest, ScopesConfineEachMountAtAFolderBoundary) {
  makeDirs({"OneDrive/Work", "OneDrive/Workshop", "OneDrive/Home", "OneDrive - Personal",
            cloud_ + "/OneDrive-Brackwell/Projects"});
  fs::create_symlink("../Home", under("OneDrive/Work/escape"));
  ASSERT_TRUE(ConfigManager::shared().save({{"onedrive_scopes",
                                             {{"OneDrive", "Work/"},
                                              {"OneDrive - Personal", "/"},
                                              {"CloudStorage", "/Nothing"},
                                              {"OneDrive-Brackwell", "/Projects"}}}}));
  struct Case {
    std::string path;
    std::string refusedAs;  // the relative path in the refusal; empty when allowed
  };
  const Case cases[] = {
      {under("OneDrive"), ""},
      {under("OneDrive/"), ""},
      {under("OneDrive/Work"), ""},
      {under("OneDrive/Work/a.txt"), ""},
      {under("OneDrive/Workshop/b.txt"), "/Workshop/b.txt"},
      {under("OneDrive/Work/../Home/c.txt"), "/Home/c.txt"},
      {under("OneDrive/Work/escape/c.txt"), "/Home/c.txt"},
      {"/proc/self/root" + under("OneDrive/Home/c.txt"), "/Home/c.txt"},
      {under("OneDrive - Personal/d.txt"), ""},
      {under(cloud_ + "/OneDrive-Brackwell/Projects/p.txt"), ""},
      {under(cloud_ + "/OneDrive-Brackwell/Other/p.txt"), "/Other/p.txt"},
      {under(cloud_ + "/Elsewhere/e.txt"), "/Elsewhere/e.txt"},
      {under("Documents/x.txt"), ""},
      {"/etc/hostname", ""},
  };
  for (const Case& c : cases) {
    const OnedrivePathCheck check = isOnedrivePathAllowed(c.path);
    EXPECT_EQ(check.allowed, c.refusedAs.empty()) << c.path;
    if (!c.refusedAs.empty()) {
      EXPECT_NE(check.reason.find("Path '" + c.refusedAs + "' is outside"), std::string::npos)
          << check.reason;
    }
  }
  EXPECT_EQ(isOnedrivePathAllowed(under(cloud_ + "/OneDrive-Brackwell/Other")).reason,
            "Access restricted to 'OneDrive-Brackwell/Projects' by your TVRN config. Path "
            "'/Other' is outside the allowed scope. To change this, edit onedrive_scopes in "
            "~/.config/tavrin/config.json");

  ASSERT_TRUE(ConfigManager::shared().save({{"onedrive_scopes", {{"OneDrive", 5}}}}));
  EXPECT_TRUE(isOnedrivePathAllowed(under("OneDrive/Home/c.txt")).allowed)
      << "scopes that are not all strings count as none";
}

TEST_F(FinderToolsTest, SearchesDropHitsOutsideTheScope) {
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_search_files", {{"query", "x"}})),
            "failed: Not found: No OneDrive directories found");
  test::writeFile(under("OneDrive/Work/plan.txt"), "");
  test::writeFile(under("OneDrive/Workshop/plan.txt"), "");
  test::writeFile(under("OneDrive/Work/Tools.app/plan.txt"), "");
  test::writeFile(under("OneDrive/.cache/plan.txt"), "");
  test::writeFile(under("OneDrive - Personal/Plan.md"), "");

  makeDirs({cloud_});
  ASSERT_TRUE(ConfigManager::shared().save({{"onedrive_scopes", {{"OneDrive", "/Work"}}}}));

  struct Case {
    json arguments;
    std::set<std::string> hits;
  };
  const Case cases[] = {
      {{{"query", "PLAN"}},
       {under("OneDrive/Work/plan.txt"), under("OneDrive/Work/Tools.app/plan.txt"),
        under("OneDrive - Personal/Plan.md")}},
      {{{"query", "plan"}, {"root", under("OneDrive")}},
       {under("OneDrive/Work/plan.txt"), under("OneDrive/Work/Tools.app/plan.txt")}},
      {{{"query", "plan"}, {"max_results", 0}}, {}},
      {{{"query", "plan"}, {"max_results", 1}}, {under("OneDrive/Work/plan.txt")}},
  };
  for (const Case& c : cases) {
    const json found = test::jsonOf(call(registry_, "onedrive_search_files", c.arguments));
    std::set<std::string> hits;
    for (const json& hit : found["results"]) hits.insert(hit["path"]);
    EXPECT_EQ(hits, c.hits) << c.arguments;
    EXPECT_EQ(found["count"], c.hits.size());
  }
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_search_files",
                              {{"query", "plan"}, {"root", under("OneDrive/Workshop")}}))
                .rfind("failed: Access restricted to 'OneDrive/Work'", 0),
            0u);
}

TEST_F(FinderToolsTest, ReadsInTheAskedOrFirstFittingEncoding) {
  const std::string dir = under("OneDrive/");
  test::writeFile(dir + "utf8.txt", "h\xc3\xa9llo");
  test::writeFile(dir + "cafe.csv", "caf\xe9");
  test::writeFile(dir + "odd.log", "\x81");
  test::writeFile(dir + "le.txt", "\xff\xfeh\0i\0"s);
  test::writeFile(dir + "be.txt", "\0h\0i"s);
  test::writeFile(dir + "notes.TXT", "abc");
  test::writeFile(dir + "empty.txt", "");
  test::writeFile(dir + "README", "x");

  const auto header = [&](const std::string& file, const std::string& encoding,
                          const std::string& bytes) {
    return "File: " + dir + file + "\nEncoding: " + encoding + "  Bytes: " + bytes +
           "  Offset: 0\n---\n";
  };
  const std::string undecodable =
      ". The file may be binary or use an unsupported encoding. If you know it, pass "
      "encoding='latin1' or encoding='cp1252' explicitly.";
  struct Case {
    std::string file;
    std::string encoding;  // empty leaves the argument out
    std::string expected;
  };
  const Case cases[] = {
      {"utf8.txt", "", header("utf8.txt", "utf8", "6/6") + "h\xc3\xa9llo"},
      {"cafe.csv", "auto", header("cafe.csv", "cp1252", "4/4") + "caf\xc3\xa9"},
      {"odd.log", "", header("odd.log", "latin1", "1/1") + "\xc2\x81"},
      {"cafe.csv", "ISO-8859-1", header("cafe.csv", "latin1", "4/4") + "caf\xc3\xa9"},
      {"cafe.csv", "win1252", header("cafe.csv", "cp1252", "4/4") + "caf\xc3\xa9"},
      {"cafe.csv", "koi8-r", header("cafe.csv", "cp1252", "4/4") + "caf\xc3\xa9"},
      {"le.txt", "utf-16", header("le.txt", "utf16", "6/6") + "hi"},
      {"be.txt", "utf16", header("be.txt", "utf16", "4/4") + "hi"},
      {"notes.TXT", "", header("notes.TXT", "utf8", "3/3") + "abc"},
      {"empty.txt", "", header("empty.txt", "utf8", "0/0")},
      {"odd.log", "utf16",
       "failed: Cannot decode file with any supported encoding. Tried: utf16" + undecodable},
      {"cafe.csv", "ascii",
       "failed: Cannot decode file with any supported encoding. Tried: ascii" + undecodable},
      {"README", "",
       "failed: Invalid 'path': expected text file (.txt, .md, .csv, .json, .xml, "
       ".log, etc.)"},
      {"data.markdown", "",
       "failed: Invalid 'path': expected text file (.txt, .md, .csv, .json, "
       ".xml, .log, etc.)"},
  };
  for (const Case& c : cases) {
    json arguments = {{"path", dir + c.file}};
    if (!c.encoding.empty()) arguments["encoding"] = c.encoding;
    EXPECT_EQ(test::textOf(call(registry_, "onedrive_read_file", arguments)), c.expected)
        << c.file << " " << c.encoding;
  }
  test::writeFile(dir + "long.txt", std::string(2000, 'x'));
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_read_file",
                              {{"path", dir + "long.txt"}, {"offset", 1500}, {"max_bytes", 10}})),
            "File: " + dir + "long.txt\nEncoding: utf8  Bytes: 500/2000  Offset: 1500\n---\n" +
                std::string(500, 'x'));
  EXPECT_NE(test::textOf(call(registry_, "onedrive_read_file",
                              {{"path", dir + "long.txt"}, {"max_bytes", 1024}}))
                .find("Bytes: 1024/2000  Offset: 0  (truncated — pass a higher max_bytes or use "
                      "offset to page)\n---\n"),
            std::string::npos);
}

TEST_F(FinderToolsTest, ListsAndDescribesEntries) {
  test::writeFile(under("OneDrive/b.txt"), "bb");
  test::writeFile(under("OneDrive/.hidden"), "");
  makeDirs({"OneDrive/Archive.old", "OneDrive/A"});
  const json listing =
      test::jsonOf(call(registry_, "onedrive_list_files", {{"path", under("OneDrive")}}));
  EXPECT_EQ(listing["count"], 3);
  std::vector<std::string> names;
  for (const json& item : listing["items"]) names.push_back(item["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "Archive.old", "b.txt"}));
  EXPECT_EQ(listing["items"][2]["size"], 2);
  EXPECT_EQ(listing["items"][2].size(), 5u);

  const json info = test::jsonOf(
      call(registry_, "onedrive_file_info", {{"path", under("OneDrive/Archive.old")}}));
  EXPECT_EQ(info["type"], "directory");
  EXPECT_EQ(info["extension"], "old");
  EXPECT_EQ(info["size_human"], "0 B");
  EXPECT_TRUE(info.contains("created"));
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_file_info", {{"path", under("none")}})),
            "failed: Not found: " + under("none"));
  EXPECT_EQ(
      test::textOf(call(registry_, "onedrive_list_files", {{"path", under("OneDrive/b.txt")}})),
      "failed: Invalid 'path': expected directory");
}

TEST_F(FinderToolsTest, SettingAScopePreviewsThenStoresIt) {
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_set_scope", {{"root_name", "OneDrive"}})),
            "failed: Invalid 'root_name': expected one of: ");
  makeDirs({"OneDrive", "OneDrive - Personal"});
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_set_scope", {{"root_name", "Other"}})),
            "failed: Invalid 'root_name': expected one of: OneDrive, OneDrive - Personal");

  ASSERT_TRUE(ConfigManager::shared().save({{"keep", 1}}));
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_set_scope",
                              {{"root_name", "OneDrive"}, {"folder", "Projects"}})),
            "Preview — restrict 'OneDrive' access to 'Projects' only. All tools will be blocked "
            "outside this folder. Call again with confirm: true");
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_set_scope", {{"root_name", "OneDrive"}})),
            "Preview — remove scope restriction for 'OneDrive' (full access). Call again with "
            "confirm: true");
  EXPECT_TRUE(storedScopes().is_null());

  EXPECT_EQ(
      test::jsonOf(call(registry_, "onedrive_set_scope",
                        {{"root_name", "OneDrive"}, {"folder", "Projects"}, {"confirm", true}})),
      json({{"scope_set", true},
            {"root", "OneDrive"},
            {"allowed_folder", "Projects"},
            {"effect", "All OneDrive tools now restricted to OneDriveProjects"}}));
  EXPECT_EQ(storedScopes(), json({{"OneDrive", "/Projects"}}));
  EXPECT_EQ(test::jsonOf(call(registry_, "onedrive_set_scope",
                              {{"root_name", "OneDrive"}, {"confirm", "true"}})),
            json({{"scope_removed", true}, {"root", "OneDrive"}, {"access", "unrestricted"}}));
  EXPECT_EQ(storedScopes(), json::object());
  EXPECT_EQ(json::parse(test::readFile(ConfigManager::shared().configPath()))["keep"], 1);
}

TEST_F(FinderToolsTest, ConcurrentScopeChangesAreAllKept) {
  makeDirs({"OneDrive", "OneDrive - Personal"});
  constexpr int kRounds = 25;
  const auto setRepeatedly = [&](const std::string& root) {
    for (int i = 0; i < kRounds; ++i) {
      const json arguments = {
          {"root_name", root}, {"folder", "/F" + std::to_string(i)}, {"confirm", true}};
      EXPECT_TRUE(call(registry_, "onedrive_set_scope", arguments).ok());
    }
  };
  std::thread first(setRepeatedly, "OneDrive");
  std::thread second(setRepeatedly, "OneDrive - Personal");
  first.join();
  second.join();
  const std::string last = "/F" + std::to_string(kRounds - 1);
  EXPECT_EQ(storedScopes(), json({{"OneDrive", last}, {"OneDrive - Personal", last}}));
}

TEST_F(FinderToolsTest, AScopeThatCannotBeSavedFailsAndChangesNothing) {
  makeDirs({"OneDrive"});
  const fs::path config = ConfigManager::shared().configPath();
  fs::remove(config);
  fs::create_directories(config);  // a folder in its place: running as root, modes stop nothing
  EXPECT_EQ(test::textOf(call(registry_, "onedrive_set_scope",
                              {{"root_name", "OneDrive"}, {"folder", "/Work"}, {"confirm", true}})),
            "failed: Cannot save onedrive_scopes to " + config.string());
  EXPECT_TRUE(fs::is_directory(config));
  EXPECT_TRUE(fs::is_empty(config));
  EXPECT_TRUE(isOnedrivePathAllowed(under("OneDrive/Home/x.txt")).allowed);
}

}  // namespace
}  // namespace tvrn
