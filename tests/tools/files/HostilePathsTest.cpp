// Paths a hostile client may send to the file and document tools, answered over the relay's entry
// as any client would see them: at once, as an error naming the path, with the target untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/MCPServer.h"
#include "core/MCPTransport.h"
#include "core/ToolRegistry.h"
#include "core/ToolSchema.h"
#include "platform/Paths.h"
#include "platform/ZipArchive.h"
#include "support/OtherUserLink.h"
#include "support/PdfMaker.h"
#include "support/TestEnv.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/files/FilesystemTools.h"
#include "tools/files/FinderTools.h"
#include "tools/office/OfficeTestSupport.h"
#include "tools/office/OfficeTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSecrets =
    R"({"m365_token": "secret-m365", "cloud_token": "secret-relay", "cloud_data_enabled": true})";

class HostilePathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto registry = std::make_shared<ToolRegistry>();
    OfficeTools::registerTools(*registry);
    FinderTools::registerTools(*registry);
    FilesystemTools::registerTools(*registry);
    for (const auto& [name, handler] :
         {std::pair<const char*, ToolHandler>{"finder_list", SystemTools::finderList},
          {"finder_search", SystemTools::finderSearch}}) {
      registry->registerTool({name, "", ToolSchema::schema(json::object(), json::array()),
                              ToolKind::readOnly, handler});
    }
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

