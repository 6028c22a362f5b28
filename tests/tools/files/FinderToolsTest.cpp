#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigManager.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/files/FinderTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::callTool;
using namespace std::string_literals;

class FinderToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { FinderTools::registerTools(registry_); }

  std::string under(const std::string& relative) const { return home_ + "/" + relative; }
  void makeDirs(std::initializer_list<std::string> relatives) const {
    for (const std::string& relative : relatives) fs::create_directories(under(relative));
  }
  const ConfigManager& settings() const { return *registry_.context().settings; }
  json storedScopes() const {
    return json::parse(test::readFile(settings().configPath()))["onedrive_scopes"];
  }
  std::string scopeCall(const json& arguments) {
    return test::textOf(callTool(registry_, "onedrive_set_scope", arguments));
  }

  ToolRegistry registry_;
  const std::string home_ = test::home().string();
  const std::string cloud_ = "Library/CloudStorage/";
};

TEST_F(FinderToolsTest, DiscoversTheOneDriveFoldersInTheirOrder) {
  EXPECT_EQ(test::jsonOf(callTool(registry_, "onedrive_root")), json({{"roots", json::array()}}));
  makeDirs({"OneDrive - Personal", cloud_ + "OneDrive-Brackwell", cloud_ + ".onedrive-hidden",
            cloud_ + "Dropbox"});
  test::writeFile(under(cloud_ + "OneDrive-notes"), "a file, not a folder");
  fs::create_symlink(under("OneDrive - Personal"), under("OneDrive"));

  const std::vector<OnedriveMount> mounts = discoverOnedriveRoots();
  ASSERT_EQ(mounts.size(), 5u);
  EXPECT_EQ(mounts[0].path, under("OneDrive"));
  EXPECT_EQ(mounts[1].name, "OneDrive - Personal");
  EXPECT_EQ(mounts[2].path, under("Library/CloudStorage"));
  EXPECT_EQ(mounts[2].name, "CloudStorage");
  EXPECT_EQ((std::set<std::string>{mounts[3].name, mounts[4].name}),
            (std::set<std::string>{"OneDrive-Brackwell", ".onedrive-hidden"}));
}

// Every path is judged where it really leads, by the innermost mount holding it.
TEST_F(FinderToolsTest, ScopesConfineEachMountAtAFolderBoundary) {
  makeDirs({"OneDrive/Work", "OneDrive/Home", "OneDrive - Personal",
            cloud_ + "OneDrive-Brackwell/Projects"});
  fs::create_symlink("../Home", under("OneDrive/Work/escape"));
  ASSERT_TRUE(settings().save({{"onedrive_scopes",
                                {{"OneDrive", "Work/"},
                                 {"OneDrive - Personal", "/"},
                                 {"CloudStorage", "/Nothing"},
                                 {"OneDrive-Brackwell", "/Projects"}}}}));
  const std::pair<std::string, std::string> cases[] = {
      // path, the relative path in the refusal (empty when allowed)
      {under("OneDrive/"), ""},
      {under("OneDrive/Work/a.txt"), ""},
      {under("OneDrive/Workshop/b.txt"), "/Workshop/b.txt"},
      {under("OneDrive/Work/../Home/c.txt"), "/Home/c.txt"},
      {under("OneDrive/Work/escape/c.txt"), "/Home/c.txt"},
      {"/proc/self/root" + under("OneDrive/Home/c.txt"), "/Home/c.txt"},
      {under("OneDrive - Personal/d.txt"), ""},
      {under(cloud_ + "OneDrive-Brackwell/Projects/p.txt"), ""},
      {under(cloud_ + "Elsewhere/e.txt"), "/Elsewhere/e.txt"},
      {under("Documents/x.txt"), ""},
  };
  for (const auto& [path, refusedAs] : cases) {
    const OnedrivePathCheck check = isOnedrivePathAllowed(settings(), path);
    EXPECT_EQ(check.allowed, refusedAs.empty()) << path;
    if (!refusedAs.empty()) {
      EXPECT_NE(check.reason.find("Path '" + refusedAs + "'"), std::string::npos) << path;
    }
  }
  EXPECT_EQ(isOnedrivePathAllowed(settings(), under(cloud_ + "OneDrive-Brackwell/Other")).reason,
            "Access restricted to 'OneDrive-Brackwell/Projects' by your TVRN config. Path "
            "'/Other' is outside the allowed scope. To change this, edit onedrive_scopes in "
            "~/.config/tavrin/config.json");
}

TEST_F(FinderToolsTest, SearchesDropHitsOutsideTheScope) {
  EXPECT_EQ(test::textOf(callTool(registry_, "onedrive_search_files", {{"query", "x"}})),
            "failed: Not found: No OneDrive directories found");
  test::writeFile(under("OneDrive/Work/plan.txt"), "");
  test::writeFile(under("OneDrive/Workshop/plan.txt"), "");
  test::writeFile(under("OneDrive/Work/Tools.app/plan.txt"), "");
  test::writeFile(under("OneDrive/.cache/plan.txt"), "");
  ASSERT_TRUE(settings().save({{"onedrive_scopes", {{"OneDrive", "/Work"}}}}));

  const std::pair<json, std::set<std::string>> cases[] = {
      {{{"query", "PLAN"}},
       {under("OneDrive/Work/plan.txt"), under("OneDrive/Work/Tools.app/plan.txt")}},
      {{{"query", "plan"}, {"max_results", 0}}, {}},
      {{{"query", "plan"}, {"max_results", 1}}, {under("OneDrive/Work/plan.txt")}},
  };
  for (const auto& [arguments, expected] : cases) {
    const json found = test::jsonOf(callTool(registry_, "onedrive_search_files", arguments));
    std::set<std::string> hits;
    for (const json& hit : found["results"]) hits.insert(hit["path"]);
    EXPECT_EQ(hits, expected) << arguments;
  }
}

