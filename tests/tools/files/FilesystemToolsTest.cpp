#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "core/ConfigManager.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/files/FilesystemTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::callTool;

class FilesystemToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { FilesystemTools::registerTools(registry_); }
  void TearDown() override { ::setenv("HOME", home_.c_str(), 1); }

  static fs::path outside() { return test::home().parent_path() / "outside"; }

  const ConfigManager& settings() const { return *registry_.context().settings; }

  ToolRegistry registry_;
  const std::string home_ = test::home().string();
};

TEST_F(FilesystemToolsTest, AllowsOnlyPathsThatReallyLieInsideARoot) {
  const std::string data = (outside() / "data").string();
  const std::string linkedRoot = (outside() / "linked-root").string();
  fs::create_directories(data);
  fs::create_symlink(data, linkedRoot);
  fs::create_symlink("/etc", test::home() / "etc-link");
  fs::create_symlink(test::home(), outside() / "linked-home");

  struct Case {
    json roots;  // fs_allowed_roots
    std::string path;
    bool allowed;
  };
  const Case cases[] = {
      {nullptr, home_, true},
      {nullptr, home_ + "/sub/../file.txt", true},
      {nullptr, home_ + "work/x", false},  // only starts like home
      {nullptr, home_ + "/../outside/data", false},
      {nullptr, outside().parent_path().string() + "/HOME/x", false},  // other letter case
      {nullptr, home_ + "/etc-link/hostname", false},
      {nullptr, (outside() / "linked-home" / "x").string(), true},
      {json::array({linkedRoot}), data + "/x", true},
      {json::array({linkedRoot}), linkedRoot + "/x", true},
      {json::array({"/"}), "/etc/hostname", true},
      {json::array({data, 1}), data + "/x", false},  // not all strings: ignored
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(settings().save({{"fs_allowed_roots", c.roots}}));
    const FSSecurityResult result = fsSecurity(settings(), c.path);
    EXPECT_EQ(result.allowed, c.allowed) << c.path;
    EXPECT_EQ(result.reason.empty(), c.allowed) << c.path;
  }
  ::setenv("HOME", (outside() / "linked-home").c_str(), 1);
  EXPECT_TRUE(fsSecurity(settings(), home_ + "/x").allowed) << "a home folder given as a link";
}

