// Paths a hostile client may send to the file and document tools, answered over the relay's entry
// as any client would see them: at once, as an error naming the path, with the target untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/MCPServer.h"
#include "core/MCPTransport.h"
#include "core/ToolRegistry.h"
#include "platform/Paths.h"
#include "platform/ZipArchive.h"
#include "support/TestEnv.h"
#include "tools/files/FilesystemTools.h"
#include "tools/files/FinderTools.h"
#include "tools/office/OfficeTestSupport.h"
#include "tools/office/OfficeTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSecrets = R"({"m365_token": "secret-m365", "cloud_token": "secret-relay"})";

class HostilePathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto registry = std::make_shared<ToolRegistry>();
    OfficeTools::registerTools(*registry);
    FinderTools::registerTools(*registry);
    FilesystemTools::registerTools(*registry);
    server_ = std::make_unique<MCPServer>(std::make_unique<MCPReader>(-1),
                                          std::make_unique<MCPWriter>(-1), registry,
                                          MCPServer::ServerInfo{"tavrin-server", "1.0"});
    test::writeFile(config_, kSecrets);
  }

  // The text a client gets back for the call, and how long the answer took.
  std::pair<std::string, std::chrono::milliseconds> call(const std::string& tool,
                                                         const json& arguments) {
    const json request = {{"jsonrpc", "2.0"},
                          {"id", 1},
                          {"method", "tools/call"},
                          {"params", {{"name", tool}, {"arguments", arguments}}}};
    const auto start = std::chrono::steady_clock::now();
    const json reply = json::parse(server_->handleTunnelRequest(request.dump()));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return {reply["result"]["content"][0]["text"].get<std::string>(), took};
  }

  std::string under(const std::string& relative) const { return (home_ / relative).string(); }

  std::unique_ptr<MCPServer> server_;
  const fs::path home_ = test::home();
  const fs::path config_ = Paths::appSupport() / "config.json";
};

// What a target holds: its bytes, or for what has none (a pipe, a device) its kind.
std::string stateOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "absent";
  if (S_ISFIFO(info.st_mode)) return "pipe";
  if (S_ISCHR(info.st_mode)) return "device";
  if (S_ISLNK(info.st_mode)) return "link to " + fs::read_symlink(path).string();
  return test::readFile(path);
}