TEST_F(FinderToolsTest, ReadsInTheAskedOrFirstFittingEncoding) {
  const std::string dir = under("OneDrive/");
  test::writeFile(dir + "utf8.txt", "h\xc3\xa9llo");
  test::writeFile(dir + "cafe.csv", "caf\xe9");
  test::writeFile(dir + "odd.log", "\x81");
  test::writeFile(dir + "le.txt", "\xff\xfeh\0i\0"s);
  test::writeFile(dir + "notes.TXT", std::string(2000, 'x'));
  test::writeFile(dir + "README", "x");
  const auto page = [&](const std::string& file, const std::string& rest) {
    return "File: " + dir + file + "\nEncoding: " + rest;
  };
  const std::pair<json, std::string> cases[] = {
      {{{"path", dir + "utf8.txt"}}, page("utf8.txt", "utf8  Bytes: 6/6  Offset: 0\n---\nhéllo")},
      {{{"path", dir + "cafe.csv"}}, page("cafe.csv", "cp1252  Bytes: 4/4  Offset: 0\n---\ncafé")},
      {{{"path", dir + "odd.log"}}, page("odd.log", "latin1  Bytes: 1/1  Offset: 0\n---\n\u0081")},
      {{{"path", dir + "cafe.csv"}, {"encoding", "ISO-8859-1"}},
       page("cafe.csv", "latin1  Bytes: 4/4  Offset: 0\n---\ncafé")},
      {{{"path", dir + "cafe.csv"}, {"encoding", "koi8-r"}},
       page("cafe.csv", "cp1252  Bytes: 4/4  Offset: 0\n---\ncafé")},
      {{{"path", dir + "le.txt"}, {"encoding", "utf-16"}},
       page("le.txt", "utf16  Bytes: 6/6  Offset: 0\n---\nhi")},
      {{{"path", dir + "notes.TXT"}, {"offset", 500}, {"max_bytes", 1024}},
       page("notes.TXT",
            "utf8  Bytes: 1024/2000  Offset: 500  (truncated — pass a higher "
            "max_bytes or use offset to page)\n---\n" +
                std::string(1024, 'x'))},
      {{{"path", dir + "odd.log"}, {"encoding", "utf16"}},
       "failed: Cannot decode file with any supported encoding. Tried: utf16. The file may be "
       "binary or use an unsupported encoding. If you know it, pass encoding='latin1' or "
       "encoding='cp1252' explicitly."},
      {{{"path", dir + "README"}},
       "failed: Invalid 'path': expected text file (.txt, .md, .csv, .json, .xml, .log, etc.)"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(test::textOf(callTool(registry_, "onedrive_read_file", arguments)), expected)
        << arguments;
  }
}

TEST_F(FinderToolsTest, SettingAScopePreviewsThenStoresIt) {
  EXPECT_EQ(scopeCall({{"root_name", "OneDrive"}}),
            "failed: Invalid 'root_name': expected one of: ");
  makeDirs({"OneDrive", "OneDrive - Personal"});
  EXPECT_EQ(scopeCall({{"root_name", "Other"}}),
            "failed: Invalid 'root_name': expected one of: OneDrive, OneDrive - Personal");

  ASSERT_TRUE(settings().save({{"keep", 1}}));
  EXPECT_EQ(scopeCall({{"root_name", "OneDrive"}, {"folder", "Projects"}}),
            "Preview — restrict 'OneDrive' access to 'Projects' only. All tools will be blocked "
            "outside this folder. Call again with confirm: true");
  EXPECT_TRUE(storedScopes().is_null());
  EXPECT_EQ(json::parse(scopeCall(
                {{"root_name", "OneDrive"}, {"folder", "Projects"}, {"confirm", true}}))["effect"],
            "All OneDrive tools now restricted to OneDriveProjects");
  EXPECT_EQ(storedScopes(), json({{"OneDrive", "/Projects"}}));
  EXPECT_EQ(json::parse(scopeCall({{"root_name", "OneDrive"}, {"confirm", "true"}})),
            json({{"scope_removed", true}, {"root", "OneDrive"}, {"access", "unrestricted"}}));
  EXPECT_EQ(storedScopes(), json::object());
  EXPECT_EQ(json::parse(test::readFile(settings().configPath()))["keep"], 1);
}

TEST_F(FinderToolsTest, ConcurrentScopeChangesAreAllKept) {
  makeDirs({"OneDrive", "OneDrive - Personal"});
  constexpr int kRounds = 25;
  const auto setRepeatedly = [&](const std::string& root) {
    for (int i = 0; i < kRounds; ++i) {
      EXPECT_TRUE(
          callTool(registry_, "onedrive_set_scope",
                   {{"root_name", root}, {"folder", "/F" + std::to_string(i)}, {"confirm", true}})
              .ok());
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
  const fs::path config = settings().configPath();
  fs::remove(config);
  fs::create_directories(config);  // a folder in its place: running as root, modes stop nothing
  // A settings file that cannot be read holds back every change, this one too.
  EXPECT_EQ(scopeCall({{"root_name", "OneDrive"}, {"folder", "/Work"}, {"confirm", true}}),
            "failed: Permission denied: Tavrin's settings file " + config.string() +
                " is not a regular file; until it is mended, tools that write, delete or send "
                "are refused.");
  EXPECT_TRUE(fs::is_empty(config));
  EXPECT_TRUE(isOnedrivePathAllowed(settings(), under("OneDrive/Home/x.txt")).allowed);
}

}  // namespace
}  // namespace tvrn
