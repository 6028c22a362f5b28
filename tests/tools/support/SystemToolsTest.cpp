#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/Timestamp.h"
#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/LocalData.h"
#include "bridges/PimFixtures.h"
#include "core/ConfigManager.h"
#include "core/Timeouts.h"
#include "platform/Subprocess.h"
#include "support/ChildTestRun.h"
#include "support/OtherUserLink.h"
#include "support/OwnProcesses.h"
#include "support/ScopedUmask.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/files/FinderTools.h"
#include "tools/support/AutomationFakes.h"
#include "tools/support/StateTools.h"
#include "tools/support/SystemTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class SystemToolsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    test::useFakeAutomation(under("rules.json"));
    ::setenv("FAKE_JXA_RUNNER_LOG", under("runner.log").c_str(), 1);
    SystemTools::registerTools(registry_, {helper_, scripts_}, "9.8.7");
  }

  std::string under(const std::string& relative) const { return home_ + "/" + relative; }
  json call(const std::string& tool, const json& arguments = json::object()) const {
    const ToolResult result = test::callTool(registry_, tool, arguments);
    const json parsed = test::jsonOf(result);
    return parsed.is_null() ? json(test::textOf(result)) : parsed;
  }
  // The scripts the runner was asked to run, in order.
  std::vector<std::string> scriptsRun() const {
    std::vector<std::string> scripts;
    std::istringstream lines(test::readFile(under("runner.log")));
    for (std::string line; std::getline(lines, line);) {
      const json request = json::parse(json::parse(line)["request"].get<std::string>());
      scripts.push_back(request["args"]["script"]);
    }
    return scripts;
  }

  const std::string home_ = test::home().string();
  HelperProxy helper_{dispatcher()};
  JXARunnerProxy scripts_{Timeouts::jxaDefault};
  ToolRegistry registry_;
};

// What update_tavrin honours, a client can find in its schema.
TEST_F(SystemToolsTest, UpdateTavrinListsCheckOnly) {
  const auto update = registry_.tool("update_tavrin");
  ASSERT_TRUE(update);
  EXPECT_EQ(update->inputSchema["properties"]["check_only"]["type"], "boolean");
  EXPECT_EQ(update->inputSchema["required"], json::array());
}

TEST_F(SystemToolsTest, FinderListExpandsTheHomeFolderAndSkipsHiddenEntries) {
  test::writeFile(under("Docs/a.txt"), "12345");
  test::writeFile(under("Docs/.hidden"), "secret");
  const json listed = call("finder_list", {{"path", "~/Docs"}});
  EXPECT_EQ(listed["path"], under("Docs"));
  ASSERT_EQ(listed["count"], 1) << listed;
  EXPECT_EQ(listed["items"][0]["path"], under("Docs/a.txt"));
  EXPECT_EQ(listed["items"][0]["size"], 5);
  EXPECT_EQ(call("finder_list", {{"path", "~"}})["path"], home_);
  EXPECT_EQ(call("finder_list", {{"path", "~/Docs/a.txt"}}),
            "failed: Cannot list path: " + under("Docs/a.txt"));
}

std::set<std::string> namesIn(const json& found) {
  std::set<std::string> names;
  for (const json& hit : found["results"]) names.insert(hit["name"]);
  return names;
}

TEST_F(SystemToolsTest, FinderSearchStopsAtTheLimitAndMatchesTheQueryLiterally) {
  for (const char* name : {"one-match", "two-MATCH", "three-match", "a*b", "aXb"}) {
    test::writeFile(under("Search/" + std::string(name)), "x");
  }
  const json two =
      call("finder_search", {{"query", "match"}, {"path", under("Search")}, {"limit", 2}});
  EXPECT_EQ(two["results"].size(), 2u) << two;
  EXPECT_EQ(test::childrenNamed("find"), std::vector<pid_t>{}) << "left running";
  EXPECT_EQ(namesIn(call("finder_search", {{"query", "a*b"}, {"path", under("Search")}})),
            std::set<std::string>{"a*b"});
  EXPECT_EQ(call("finder_search", {{"query", "match"}, {"limit", -1}})["count"], 0);
  // A folder that is not there is no folder without a match; "~" is not expanded.
  for (const std::string& folder : {under("Nowhere"), std::string("~/Search")}) {
    EXPECT_EQ(call("finder_search", {{"query", "a"}, {"path", folder}}),
              "failed: Cannot search path: " + folder);
  }

  // A relative folder that reads like an expression of find(1) stays a folder name.
  ASSERT_EQ(::chdir(under("Search").c_str()), 0);
  for (const char* folder : {"-delete", "!", "("}) {
    fs::create_directory(under("Search/" + std::string(folder)));
    EXPECT_EQ(call("finder_search", {{"query", "a"}, {"path", folder}})["count"], 0) << folder;
  }
  EXPECT_EQ(test::namesIn(under("Search")).size(), 8u);
}

