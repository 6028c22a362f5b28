#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/LocalData.h"
#include "core/ConfigManager.h"
#include "platform/ProcessInfo.h"
#include "platform/Subprocess.h"
#include "platform/Timestamp.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/SystemTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::callTool;
using test::jsonOf;
using test::textOf;

// The helper answers inside the process and the script runner is the fake, as in a server.
class SystemToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HelperProxy::setInProcessDispatch(
        [](std::string_view request) { return LocalData::dispatch(request); });
    const fs::path runner = test::home() / ".local/share/tavrin/bin/tavrin-jxa-runner";
    fs::create_directories(runner.parent_path());
    fs::remove(runner);
    fs::create_symlink(test::fakesDir() / "fake-jxa-runner", runner);
    ::setenv("FAKE_JXA_RUNNER_LOG", runnerLog().c_str(), 1);
    SystemTools::registerTools(registry_, JXARunnerProxy::shared(), "9.8.7");
  }

  static fs::path runnerLog() { return test::home() / "runner-requests.jsonl"; }
  // The scripts the runner was asked to run, in order.
  static std::vector<std::string> scriptsRun() {
    std::vector<std::string> scripts;
    std::istringstream lines(test::readFile(runnerLog()));
    for (std::string line; std::getline(lines, line);) {
      scripts.push_back(
          json::parse(json::parse(line)["request"].get<std::string>())["args"]["script"]);
    }
    return scripts;
  }

  std::string under(const std::string& relative) const { return home_ + "/" + relative; }

  ToolRegistry registry_;
  const std::string home_ = test::home().string();
};

TEST_F(SystemToolsTest, ReadOnlyModeKeepsTheSixReadingTools) {
  ASSERT_TRUE(ConfigManager::shared().save({{"read_only", true}}));
  const json payload = registry_.listPayload().rawValue();
  std::set<std::string> listed;
  for (const json& tool : payload["tools"]) listed.insert(tool["name"]);
  EXPECT_EQ(listed, (std::set<std::string>{"finder_list", "finder_search", "list_safari_bookmarks",
                                           "list_accounts", "list_reminder_lists", "daily_brief"}));
  EXPECT_EQ(textOf(callTool(registry_, "onedrive_delete_file", {{"path", under("x")}}))
                .rfind("failed: Permission denied", 0),
            0u);
}

TEST_F(SystemToolsTest, FinderListExpandsTheHomeFolderAndSkipsHiddenEntries) {
  test::writeFile(under("Docs/a.txt"), "12345");
  test::writeFile(under("Docs/.hidden"), "secret");
  fs::create_directories(under("Docs/sub"));

  const json listed = jsonOf(callTool(registry_, "finder_list", {{"path", "~/Docs"}}));
  EXPECT_EQ(listed["path"], under("Docs"));
  EXPECT_EQ(listed["count"], 2);
  std::map<std::string, json> byName;
  for (const json& item : listed["items"]) byName[item["name"]] = item;
  ASSERT_EQ(byName.size(), 2u) << listed;
  EXPECT_EQ(byName["a.txt"]["path"], under("Docs/a.txt"));
  EXPECT_EQ(byName["a.txt"]["type"], "file");
  EXPECT_EQ(byName["a.txt"]["size"], 5);
  EXPECT_TRUE(byName["a.txt"]["modified"].get<std::string>().ends_with("Z"));
  EXPECT_EQ(byName["sub"]["type"], "directory");
  EXPECT_EQ(byName["sub"]["size"], 0);

  const std::vector<std::pair<json, std::string>> cases = {
      {{{"path", "~/Docs"}, {"limit", 0}},
       R"({"count":0,"items":[],"path":")" + under("Docs") + R"("})"},
      {{{"path", "~/Docs/a.txt"}}, "failed: Cannot list path: " + under("Docs/a.txt")},
      {{{"path", under("missing")}}, "failed: Cannot list path: " + under("missing")},
      {{{"path", "~"}, {"limit", 1}}, "1 entry of the home folder"},
  };
  for (const auto& [arguments, expected] : cases) {
    const ToolResult result = callTool(registry_, "finder_list", arguments);
    if (expected.starts_with("failed: ")) {
      EXPECT_EQ(textOf(result), expected) << arguments;
    } else if (expected.starts_with("{")) {
      EXPECT_EQ(jsonOf(result), json::parse(expected)) << arguments;
    } else {
      EXPECT_EQ(jsonOf(result)["path"], home_) << arguments;
      EXPECT_EQ(jsonOf(result)["count"], 1) << arguments;
    }
  }
}

