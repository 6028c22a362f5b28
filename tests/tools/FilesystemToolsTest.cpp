#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "core/ConfigManager.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "tools/FilesystemTools.h"
#include "tools/ToolCalls.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::call;

class FilesystemToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { FilesystemTools::registerTools(registry_); }
  void TearDown() override { ::setenv("HOME", home_.c_str(), 1); }

  // Outside the home folder, beside it.
  static fs::path outside() { return test::home().parent_path() / "outside"; }

  ToolRegistry registry_;
  const std::string home_ = test::home().string();
};

TEST_F(FilesystemToolsTest, AllowsOnlyPathsThatReallyLieInsideARoot) {
  const fs::path data = outside() / "data";
  fs::create_directories(data);
  fs::create_directories(test::home() / "sub");
  fs::create_symlink(outside() / "data", outside() / "linked-root");
  fs::create_symlink("/etc", test::home() / "etc-link");
  fs::create_symlink(test::home(), outside() / "linked-home");

  struct Case {
    std::string label;
    json roots;  // fs_allowed_roots; null leaves it out
    std::string path;
    bool allowed;
  };
  const Case cases[] = {
      {"home itself", nullptr, home_, true},
      {"below home", nullptr, home_ + "/sub/../file.txt", true},
      {"a name that only starts like home", nullptr, home_ + "work/x", false},
      {"dot-dot out of home", nullptr, home_ + "/../outside/data", false},
      {"other letter case", nullptr, outside().parent_path().string() + "/HOME/x", false},
      {"a link in home leading to /etc", nullptr, home_ + "/etc-link/hostname", false},
      {"an extra root", json::array({data.string()}), data.string() + "/x", true},
      {"a linked root, reached directly", json::array({(outside() / "linked-root").string()}),
       data.string() + "/x", true},
      {"a linked root, reached through its link",
       json::array({(outside() / "linked-root").string()}),
       (outside() / "linked-root" / "x").string(), true},
      {"home reached through a link", nullptr, (outside() / "linked-home" / "x").string(), true},
      {"root / holds everything", json::array({"/"}), "/etc/hostname", true},
      {"roots that are not all strings are ignored", json::array({data.string(), 1}),
       data.string() + "/x", false},
  };
  for (const Case& c : cases) {
    json update = {{"fs_allowed_roots", c.roots}};
    ASSERT_TRUE(ConfigManager::shared().save(update));
    const FSSecurityResult result = fsSecurity(c.path);
    EXPECT_EQ(result.allowed, c.allowed) << c.label;
    EXPECT_EQ(result.reason.empty(), c.allowed) << c.label;
  }

  ::setenv("HOME", (outside() / "linked-home").c_str(), 1);
  ASSERT_TRUE(ConfigManager::shared().save({{"fs_allowed_roots", nullptr}}));
  EXPECT_TRUE(fsSecurity(home_ + "/x").allowed) << "a home folder given as a link";
}

TEST_F(FilesystemToolsTest, TheDenialShowsThePathAndRootsAsGiven) {
  ASSERT_TRUE(
      ConfigManager::shared().save({{"fs_allowed_roots", json::array({"/srv/../srv/data"})}}));
  EXPECT_EQ(fsSecurity("/etc/../etc/passwd").reason,
            "Access denied: '/etc/../etc/passwd' is outside allowed roots (" + home_ +
                ", /srv/../srv/data). To expand access add the path to fs_allowed_roots in "
                "~/.config/tavrin/config.json");
}