class OneDriveWritesTest : public SystemToolsTest {
 protected:
  void SetUp() override {
    SystemToolsTest::SetUp();
    for (const char* folder : {"OneDrive/Team", "OneDrive/Teamwork", "OneDriveX", "Documents",
                               "Library/CloudStorage/OneDrive-Co", "Library/CloudStorage/Box"}) {
      fs::create_directories(under(folder));
    }
    test::writeFile(under("Documents/keep.txt"), "keep");
    fs::create_symlink(under("Documents"), under("OneDrive/Team/out"));
    ASSERT_TRUE(ConfigManager::shared().save({{"onedrive_scopes", {{"OneDrive", "/Team"}}}}));
  }
  json confirmed(const std::string& tool, json arguments) const {
    arguments["confirm"] = true;
    return call(tool, arguments);
  }
};

// A new file gets 0644 less the umask (0600 under 077); one written over keeps its own mode.
TEST_F(OneDriveWritesTest, WritesAfterAPreviewCreatingFoldersAndKeepingTheMode) {
  const test::ScopedUmask privateFiles(077);
  const std::string file = under("OneDrive/Team/new/deep/note.txt");
  EXPECT_EQ(call("onedrive_write_file", {{"path", file}, {"content", "héllo"}}),
            "Preview — write 5 chars to '" + file + "'. Call again with confirm: true");
  EXPECT_FALSE(fs::exists(under("OneDrive/Team/new")));
  EXPECT_EQ(confirmed("onedrive_write_file", {{"path", file}, {"content", "héllo"}}),
            json({{"written", true}, {"path", file}, {"bytes", 6}}));
  EXPECT_EQ(test::readFile(file), "héllo");
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  confirmed("onedrive_write_file", {{"path", file}, {"content", "replaced"}});
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(test::namesIn(under("OneDrive/Team/new/deep")), std::vector<std::string>{"note.txt"});
  const std::string other = under("Library/CloudStorage/OneDrive-Co/plan.txt");
  EXPECT_EQ(confirmed("onedrive_write_file", {{"path", other}, {"content", "p"}})["bytes"], 1);
}

// The preview says what a delete would take: a folder goes whole, so it says so and how many
// entries its top level holds, hidden ones too; a link to a folder is removed as a link.
TEST_F(OneDriveWritesTest, TheDeletePreviewSaysWhenItIsAFolderAndHowManyEntriesItHolds) {
  for (const char* file : {"tree/x/y.txt", "tree/.hidden", "tree/z.txt", "file.txt"}) {
    test::writeFile(under("OneDrive/Team/" + std::string(file)), "x");
  }
  fs::create_directories(under("OneDrive/Team/empty"));
  fs::create_symlink(under("OneDrive/Team/tree"), under("OneDrive/Team/link"));
  const auto before = test::contentsOf(home_);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"tree", "the folder '{}' with everything in it (3 entries at its top level)."},
      {"empty", "the folder '{}' with everything in it (0 entries at its top level)."},
      {"link", "'{}'."},
      {"file.txt", "'{}'."},
  };
  for (auto [name, middle] : cases) {
    const std::string path = under("OneDrive/Team/" + name);
    middle.replace(middle.find("{}"), 2, path);
    EXPECT_EQ(call("onedrive_delete_file", {{"path", path}}),
              "Preview — permanently delete " + middle + " Call again with confirm: true");
  }
  EXPECT_EQ(test::contentsOf(home_), before);
}