std::vector<pid_t> childrenOfThisProcess() {
  std::vector<pid_t> children;
  for (const pid_t pid : ProcessInfo::allPids()) {
    const auto entry = ProcessInfo::lookup(pid);
    if (entry && entry->ppid == ProcessInfo::selfPid()) children.push_back(pid);
  }
  return children;
}

std::set<std::string> namesFound(const ToolResult& result) {
  const json found = jsonOf(result);
  std::set<std::string> names;
  for (const json& hit : found["results"]) names.insert(hit["name"]);
  return names;
}

TEST_F(SystemToolsTest, FinderSearchStopsAtTheLimitAndMatchesTheQueryLiterally) {
  for (const char* name :
       {"one-match.txt", "two-MATCH.txt", "three-match.txt", "a*b.txt", "aXb.txt", "other.txt"}) {
    test::writeFile(under("Search/" + std::string(name)), "x");
  }
  fs::create_directories(under("Search/match-folder"));
  const json two = jsonOf(callTool(registry_, "finder_search",
                                   {{"query", "match"}, {"path", under("Search")}, {"limit", 2}}));
  EXPECT_EQ(two["count"], 2);
  EXPECT_EQ(two["query"], "match");
  for (const json& hit : two["results"]) {
    EXPECT_TRUE(hit["path"].get<std::string>().starts_with(under("Search/"))) << hit;
  }
  EXPECT_TRUE(childrenOfThisProcess().empty());

  const std::vector<std::pair<json, std::set<std::string>>> cases = {
      {{{"query", "MATCH"}}, {"one-match.txt", "two-MATCH.txt", "three-match.txt", "match-folder"}},
      {{{"query", "a*b"}}, {"a*b.txt"}},
      {{{"query", "match"}, {"limit", 0}}, {}},
      {{{"query", "match"}, {"limit", -4}}, {}},
  };
  for (auto [arguments, names] : cases) {
    arguments["path"] = under("Search");
    EXPECT_EQ(namesFound(callTool(registry_, "finder_search", arguments)), names) << arguments;
  }
  const json folder = jsonOf(
      callTool(registry_, "finder_search", {{"query", "folder"}, {"path", under("Search")}}));
  EXPECT_EQ(folder["results"][0]["type"], "directory");
  EXPECT_EQ(textOf(callTool(registry_, "finder_search", {{"query", "  "}})),
            "failed: Invalid 'query': expected non-empty string");
}

// A relative folder that reads like an option of find(1) stays a folder name.
TEST_F(SystemToolsTest, FinderSearchNeverTakesTheFolderForAnExpression) {
  test::writeFile(under("work/kept.txt"), "x");
  ASSERT_EQ(::chdir(under("work").c_str()), 0);
  for (const char* folder : {"-delete", "!", "("}) {
    EXPECT_EQ(jsonOf(callTool(registry_, "finder_search",
                              {{"query", "kept"}, {"path", folder}}))["count"],
              0)
        << folder;
  }
  EXPECT_TRUE(fs::exists(under("work/kept.txt")));
}

class OneDriveWritesTest : public SystemToolsTest {
 protected:
  void SetUp() override {
    SystemToolsTest::SetUp();
    for (const char* folder :
         {"OneDrive/Team", "OneDrive/Teamwork", "OneDriveX", "Documents",
          "Library/CloudStorage/OneDrive-Brackwell", "Library/CloudStorage/Dropbox"}) {
      fs::create_directories(under(folder));
    }
    test::writeFile(under("Documents/keep.txt"), "keep");
    fs::create_symlink(under("Documents"), under("OneDrive/Team/out"));
    ASSERT_TRUE(ConfigManager::shared().save({{"onedrive_scopes", {{"OneDrive", "/Team"}}}}));
  }