TEST_F(HostilePathsTest, RefusedPathsAnswerAtOnceAndLeaveTheTargetAsItWas) {
  test::writeFile(under("notes.txt"), "plain notes");
  test::writeFile(under("fake.docx"), "not a package");
  test::writeFile(under("passwd"), "root:x:0:0:root:/root:/bin/bash\n");
  for (const char* name : {"letter.docx", "letter.xlsx"}) {
    ASSERT_TRUE(ZipArchive::create(under(name), {{"word/document.xml", "<w:document/>"}}));
  }
  ASSERT_EQ(::mkfifo(under("pipe.docx").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(under("pipe.xlsx").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(under("pipe.txt").c_str(), 0600), 0);
  fs::create_symlink(under("passwd"), under("passwd.docx"));
  fs::create_symlink(config_, under("Documents.txt"));
  fs::create_symlink(Paths::appSupport() / "stolen.docx", under("into-settings.docx"));
  const std::string config = config_.string();
  const json write = {{"content", "x"}, {"confirm", true}};

  struct Case {
    std::string tool;
    json arguments;
    std::string target;  // named in the answer and left as it was
  };
  const auto with = [](json arguments, const std::string& path) {
    arguments["path"] = path;
    return arguments;
  };
  const std::vector<Case> cases = {
      {"word_create", with(write, under("notes.txt")), under("notes.txt")},
      {"word_create", with(write, under("fake.docx")), under("fake.docx")},
      {"word_create", with(write, under("passwd.docx")), under("passwd.docx")},
      {"word_create", with(write, under("pipe.docx")), under("pipe.docx")},
      {"word_create", with(write, under("into-settings.docx")), under("into-settings.docx")},
      {"word_append", with(write, under("fake.docx")), under("fake.docx")},
      {"ppt_create",
       {{"path", under("letter.docx")}, {"slides", {{{"title", "T"}}}}, {"confirm", true}},
       under("letter.docx")},
      {"excel_create", {{"path", under("letter.xlsx")}, {"headers", {"h"}}}, under("letter.xlsx")},
      {"excel_write_cell",
       {{"path", under("pipe.xlsx")}, {"row", 1}, {"column", 1}, {"value", "v"}, {"confirm", true}},
       under("pipe.xlsx")},
      {"word_read", {{"path", "/dev/zero"}}, "/dev/zero"},
      {"word_read", {{"path", under("pipe.docx")}}, under("pipe.docx")},
      {"pdf_read", {{"path", under("pipe.docx")}}, under("pipe.docx")},
      {"excel_read", {{"path", under("pipe.xlsx")}}, under("pipe.xlsx")},
      {"ppt_read", {{"path", "/dev/zero"}}, "/dev/zero"},
      {"onedrive_read_file", {{"path", under("pipe.txt")}}, under("pipe.txt")},
      {"word_read", {{"path", config}}, config},
      {"word_read", {{"path", under("Documents.txt")}}, under("Documents.txt")},
      {"onedrive_read_file", {{"path", config}}, config},
      {"onedrive_read_file",
       {{"path", under(".config/../") + config_.lexically_relative(home_).string()}},
       config},
      {"onedrive_file_info", {{"path", config}}, config},
      {"onedrive_list_files",
       {{"path", Paths::localShare().string()}},
       Paths::localShare().string()},
      {"fs_read", {{"path", config}}, config},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + " " + c.arguments.dump());
    const std::string before = stateOf(c.target);
    const auto [text, took] = call(c.tool, c.arguments);
    EXPECT_TRUE(text.starts_with("Error: ")) << text;
    EXPECT_NE(text.find(c.arguments["path"].get<std::string>()), std::string::npos) << text;
    EXPECT_EQ(text.find("secret"), std::string::npos) << text;
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(stateOf(c.target), before);
  }
  EXPECT_EQ(stateOf((Paths::appSupport() / "stolen.docx").string()), "absent");
}

TEST_F(HostilePathsTest, SearchesPassTheOwnFoldersBy) {
  test::writeFile(under(".config/other/config.json"), "{}");
  const json found = json::parse(
      call("onedrive_search_files", {{"query", "config"}, {"root", under(".config")}}).first);
  EXPECT_EQ(found["results"].size(), 1u) << found;
  EXPECT_EQ(found["results"][0]["path"], under(".config/other/config.json"));
}

// A good document is still replaced, also through a link, and the preview says it will be.
TEST_F(HostilePathsTest, AnExistingDocumentOfTheRightKindIsReplaced) {
  fs::create_directories(under("docs"));
  const std::string real = under("docs/Report.DOCX");
  ASSERT_TRUE(ZipArchive::create(real, {{"word/document.xml", "<w:document>old</w:document>"}}));
  fs::create_symlink(real, under("link.docx"));

  for (const std::string& path : {real, under("link.docx")}) {
    SCOPED_TRACE(path);
    const json arguments = {{"path", path}, {"content", "new " + path}};
    EXPECT_NE(
        call("word_create", arguments)
            .first.find(
                "...\n  Note:    the existing file at this path will be replaced\nCall again"),
        std::string::npos);
    json confirmed = arguments;
    confirmed["confirm"] = true;
    EXPECT_EQ(call("word_create", confirmed).first,
              "{\n  \"created\": true,\n  \"path\": \"" + path + "\"\n}");
    EXPECT_EQ(test::textOf(test::callOfficeTool("word_read", {{"path", real}})), "new " + path);
  }
  EXPECT_TRUE(fs::is_symlink(under("link.docx")));
  EXPECT_EQ(
      call("word_create", {{"path", under("docs/new.docx")}, {"content", "c"}}).first.find("Note:"),
      std::string::npos);
}

}  // namespace
}  // namespace tvrn