TEST_F(OneDriveWritesTest, PathsLeadingOutOfOneDriveOrItsScopeChangeNothing) {
  const std::string inside = under("OneDrive/Team/inside.txt");
  test::writeFile(inside, "inside");
  const auto before = test::contentsOf(home_);
  for (const std::string& path : std::vector<std::string>{
           under("OneDrive/Team/../../Documents/x"), under("OneDriveX/x"),
           under("OneDrive/Team/out/x"), under("OneDrive"), under("OneDrive/"),
           under("OneDrive/Team/.."), std::string("OneDrive/x"), under("Library/CloudStorage/x"),
           under("Library/CloudStorage/Box/x"), "/proc/self/root" + under("Documents/x"),
           under("OneDrive/Teamwork/x")}) {
    const std::string refusal =
        path.ends_with("Teamwork/x")
            ? "failed: Access restricted to 'OneDrive/Team'"
            : "failed: Path '" + path + "' is outside your OneDrive folders.";
    for (const json& answer :
         {confirmed("onedrive_write_file", {{"path", path}, {"content", "x"}}),
          confirmed("onedrive_delete_file", {{"path", path}}),
          confirmed("onedrive_move_file", {{"source", inside}, {"destination", path}}),
          confirmed("onedrive_move_file", {{"source", path}, {"destination", inside + "2"}})}) {
      EXPECT_EQ(answer.get<std::string>().rfind(refusal, 0), 0u) << path << ": " << answer;
    }
  }
  EXPECT_EQ(test::contentsOf(home_), before);
}

TEST_F(OneDriveWritesTest, MovesNeverOverwriteAndDeletesRemoveWholeTrees) {
  const std::string a = under("OneDrive/Team/a.txt"), b = under("OneDrive/Team/b.txt");
  test::writeFile(a, "A");
  test::writeFile(b, "B");
  EXPECT_EQ(confirmed("onedrive_move_file", {{"source", a}, {"destination", b}}),
            "failed: Cannot move: File exists");
  EXPECT_EQ(test::readFile(a) + test::readFile(b), "AB");
  const std::string moved = under("OneDrive/Team/sub/c.txt");
  EXPECT_EQ(confirmed("onedrive_move_file", {{"source", a}, {"destination", moved}})["moved"],
            true);
  EXPECT_EQ(test::readFile(moved), "A");

  const std::string tree = under("OneDrive/Team/tree");
  test::writeFile(tree + "/x/y.txt", "y");
  fs::create_symlink(under("Documents"), tree + "/x/docs");
  EXPECT_EQ(
      call("onedrive_delete_file", {{"path", tree}}),
      "Preview — permanently delete the folder '" + tree +
          "' with everything in it (1 entry at its top level). Call again with confirm: true");
  EXPECT_EQ(confirmed("onedrive_delete_file", {{"path", tree}})["deleted"], true);
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(confirmed("onedrive_delete_file", {{"path", tree}}), "failed: Not found: " + tree);
  EXPECT_EQ(test::readFile(under("Documents/keep.txt")), "keep");
}