TEST_F(FilesystemToolsTest, ListsFoldersFirstThenFilesByCodePoint) {
  const fs::path dir = test::home() / "list";
  test::writeFile(dir / "b.txt", "bb");
  test::writeFile(dir / "A.txt", "a");
  test::writeFile(dir / ".hidden", "");
  test::writeFile(dir / "bad\xff", "");  // not UTF-8: shown with U+FFFD, not an empty answer
  fs::create_directories(dir / "z");

  const json listing = test::jsonOf(callTool(registry_, "fs_list", {{"path", dir.string()}}));
  std::vector<std::string> names;
  for (const json& item : listing["items"]) names.push_back(item["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"z", "A.txt", "b.txt", "bad\uFFFD"}));
  EXPECT_EQ(listing["count"], 4);
  EXPECT_EQ(listing["dirs"], 1);
  EXPECT_EQ(listing["files"], 3);
  EXPECT_EQ(listing["items"][2]["size_human"], "2 B");
  EXPECT_EQ(listing["items"][2]["extension"], "txt");
  EXPECT_EQ(listing["items"][0]["type"], "directory");
  EXPECT_EQ(test::jsonOf(callTool(registry_, "fs_list",
                                  {{"path", dir.string()}, {"show_hidden", "TRUE"}}))["count"],
            5);
  EXPECT_EQ(test::textOf(callTool(registry_, "fs_list", {{"path", (dir / "b.txt").string()}})),
            "failed: Invalid 'path': expected directory");
}

TEST_F(FilesystemToolsTest, SearchesNamesButNotHiddenPackagedOrLinkedFolders) {
  const fs::path root = test::home() / "tree";
  test::writeFile(root / "docs" / "Report.pdf", "%PDF");
  test::writeFile(root / "docs" / "old-report.txt", "x");
  test::writeFile(root / ".hidden" / "report.txt", "x");
  test::writeFile(root / "Viewer.app" / "report.txt", "x");
  test::writeFile(outside() / "report-outside.txt", "x");
  fs::create_symlink(outside(), root / "out");
  for (int i = 0; i < 205; ++i) test::writeFile(root / "many" / ("f" + std::to_string(i)), "");

  struct Case {
    json arguments;
    std::set<std::string> hits;  // relative paths, when count is -1
    int count = -1;
  };
  const Case cases[] = {
      {{{"query", "REPORT"}}, {"docs/Report.pdf", "docs/old-report.txt"}},
      {{{"query", "report"}, {"file_type", "PDF"}}, {"docs/Report.pdf"}},
      {{{"query", "report"}, {"file_type", ".pdf"}}, {}},
      {{{"query", "viewer"}}, {"Viewer.app"}},
      {{{"query", "report"}, {"max_results", 0}}, {}},
      {{{"query", "f"}, {"max_results", 500}}, {}, 200},
  };
  for (const Case& c : cases) {
    json arguments = c.arguments;
    arguments["root"] = root.string();
    const json found = test::jsonOf(callTool(registry_, "fs_search", arguments));
    EXPECT_EQ(found["count"], found["results"].size());
    std::set<std::string> hits;
    for (const json& hit : found["results"]) hits.insert(hit["relative_path"]);
    if (c.count >= 0) {
      EXPECT_EQ(found["count"], c.count) << arguments;
    } else {
      EXPECT_EQ(hits, c.hits) << arguments;
    }
  }
}

TEST_F(FilesystemToolsTest, ReadsPagesInTheFirstEncodingThatFits) {
  const std::string dir = home_ + "/read/";
  test::writeFile(dir + "notes", "plain");
  test::writeFile(dir + "empty.txt", "");
  test::writeFile(dir + "ten.txt", "0123456789");
  test::writeFile(dir + "cafe.txt", "caf\xe9");
  test::writeFile(dir + "odd.txt", "\x81\xe9");
  test::writeFile(dir + "split.txt", std::string(1023, 'a') + "\xc3\xa9!");
  ASSERT_EQ(::mkfifo((dir + "pipe").c_str(), 0600), 0);  // answered at once, never waited on
  const auto header = [&](const std::string& file, const std::string& rest) {
    return "File: " + dir + file + "\nSize: " + rest;
  };
  const std::pair<json, std::string> cases[] = {
      {{{"path", dir + "notes"}}, header("notes", "5 B  Encoding: utf8  Offset: 0\n---\nplain")},
      {{{"path", dir + "empty.txt"}}, header("empty.txt", "0 B  Encoding: utf8  Offset: 0\n---\n")},
      {{{"path", dir + "ten.txt"}, {"offset", 10}},
       "failed: Invalid 'offset': expected offset (10) beyond file size (10)"},
      {{{"path", dir + "ten.txt"}, {"offset", 4}},
       header("ten.txt", "10 B  Encoding: utf8  Offset: 4\n---\n456789")},
      {{{"path", dir + "cafe.txt"}},
       header("cafe.txt", "4 B  Encoding: cp1252  Offset: 0\n---\ncaf\xc3\xa9")},
      {{{"path", dir + "odd.txt"}},
       header("odd.txt", "2 B  Encoding: latin1  Offset: 0\n---\n\xc2\x81\xc3\xa9")},
      {{{"path", dir + "split.txt"}, {"max_bytes", 1}},
       header("split.txt",
              "1.0 KB  Encoding: cp1252  Offset: 0  (truncated — use offset/max_bytes to "
              "page)\n---\n" +
                  std::string(1023, 'a') + "\xc3\x83")},
      {{{"path", dir + "report.PDF"}},
       "failed: Invalid 'path': expected text file. For PDFs use pdf_read, for Word use "
       "word_read, for Excel use excel_read."},
      {{{"path", dir}}, "failed: Cannot open file: " + dir},
      {{{"path", dir + "pipe"}}, "failed: Cannot open file: " + dir + "pipe"},
  };
  for (const auto& [arguments, expected] : cases) {
    EXPECT_EQ(test::textOf(callTool(registry_, "fs_read", arguments)), expected) << arguments;
  }
}

TEST_F(FilesystemToolsTest, HumanSizesCountIn1024s) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {1023, "1023 B"},    {1024, "1.0 KB"},       {-5, "-5 B"},
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

  const auto text = [&](int id, const std::string& tool, const json& arguments) {
    auto reply = session.client().call(
        test::request(id, "tools/call", {{"name", tool}, {"arguments", arguments}}));
    return reply ? (*reply)["result"]["content"][0]["text"].get<std::string>() : "";
  };
  const std::string link = home_ + "/secret.txt";
  EXPECT_EQ(text(1, "fs_read", {{"path", link}})
                .rfind("Error: Access denied: '" + link + "' is outside allowed roots (" + home_ +
                           "). To expand access add the path to fs_allowed_roots in "
                           "~/.config/tavrin/config.json",
                       0),
            0u);
  const json listing = json::parse(text(3, "fs_list", json::object()));
  EXPECT_EQ(listing["path"], home_);
  EXPECT_EQ(listing["files"], 2);
}

}  // namespace
}  // namespace tvrn