// A second name (hard link) of one of the system's files, made anywhere, is judged as the file it
// is, by readers and writers alike; a second name of the user's own file is read as usual.
TEST_F(HostilePathsTest, SecondNamesOfTheSystemsFilesAreRefused) {
  call("fs_read", {{"path", config_}});  // the first call notes itself in config.json
  const std::string settings = test::readFile(config_);
  const fs::path state = Paths::localShare() / "tray" / "deep" / "state.json";
  test::writeFile(state, kSecrets);
  const auto secondName = [&](const std::string& name, const fs::path& original) {
    fs::create_hard_link(original, under(name));
    return under(name);
  };
  const json write = {{"content", "x"}, {"confirm", true}};
  const auto with = [](json arguments, const std::string& path) {
    arguments["path"] = path;
    return arguments;
  };
  struct Case {
    std::string tool;
    json arguments;
    std::string folder;  // the one the answer names
  };
  const std::vector<Case> cases = {
      {"word_read", {{"path", secondName("letter.docx", config_)}}, "~/.config/tavrin"},
      {"excel_read", {{"path", secondName("book.xlsx", config_)}}, "~/.config/tavrin"},
      {"ppt_read", {{"path", secondName("deck.pptx", config_)}}, "~/.config/tavrin"},
      {"pdf_read", {{"path", secondName("paper.pdf", config_)}}, "~/.config/tavrin"},
      {"fs_read", {{"path", secondName("notes.txt", config_)}}, "~/.config/tavrin"},
      {"onedrive_read_file", {{"path", secondName("state.txt", state)}}, "~/.local/share/tavrin"},
      {"word_create", with(write, secondName("new.docx", config_)), "~/.config/tavrin"},
      {"word_append", with(write, under("new.docx")), "~/.config/tavrin"},
      {"ppt_create",
       {{"path", secondName("new.pptx", config_)}, {"slides", {{{"title", "T"}}}}},
       "~/.config/tavrin"},
      {"excel_write_cell",
       {{"path", secondName("cells.xlsx", config_)}, {"row", 1}, {"column", 1}, {"value", "v"}},
       "~/.config/tavrin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + " " + c.arguments.dump());
    const std::string path = c.arguments["path"];
    const std::string refusal = "Error: Access denied: '" + path + "' leads into " + c.folder;
    const std::string answer = call(c.tool, c.arguments).first;
    EXPECT_TRUE(answer.starts_with(refusal + ", where")) << answer;
  }
  EXPECT_EQ(test::readFile(config_), settings);
  EXPECT_EQ(test::readFile(state), kSecrets);

  test::writeFile(under("mine.txt"), "my own words");
  fs::create_hard_link(under("mine.txt"), under("mine-too.txt"));
  EXPECT_NE(call("fs_read", {{"path", under("mine-too.txt")}}).first.find("my own words"),
            std::string::npos);
}

// Links flipped between something of the user's and the settings while tools use them, for a
// fixed number of calls: each call reads the user's file or is refused, and nothing is made in
// the settings folder.
TEST_F(HostilePathsTest, AFlippingLinkNeverReachesTheSettings) {
  constexpr int kCallsPerTool = 60;
  test::writeFile(under("plain.txt"), "plain words");
  test::writeFile(under("docs/plain words.txt"), "");
  struct Flip {
    fs::path link, harmless, ours;
  };
  const std::vector<Flip> flips = {{under("flip.txt"), under("plain.txt"), config_},
                                   {under("flipdir"), under("docs"), Paths::appSupport()}};
  for (const Flip& flip : flips) fs::create_symlink(flip.harmless, flip.link);
  std::atomic<bool> done{false};
  std::thread flipper([&] {
    for (bool toOurs = true; !done; toOurs = !toOurs) {
      for (const Flip& flip : flips) {
        const fs::path next = flip.link.string() + ".next";
        std::error_code ignored;
        fs::create_symlink(toOurs ? flip.ours : flip.harmless, next, ignored);
        fs::rename(next, flip.link, ignored);  // the link is replaced whole, never missing
      }
    }
  });
  const json reads = {{"path", under("flip.txt")}};
  const json create = {{"path", under("flipdir/new.docx")}, {"content", "x"}, {"confirm", true}};
  const json folder = {{"path", under("flipdir")}};
  const json search = {{"query", "plain"}, {"root", under("flipdir")}, {"path", under("flipdir")}};
  // Each call and what it answers when it serves the user's own file or folder.
  const std::vector<std::tuple<std::string, json, std::string>> calls = {
      {"word_read", reads, "plain words"},
      {"onedrive_read_file", reads, "plain words"},
      {"fs_read", reads, "plain words"},
      {"word_create", create, "\"created\": true"},
      {"onedrive_file_info", reads, "\"size\": 11"},
      {"fs_list", folder, "plain words"},
      {"onedrive_list_files", folder, "plain words"},
      {"finder_list", folder, "plain words"},
      {"fs_search", search, "plain words"},
      {"onedrive_search_files", search, "plain words"},
      {"finder_search", search, "plain words"}};
  for (int round = 0; round < kCallsPerTool; ++round) {
    for (const auto& [tool, arguments, servedText] : calls) {
      const std::string text = call(tool, arguments).first;
      const bool refused = text.find("' leads into ~/.config/tavrin, where") != std::string::npos;
      const bool served = text.find(servedText) != std::string::npos;
      EXPECT_TRUE(refused != served) << tool << ": " << text;
    }
  }
  done = true;
  flipper.join();
  for (const std::string& name : test::namesIn(Paths::appSupport())) {
    EXPECT_EQ(name.find("new.docx"), std::string::npos) << name;
  }
}

// Every path a tool reads or writes follows a link only where it belongs to the user or to root,
// at any depth; another user's link (one planted in a sticky shared folder, or one to a folder
// behind a link of the user's) is refused naming it and its owner, and what it leads to is neither
// read nor written. A path holding a control character is refused naming the argument.
TEST_F(HostilePathsTest, LinksAreFollowedOnlyWhereTheyBelongToTheUserOrRoot) {
  const std::string docs = under("docs") + "/";
  const bool others = test::canGiveLinksAway();
  fs::create_directories(docs + "sub");
  fs::create_directories(under("shared"));
  fs::permissions(under("shared"), fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory_symlink(under("shared/way"), under("deep"));
  ASSERT_TRUE(!others || test::makeOtherUsersLink(docs, under("shared/way")));
  test::writeFile(docs + "r.txt", "my words");
  test::writeFile(docs + "r.pdf", test::makePdf({{"my page"}}));
  for (const std::string name : {"r.docx", "r.xlsx", "r.pptx", "r.txt", "r.pdf", "sub"}) {
    const std::vector<ZipArchive::Member> parts = {{"word/document.xml", "<w:document/>"}};
    ASSERT_TRUE(!name.ends_with("x") || ZipArchive::create(docs + name, parts));
    fs::create_symlink(docs + name, under("own-" + name));
    ASSERT_TRUE(!others || test::makeOtherUsersLink(docs + name, under("shared/" + name)));
  }
  // Where the name is put, and the link the refusal names ("" when followed, "*" the path).
  std::vector<std::pair<std::string, std::string>> ways = {
      {under("own-"), ""}, {"/proc/self/root" + docs, ""}};  // /proc/self is root's link
  if (others)
    ways.insert(ways.end(), {{under("shared/"), "*"}, {under("deep/"), under("shared/way")}});
  const json write = {{"content", "x"}, {"confirm", true}};
  const std::vector<std::tuple<std::string, std::string, json>> tools = {
      {"word_read", "r.docx", {}},
      {"word_create", "r.docx", write},
      {"word_append", "r.docx", write},
      {"excel_read", "r.xlsx", {}},
      {"excel_create", "r.xlsx", {{"headers", {"h"}}, {"confirm", true}}},
      {"excel_write_cell",
       "r.xlsx",
       {{"row", 1}, {"column", 1}, {"value", "v"}, {"confirm", true}}},
      {"ppt_read", "r.pptx", {}},
      {"ppt_create", "r.pptx", {{"slides", {{{"title", "T"}}}}, {"confirm", true}}},
      {"pdf_read", "r.pdf", {}},
      {"fs_read", "r.txt", {}},
      {"onedrive_read_file", "r.txt", {}},
      {"onedrive_file_info", "r.txt", {}},
      {"onedrive_list_files", "sub", {}}};
  for (const auto& [where, refusedAt] : ways) {
    for (auto [tool, name, request] : tools) {
      request["path"] = where + name;
      SCOPED_TRACE(tool + " " + request.dump());
      const std::string before = name == "sub" ? "" : stateOf(docs + name);
      const std::string text = call(tool, request).first;
      if (refusedAt.empty()) {
        EXPECT_EQ(text.find("not followed"), std::string::npos) << text;
        EXPECT_FALSE(text.starts_with("Error") && (!name.ends_with("x") || tool == "word_create"));
        continue;
      }
      EXPECT_NE(text.find((refusedAt == "*" ? where + name : refusedAt) + ": a link owned by " +
                          "nobody (uid 65534), not by this user or root; not followed"),
                std::string::npos)
          << text;
      EXPECT_EQ(name == "sub" ? "" : stateOf(docs + name), before);
    }
  }
  const std::vector<std::pair<std::string, json>> controls = {
      {"word_create", {{"path", under("x") + std::string(1, '\0') + ".docx"}, {"content", "c"}}},
      {"fs_read", {{"path", docs + "r.txt" + std::string(1, '\0') + ".txt"}}},
      {"onedrive_search_files", {{"query", "r"}, {"root", docs + "\n"}}},
      {"onedrive_read_file", {{"path", docs + "r.txt\u0085"}}},
      {"onedrive_set_scope",
       {{"root_name", "OneDrive"}, {"folder", "/Work\n"}, {"confirm", true}}}};
  for (const auto& [tool, arguments] : controls) {
    const std::string name = arguments.contains("root")     ? "root"
                             : arguments.contains("folder") ? "folder"
                                                            : "path";
    EXPECT_EQ(call(tool, arguments).first,
              "Error: Invalid '" + name + "': expected a path without control characters");
  }
  EXPECT_EQ(stateOf(under("x")), "absent");
  if (!others) GTEST_SKIP() << "the rows of another user's links need root to give links away";
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