// Another user's folder in the OneDrive tree, swapped all the while by that user with a link to
// another of the user's folders: every write, move, delete, listing, search and look acts on the
// folder named or is refused, and the other folder never gains, loses or shows a file. So with a
// folder of the user's there swapped with the user's link out of the scope: no listing, read or
// look shows what lies outside.
TEST_F(OneDriveWritesTest, AFolderSwappedForALinkNeverCarriesACallElsewhere) {
  if (!test::canGiveLinksAway()) GTEST_SKIP() << "only root can swap folders as another user";
  FinderTools::registerTools(registry_);
  const fs::path shared = under("OneDrive/Team/shared"), other = under("OneDrive/Team/other");
  const std::string named = (shared / "theirs").string() + "/", moved = under("OneDrive/Team/m");
  fs::create_directories(shared / "theirs");
  ASSERT_TRUE(test::giveAway(shared) && test::makeOtherUsersLink(other, shared / "link"));
  const std::string mine = (shared / "mine").string() + "/";
  test::writeFile(mine + "secret.txt", "in scope");
  test::writeFile(under("OneDrive/Teamwork/secret.txt"), "outside the scope");
  test::writeFile(under("OneDrive/Teamwork/beyond-scope.txt"), "");
  fs::create_symlink(under("OneDrive/Teamwork"), shared / "jump");
  const int theirs = ::open(named.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const auto reset = [&] {  // the other folder as it was, and the named one through its descriptor
    for (const char* name : {"gone", "away"})
      ::close(::openat(theirs, name, O_CREAT | O_RDWR, 0644));
    for (const char* name : {"gone", "away", "mine-only"}) test::writeFile(other / name, "mine");
    for (const fs::path& made : {other / "new", other / "back", fs::path(moved)}) fs::remove(made);
  };
  const auto in = [&](const char* name) {
    return [&, name](const json&) { return fs::exists(other / name); };
  };
  const auto outOf = [&](const char* name) {
    return [=](const json& answer) { return !in(name)(answer); };
  };
  const auto shows = [](const json& answer) {
    return answer.dump().find("mine-only") != std::string::npos;
  };
  // Each kind and what shows that it reached the other folder: first the changes, which a reset
  // before each round of them puts back, then the listings.
  const std::vector<std::tuple<std::string, json, std::function<bool(const json&)>>> kinds = {
      {"onedrive_write_file", {{"path", named + "new"}, {"content", "x"}}, in("new")},
      {"onedrive_delete_file", {{"path", named + "gone"}}, outOf("gone")},
      {"onedrive_move_file", {{"source", named + "away"}, {"destination", moved}}, outOf("away")},
      {"onedrive_move_file", {{"source", moved}, {"destination", named + "back"}}, in("back")},
      {"onedrive_list_files", {{"path", named}}, shows},
      {"onedrive_search_files", {{"query", "only"}, {"root", named}}, shows},
      {"onedrive_file_info",
       {{"path", named + "mine-only"}},
       [](const json& a) { return a.is_object(); }},
      {"onedrive_list_files",
       {{"path", mine}},
       [](const json& answer) { return answer.dump().find("beyond-scope") != std::string::npos; }},
      {"onedrive_read_file",
       {{"path", mine + "secret.txt"}},
       [](const json& answer) {
         return answer.dump().find("outside the scope") != std::string::npos;
       }},
      {"onedrive_file_info", {{"path", mine + "secret.txt"}}, [](const json& answer) {
         return answer.is_object() && answer["size"] != 8;
       }}};
  const auto calls = [&](std::size_t first, std::size_t end, int count, std::vector<int>& wins) {
    for (int call = 0; call < count; ++call) {
      const std::size_t kind = first + call % (end - first);
      if (kind == 0) reset();
      const auto& [tool, arguments, won] = kinds[kind];
      wins[kind] += won(confirmed(tool, arguments));
    }
  };
  // 1,110 calls: the changes on this thread, the listings on another meanwhile (a call that
  // followed the link would reach the other folder about every other time); then, on two
  // threads, those through the user's folder swapped with the user's link. (One thread of
  // listings, not two: under the sanitizer each thread more running makes every call dearer.)
  std::vector<std::vector<int>> wins(2, std::vector<int>(kinds.size(), 0));
  test::SwappingChild swapper(shared, "theirs", "link");
  std::thread lister([&] { calls(4, 7, 720, wins[1]); });
  calls(0, 4, 240, wins[0]);
  lister.join();
  EXPECT_GT(swapper.stop(), 0);
  test::SwappingChild mover(shared, "mine", "jump");
  std::thread reader([&] { calls(7, kinds.size(), 75, wins[1]); });
  calls(7, kinds.size(), 75, wins[0]);
  reader.join();
  EXPECT_GT(mover.stop(), 0);
  ::close(theirs);
  EXPECT_EQ(wins, std::vector<std::vector<int>>(2, std::vector<int>(kinds.size(), 0)));
}

TEST_F(SystemToolsTest, FolderNamesReachTheScriptAsOneLiteral) {
  const std::string name = "Tom's \\ folder\r\nnext\u2028line\u2029end \u00e9 \U0001F600 \"q\"";
  EXPECT_EQ(call("create_email_folder", {{"name", name}}),
            "Preview — create Mail folder '" + name + "'. Call again with confirm: true");
  EXPECT_TRUE(scriptsRun().empty());
  call("create_email_folder", {{"name", name}, {"account", "W\n'); evil('"}, {"confirm", true}});
  const std::vector<std::string> scripts = scriptsRun();
  ASSERT_EQ(scripts.size(), 1u);
  const auto literalAfter = [&](const std::string& marker, const std::string& end) {
    const auto from = scripts[0].find(marker) + marker.size();
    return json::parse(scripts[0].substr(from, scripts[0].find(end, from) - from));
  };
  EXPECT_EQ(literalAfter("app.Mailbox({ name: ", " });\n"), name);
  EXPECT_EQ(literalAfter("return { created: true, name: ", " };"), name);
  EXPECT_EQ(literalAfter("app.accounts.whose({ name: ", " })[0];\n"), "W\n'); evil('");
}

// A time zone whose daylight saving starts today at 02:00, an hour east of its standard offset,
// and where it is about noon now: today has 23 hours. Nothing on a 29 February.
std::optional<std::pair<int, std::chrono::sys_days>> useDaylightSavingToday() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const int offset = static_cast<int>(duration_cast<hours>(now - floor<days>(now)).count()) - 12;
  const sys_days localDay = floor<days>(now - hours(offset));
  const year_month_day date{localDay};
  if (date.month() == February && date.day() == day(29)) return std::nullopt;
  int julian = static_cast<int>((localDay - sys_days(date.year() / January / 1)).count()) + 1;
  if (date.year().is_leap() && date.month() > February) --julian;
  const std::string zone = "AAA" + std::to_string(offset) + "BBB" + std::to_string(offset - 1) +
                           ",J" + std::to_string(julian) + "/2,J" +
                           std::to_string(julian % 365 + 1) + "/2";
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
  return std::pair{offset, localDay};
}