TEST_F(FilesystemToolsTest, ListsFoldersFirstThenFilesByCodePoint) {
  const fs::path dir = test::home() / "list";
  test::writeFile(dir / "b.txt", "bb");
  test::writeFile(dir / "A.txt", "a");
  test::writeFile(dir / ".hidden", "");
  fs::create_directories(dir / "z");

  const json listing = test::jsonOf(call(registry_, "fs_list", {{"path", dir.string()}}));
  std::vector<std::string> names;
  for (const json& item : listing["items"]) names.push_back(item["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"z", "A.txt", "b.txt"}));
  EXPECT_EQ(listing["count"], 3);
  EXPECT_EQ(listing["dirs"], 1);
  EXPECT_EQ(listing["files"], 2);
  EXPECT_EQ(listing["items"][2]["size"], 2);
  EXPECT_EQ(listing["items"][2]["size_human"], "2 B");
  EXPECT_EQ(listing["items"][2]["extension"], "txt");
  EXPECT_EQ(listing["items"][2]["path"], (dir / "b.txt").string());
  EXPECT_EQ(listing["items"][0]["type"], "directory");
  EXPECT_EQ(listing["items"][0]["extension"], "");
  EXPECT_EQ(listing["items"][0]["modified"].get<std::string>().size(), 20u);

  const json withHidden =
      test::jsonOf(call(registry_, "fs_list", {{"path", dir.string()}, {"show_hidden", "TRUE"}}));
  EXPECT_EQ(withHidden["count"], 4);
  EXPECT_EQ(test::jsonOf(call(registry_, "fs_list", {{"path", ""}}))["path"], home_);

  EXPECT_EQ(test::textOf(call(registry_, "fs_list", {{"path", home_ + "/nothing"}})),
            "failed: Not found: " + home_ + "/nothing");
  EXPECT_EQ(test::textOf(call(registry_, "fs_list", {{"path", (dir / "b.txt").string()}})),
            "failed: Invalid 'path': expected directory");
  EXPECT_EQ(test::textOf(call(registry_, "fs_list", {{"path", "~/list"}}))
                .rfind("failed: Access denied: '~/list'", 0),
            0u);
}

TEST_F(FilesystemToolsTest, SearchesNamesButNotHiddenPackagedOrLinkedFolders) {
  const fs::path root = test::home() / "tree";
  test::writeFile(root / "docs" / "Report.pdf", "%PDF");
  test::writeFile(root / "docs" / "old-report.txt", "x");
  test::writeFile(root / ".hidden" / "report.txt", "x");
  test::writeFile(root / "Viewer.app" / "report.txt", "x");
  fs::create_directories(outside());
  test::writeFile(outside() / "report-outside.txt", "x");
  fs::create_symlink(outside(), root / "out");
  for (int i = 0; i < 205; ++i) test::writeFile(root / "many" / ("f" + std::to_string(i)), "");

  struct Case {
    json arguments;
    std::set<std::string> hits;  // relative paths; ignored when count is set
    int count = -1;
  };
  const Case cases[] = {
      {{{"query", "REPORT"}}, {"docs/Report.pdf", "docs/old-report.txt"}},
      {{{"query", "report"}, {"file_type", "PDF"}}, {"docs/Report.pdf"}},
      {{{"query", "report"}, {"file_type", ".pdf"}}, {}},
      {{{"query", "viewer"}}, {"Viewer.app"}},
      {{{"query", "report"}, {"max_results", 0}}, {}},
      {{{"query", "report"}, {"max_results", -3}}, {}},
      {{{"query", "f"}, {"max_results", 500}}, {}, 200},
      {{{"query", "f"}, {"max_results", 7}}, {}, 7},
  };
  for (const Case& c : cases) {
    json arguments = c.arguments;
    arguments["root"] = root.string();
    const json found = test::jsonOf(call(registry_, "fs_search", arguments));
    ASSERT_TRUE(found.is_object()) << arguments;
    EXPECT_EQ(found["root"], root.string());
    EXPECT_EQ(found["count"], found["results"].size());
    if (c.count >= 0) {
      EXPECT_EQ(found["count"], c.count) << arguments;
      continue;
    }
    std::set<std::string> hits;
    for (const json& hit : found["results"]) hits.insert(hit["relative_path"]);
    EXPECT_EQ(hits, c.hits) << arguments;
  }
  EXPECT_EQ(test::textOf(call(registry_, "fs_search", {{"query", " "}})),
            "failed: Invalid 'query': expected non-empty string");
  EXPECT_EQ(test::textOf(call(registry_, "fs_search", {{"query", "x"}, {"root", "/etc"}}))
                .rfind("failed: Access denied: '/etc'", 0),
            0u);
}

TEST_F(FilesystemToolsTest, ReadsPagesInTheFirstEncodingThatFits) {
  const std::string dir = home_ + "/read/";
  test::writeFile(dir + "notes", "plain");
  test::writeFile(dir + "empty.txt", "");
  test::writeFile(dir + "ten.txt", "0123456789");
  test::writeFile(dir + "cafe.txt", "caf\xe9");
  test::writeFile(dir + "odd.txt", "\x81\xe9");
  test::writeFile(dir + "split.txt", std::string(1023, 'a') + "\xc3\xa9!");
  test::writeFile(dir + "utf8.md", "h\xc3\xa9llo");

  struct Case {
    json arguments;
    std::string expected;
  };
  const Case cases[] = {
      {{{"path", dir + "notes"}},
       "File: " + dir + "notes\nSize: 5 B  Encoding: utf8  Offset: 0\n---\nplain"},
      {{{"path", dir + "empty.txt"}},
       "File: " + dir + "empty.txt\nSize: 0 B  Encoding: utf8  Offset: 0\n---\n"},
      {{{"path", dir + "ten.txt"}, {"offset", 10}},
       "failed: Invalid 'offset': expected offset (10) beyond file size (10)"},
      {{{"path", dir + "ten.txt"}, {"offset", 4}},
       "File: " + dir + "ten.txt\nSize: 10 B  Encoding: utf8  Offset: 4\n---\n456789"},
      {{{"path", dir + "ten.txt"}, {"offset", -4}},
       "File: " + dir + "ten.txt\nSize: 10 B  Encoding: utf8  Offset: 0\n---\n0123456789"},
      {{{"path", dir + "cafe.txt"}},
       "File: " + dir + "cafe.txt\nSize: 4 B  Encoding: cp1252  Offset: 0\n---\ncaf\xc3\xa9"},
      {{{"path", dir + "odd.txt"}},
       "File: " + dir + "odd.txt\nSize: 2 B  Encoding: latin1  Offset: 0\n---\n\xc2\x81\xc3\xa9"},
      {{{"path", dir + "utf8.md"}},
       "File: " + dir + "utf8.md\nSize: 6 B  Encoding: utf8  Offset: 0\n---\nh\xc3\xa9llo"},
      {{{"path", dir + "split.txt"}, {"max_bytes", 1}},
       "File: " + dir +
           "split.txt\nSize: 1.0 KB  Encoding: cp1252  Offset: 0  (truncated — use "
           "offset/max_bytes to page)\n---\n" +
           std::string(1023, 'a') + "\xc3\x83"},
      {{{"path", dir + "report.PDF"}},
       "failed: Invalid 'path': expected text file. For PDFs use pdf_read, for Word use "
       "word_read, for Excel use excel_read."},
      {{{"path", dir + "gone.txt"}}, "failed: Not found: " + dir + "gone.txt"},
      {{{"path", dir}}, "failed: Cannot open file: " + dir},
      {{{"path", ""}}, "failed: Invalid 'path': expected non-empty string"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(test::textOf(call(registry_, "fs_read", c.arguments)), c.expected) << c.arguments;
  }
}

TEST_F(FilesystemToolsTest, HumanSizesCountIn1024s) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {0, "0 B"},          {1023, "1023 B"},       {1024, "1.0 KB"},      {-5, "-5 B"},
      {1572864, "1.5 MB"}, {1073741824, "1.0 GB"}, {1048575, "1024.0 KB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(fsHumanSize(bytes), text) << bytes;
}

TEST_F(FilesystemToolsTest, ServedOverASocketTheyKeepLinkedFilesOutside) {
  test::writeFile(outside() / "secret.txt", "secret");
  fs::create_symlink(outside() / "secret.txt", test::home() / "secret.txt");
  test::writeFile(test::home() / "mine.txt", "mine");
  auto registry = std::make_shared<ToolRegistry>();
  FilesystemTools::registerTools(*registry);
  test::SessionOverSocket session(registry);
  auto& client = session.client();

  const auto read = client.call(test::request(
      1, "tools/call", {{"name", "fs_read"}, {"arguments", {{"path", home_ + "/secret.txt"}}}}));
  ASSERT_TRUE(read);
  const std::string refusal = (*read)["result"]["content"][0]["text"];
  EXPECT_NE(
      refusal.find("Access denied: '" + home_ + "/secret.txt' is outside allowed roots (" + home_),
      std::string::npos)
      << refusal;
  EXPECT_EQ(refusal.find("secret\n"), std::string::npos);

  const auto listed = client.call(
      test::request(2, "tools/call", {{"name", "fs_list"}, {"arguments", json::object()}}));
  ASSERT_TRUE(listed);
  const json listing = json::parse((*listed)["result"]["content"][0]["text"].get<std::string>());
  EXPECT_EQ(listing["path"], home_);
  EXPECT_EQ(listing["files"], 2);
}

}  // namespace
}  // namespace tvrn