  std::string call(const std::string& tool, json arguments, bool confirm = true) {
    if (confirm) arguments["confirm"] = true;
    return textOf(callTool(registry_, tool, arguments));
  }
};

TEST_F(OneDriveWritesTest, WritesAfterAPreviewCreatingFoldersAndKeepingTheMode) {
  const std::string file = under("OneDrive/Team/new/deep/note.txt");
  EXPECT_EQ(call("onedrive_write_file", {{"path", file}, {"content", "héllo"}}, false),
            "Preview — write 5 chars to '" + file + "'. Call again with confirm: true");
  EXPECT_FALSE(fs::exists(under("OneDrive/Team/new")));

  EXPECT_EQ(json::parse(call("onedrive_write_file", {{"path", file}, {"content", "héllo"}})),
            json({{"written", true}, {"path", file}, {"bytes", 6}}));
  EXPECT_EQ(test::readFile(file), "héllo");

  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  call("onedrive_write_file", {{"path", file}, {"content", "replaced"}});
  EXPECT_EQ(test::readFile(file), "replaced");
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(test::namesIn(under("OneDrive/Team/new/deep")), std::vector<std::string>{"note.txt"});

  const std::string other = under("Library/CloudStorage/OneDrive-Brackwell/plan.txt");
  EXPECT_EQ(json::parse(call("onedrive_write_file", {{"path", other}, {"content", "p"}}))["bytes"],
            1);
}

TEST_F(OneDriveWritesTest, PathsLeadingOutOfOneDriveOrItsScopeChangeNothing) {
  test::writeFile(under("OneDrive/Team/inside.txt"), "inside");
  const std::string inside = under("OneDrive/Team/inside.txt");
  const auto before = test::contentsOf(home_);
  const std::vector<std::pair<std::string, std::string>> escapes = {
      // path, the refusal's start
      {under("OneDrive/Team/../../Documents/x.txt"), "Path '"},
      {under("OneDriveX/x.txt"), "Path '"},
      {under("OneDrive/Team/out/x.txt"), "Path '"},
      {under("OneDrive"), "Path '"},
      {under("OneDrive/"), "Path '"},
      {under("OneDrive/Team/.."), "Path '"},
      {"OneDrive/Team/x.txt", "Path '"},
      {under("Library/CloudStorage/x.txt"), "Path '"},
      {under("Library/CloudStorage/Dropbox/x.txt"), "Path '"},
      {"/proc/self/root" + under("Documents/x.txt"), "Path '"},
      {under("OneDrive/Teamwork/x.txt"), "Access restricted to 'OneDrive/Team'"},
  };
  for (const auto& [path, refusal] : escapes) {
    for (const std::string& answer :
         {call("onedrive_write_file", {{"path", path}, {"content", "x"}}),
          call("onedrive_delete_file", {{"path", path}}),
          call("onedrive_move_file", {{"source", inside}, {"destination", path}}),
          call("onedrive_move_file", {{"source", path}, {"destination", inside + ".moved"}})}) {
      EXPECT_EQ(answer.rfind("failed: " + refusal, 0), 0u) << path << ": " << answer;
    }
  }
  EXPECT_EQ(call("onedrive_write_file", {{"path", "OneDrive/x"}, {"content", "x"}}),
            "failed: Path 'OneDrive/x' is outside your OneDrive folders.");
  EXPECT_EQ(test::contentsOf(home_), before);
}