TEST_F(SystemToolsTest, TheDailyBriefEndsTodayAtTheNextLocalMidnight) {
  using namespace std::chrono;
  const auto day = useDaylightSavingToday();
  if (!day) GTEST_SKIP() << "no such Julian day";
  const sys_seconds todayMidnight = day->second + hours(day->first);
  const sys_seconds tomorrowMidnight = day->second + days(1) + hours(day->first - 1);
  const auto seed = [this](const std::string& method, const json& args) {
    const json reply = callData(method, args);
    ASSERT_TRUE(reply.value("ok", false)) << reply;
  };
  for (const auto& [title, due] : std::vector<std::pair<std::string, std::string>>{
           {"at midnight", Timestamp::iso8601UTC(tomorrowMidnight)},
           {"half an hour later", Timestamp::iso8601UTC(tomorrowMidnight + minutes(30))},
           {"yesterday", Timestamp::iso8601UTC(todayMidnight - hours(12))},
           {"undated", ""}}) {
    seed("create_reminder", {{"title", title}, {"due_date", due}, {"confirm", true}});
  }
  seed("create_calendar_event", {{"title", "Lunch"},
                                 {"start_date", Timestamp::iso8601UTC(todayMidnight + hours(12))},
                                 {"end_date", Timestamp::iso8601UTC(todayMidnight + hours(13))},
                                 {"confirm", true}});

  const json brief = call("daily_brief", {{"include_emails", false}});
  EXPECT_EQ(brief["date"], Timestamp::iso8601UTC(day->second).substr(0, 10));
  EXPECT_TRUE(brief["emails"].is_null());
  EXPECT_EQ(brief["events"].size(), 1u) << brief;
  std::map<std::string, json> byTitle;
  for (const json& reminder : brief["reminders"]) byTitle[reminder["title"]] = reminder;
  EXPECT_EQ(byTitle.size(), 3u) << brief;
  EXPECT_EQ(byTitle["at midnight"]["overdue"], false);
  EXPECT_EQ(byTitle["yesterday"]["overdue"], true);
  EXPECT_EQ(
      byTitle["undated"],
      json({{"title", "undated"}, {"due_date", ""}, {"list", "Reminders"}, {"overdue", false}}));
}

TEST_F(SystemToolsTest, TheDailyBriefAsksMailOnlyWhileItRuns) {
  if (!test::runsInOwnPidNamespace()) return;  // the user's own mail client stays out of sight
  EXPECT_EQ(call("daily_brief")["emails"], json({{"skipped", "Mail.app is not running"}}));
  EXPECT_TRUE(scriptsRun().empty());

  const fs::path program = test::home() / "bin/thunderbird";
  fs::create_directories(program.parent_path());
  fs::copy_file("/bin/sleep", program);
  auto mail = Subprocess::start(SpawnOptions({program.string(), "60"}));
  ASSERT_TRUE(mail.ok());
  ASSERT_TRUE(test::waitForCommandLine(mail.value()->pid(), program.string()));
  const json summary = {
      {"unread_count", 40}, {"recent_unread", json::array()}, {"accounts", {"W"}}};
  for (const json& answer : {summary, json{{"__error__", "Mail got an error"}}}) {
    test::writeFile(under("rules.json"),
                    json::array({{{"contains", "Mail"}, {"stdout", answer.dump()}}}).dump());
    EXPECT_EQ(call("daily_brief")["emails"],
              answer.contains("__error__") ? json({{"error", "JXA: Mail got an error"}}) : summary);
  }

  // Without any way to run scripts, the running mail client cannot be read: both the brief and
  // the state snapshot say so instead of failing.
  fs::remove(test::home() / ".local/share/tavrin/bin/tavrin-jxa-runner");
  StateTools::registerTools(registry_, {helper_, scripts_}, "9.8.7");
  EXPECT_EQ(call("daily_brief")["emails"], json({{"skipped", "not available on this system"}}));
  EXPECT_EQ(call("tvrn_state")["tcc"]["mail_automation"], "not available on this system");
  mail.value()->terminate();
}

}  // namespace
}  // namespace tvrn