TEST_F(OneDriveWritesTest, MovesNeverOverwriteAndDeletesRemoveWholeTrees) {
  const std::string a = under("OneDrive/Team/a.txt");
  const std::string b = under("OneDrive/Team/b.txt");
  test::writeFile(a, "A");
  test::writeFile(b, "B");
  EXPECT_EQ(call("onedrive_move_file", {{"source", a}, {"destination", b}}, false),
            "Preview — move '" + a + "' → '" + b + "'. Call again with confirm: true");
  EXPECT_EQ(call("onedrive_move_file", {{"source", a}, {"destination", b}}),
            "failed: Cannot move: File exists");
  EXPECT_EQ(test::readFile(a), "A");
  EXPECT_EQ(test::readFile(b), "B");

  const std::string moved = under("OneDrive/Team/sub/c.txt");
  EXPECT_EQ(json::parse(call("onedrive_move_file", {{"source", a}, {"destination", moved}})),
            json({{"moved", true}, {"from", a}, {"to", moved}}));
  EXPECT_EQ(test::readFile(moved), "A");
  EXPECT_EQ(call("onedrive_move_file", {{"source", a}, {"destination", b + "2"}}),
            "failed: Not found: " + a);

  const std::string tree = under("OneDrive/Team/tree");
  test::writeFile(tree + "/x/y.txt", "y");
  fs::create_symlink(under("Documents"), tree + "/x/docs");
  EXPECT_EQ(call("onedrive_delete_file", {{"path", tree}}, false),
            "Preview — permanently delete '" + tree + "'. Call again with confirm: true");
  EXPECT_TRUE(fs::exists(tree));
  EXPECT_EQ(json::parse(call("onedrive_delete_file", {{"path", tree}})),
            json({{"deleted", true}, {"path", tree}}));
  EXPECT_FALSE(fs::exists(tree));
  // A link is removed itself; what it leads to stays.
  call("onedrive_delete_file", {{"path", under("OneDrive/Team/out")}});
  EXPECT_FALSE(fs::exists(fs::symlink_status(under("OneDrive/Team/out"))));
  EXPECT_EQ(test::readFile(under("Documents/keep.txt")), "keep");
  EXPECT_EQ(call("onedrive_delete_file", {{"path", tree}}), "failed: Not found: " + tree);
}

TEST_F(SystemToolsTest, FolderNamesReachTheScriptAsOneLiteral) {
  const std::string name = "Tom's \\ folder\r\nnext\u2028line\u2029end \u00e9 \U0001F600 \"q\"";
  EXPECT_EQ(textOf(callTool(registry_, "create_email_folder", {{"name", name}})),
            "Preview — create Mail folder '" + name + "'. Call again with confirm: true");
  EXPECT_TRUE(scriptsRun().empty());

  ASSERT_TRUE(callTool(registry_, "create_email_folder",
                       {{"name", name}, {"account", "Work\n'); evil('"}, {"confirm", true}})
                  .ok());
  const std::vector<std::string> scripts = scriptsRun();
  ASSERT_EQ(scripts.size(), 1u);
  const auto literalAfter = [&](const std::string& marker, const std::string& end) {
    const auto start = scripts[0].find(marker);
    EXPECT_NE(start, std::string::npos) << scripts[0];
    const auto from = start + marker.size();
    return json::parse(scripts[0].substr(from, scripts[0].find(end, from) - from));
  };
  EXPECT_EQ(literalAfter("app.Mailbox({ name: ", " });\n"), name);
  EXPECT_EQ(literalAfter("return { created: true, name: ", " };"), name);
  EXPECT_EQ(literalAfter("app.accounts.whose({ name: ", " })[0];\n"), "Work\n'); evil('");
}

TEST_F(SystemToolsTest, CompletingAReminderWaitsForConfirmation) {
  EXPECT_EQ(textOf(callTool(registry_, "complete_reminder")),
            "Preview — mark reminder '?' as complete. Call again with confirm: true to apply.");
  EXPECT_EQ(textOf(callTool(registry_, "complete_reminder", {{"confirm", true}})),
            "failed: reminder_id is required");
  EXPECT_EQ(jsonOf(callTool(registry_, "list_reminder_lists"))["count"], 1);
}

// A time zone whose daylight saving starts today at 02:00, an hour east of its standard offset,
// chosen so that it is now about noon there: today has 23 hours.
struct DaylightSavingDay {
  int offsetHours;  // standard time is UTC minus this
  std::chrono::sys_days localDay;
};

std::optional<DaylightSavingDay> useDaylightSavingToday() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const int utcHour = static_cast<int>(duration_cast<hours>(now - floor<days>(now)).count());
  const int offset = utcHour - 12;
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
  return DaylightSavingDay{offset, localDay};
}

void seed(const json& request) {
  const json reply = LocalData::dispatch(request.dump());
  ASSERT_TRUE(reply.value("ok", false)) << request << reply;
}

TEST_F(SystemToolsTest, TheDailyBriefEndsTodayAtTheNextLocalMidnight) {
  using namespace std::chrono;
  const auto day = useDaylightSavingToday();
  if (!day) GTEST_SKIP() << "no such Julian day";
  const sys_seconds todayMidnight = day->localDay + hours(day->offsetHours);
  const sys_seconds tomorrowMidnight = day->localDay + days(1) + hours(day->offsetHours - 1);
  const auto utc = [](sys_seconds when) { return Timestamp::iso8601UTC(when); };
  const std::vector<std::pair<std::string, std::string>> reminders = {
      {"at midnight", utc(tomorrowMidnight)},
      {"half an hour later", utc(tomorrowMidnight + minutes(30))},
      {"yesterday", utc(todayMidnight - hours(12))},
      {"undated", ""},
  };
  for (const auto& [title, due] : reminders) {
    seed({{"method", "create_reminder"},
          {"args", {{"title", title}, {"due_date", due}, {"confirm", true}}}});
  }
  seed({{"method", "create_calendar_event"},
        {"args",
         {{"title", "Lunch"},
          {"start_date", utc(todayMidnight + hours(12))},
          {"end_date", utc(todayMidnight + hours(13))},
          {"confirm", true}}}});

  const json brief = jsonOf(callTool(registry_, "daily_brief", {{"include_emails", false}}));
  EXPECT_EQ(brief["date"], Timestamp::iso8601UTC(day->localDay).substr(0, 10));
  EXPECT_TRUE(brief["emails"].is_null());
  ASSERT_EQ(brief["events"].size(), 1u) << brief;
  EXPECT_EQ(brief["events"][0]["title"], "Lunch");
  std::map<std::string, json> byTitle;
  for (const json& reminder : brief["reminders"]) byTitle[reminder["title"]] = reminder;
  EXPECT_EQ(byTitle.size(), 3u) << brief;
  EXPECT_FALSE(byTitle.contains("half an hour later"));
  EXPECT_EQ(byTitle["at midnight"]["overdue"], false);
  EXPECT_EQ(byTitle["yesterday"]["overdue"], true);
  EXPECT_EQ(
      byTitle["undated"],
      json({{"title", "undated"}, {"due_date", ""}, {"list", "Reminders"}, {"overdue", false}}));
}

TEST_F(SystemToolsTest, TheDailyBriefAsksMailOnlyWhileItRuns) {
  EXPECT_EQ(jsonOf(callTool(registry_, "daily_brief"))["emails"],
            json({{"skipped", "Mail.app is not running"}}));
  EXPECT_TRUE(scriptsRun().empty());

  const fs::path program = test::home() / "bin" / "thunderbird";
  fs::create_directories(program.parent_path());
  fs::copy_file("/bin/sleep", program);
  auto mail = Subprocess::start(SpawnOptions({program.string(), "60"}));
  ASSERT_TRUE(mail.ok());
  const json summary = {{"unread_count", 40},
                        {"recent_unread", {{{"subject", "Hi"}, {"sender", "a@b"}, {"date", ""}}}},
                        {"accounts", {"Work"}}};
  const fs::path rules = test::home() / "runner-rules.json";
  ::setenv("FAKE_JXA_RUNNER_RULES", rules.c_str(), 1);
  const auto mailAnswers = [&](const json& answer) {
    test::writeFile(rules, json::array({{{"contains", "Mail"}, {"stdout", answer.dump()}}}).dump());
  };
  mailAnswers(summary);
  EXPECT_EQ(jsonOf(callTool(registry_, "daily_brief"))["emails"], summary);
  mailAnswers({{"__error__", "Mail got an error"}});
  EXPECT_EQ(jsonOf(callTool(registry_, "daily_brief"))["emails"],
            json({{"error", "JXA: Mail got an error"}}));
  mail.value()->terminate();
}

}  // namespace
}  // namespace tvrn
