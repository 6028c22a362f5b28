#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "platform/FileWatch.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

void appendLine(const fs::path& file) { std::ofstream(file, std::ios::app) << "a line\n"; }

struct Way {
  const char* name;
  // Sets the scene before the watch is placed; answers the file to watch.
  std::function<fs::path(const fs::path& folder)> scene;
  std::function<void(const fs::path& file)> change;
  bool reported;
};

TEST(FileWatchTest, ReportsEveryWayAWatchedFileChangesAndNothingElse) {
  // With a log beside it, as the settings folder has.
  const auto settingsIn = [](const fs::path& folder) {
    test::writeFile(folder / "audit.log", "");
    test::writeFile(folder / "settings.json", "{}");
    return folder / "settings.json";
  };
  // A link in the watched place to a file in a folder of its own.
  const auto linkedIn = [](const fs::path& folder) {
    test::writeFile(folder / "elsewhere" / "real.json", "{}");
    fs::create_directories(folder / "watched");
    fs::create_symlink(folder / "elsewhere" / "real.json", folder / "watched" / "settings.json");
    return folder / "watched" / "settings.json";
  };
  const auto target = [](const fs::path& file) { return fs::canonical(file); };
  const Way ways[] = {
      {"rewritten in place", settingsIn,
       [](const fs::path& file) { test::writeFile(file, R"({"a": 1})"); }, true},
      {"replaced by a rename", settingsIn,
       [](const fs::path& file) { test::replaceFile(file, R"({"a": 1})"); }, true},
      {"removed", settingsIn, [](const fs::path& file) { fs::remove(file); }, true},
      {"its mode changed", settingsIn,
       [](const fs::path& file) { fs::permissions(file, fs::perms::owner_read); }, true},
      {"made where none was", [](const fs::path& folder) { return folder / "settings.json"; },
       [](const fs::path& file) { test::writeFile(file, "{}"); }, true},
      {"made with the folders above it",
       [](const fs::path& folder) { return folder / "a" / "b" / "settings.json"; },
       [](const fs::path& file) { test::writeFile(file, "{}"); }, true},
      {"its link's target rewritten in place", linkedIn,
       [&](const fs::path& file) { test::writeFile(target(file), R"({"a": 1})"); }, true},
      {"its link's target replaced by a rename", linkedIn,
       [&](const fs::path& file) { test::replaceFile(target(file), R"({"a": 1})"); }, true},
      {"a line appended to a log beside it", settingsIn,
       [](const fs::path& file) { appendLine(file.parent_path() / "audit.log"); }, false},
      {"a file beside it replaced by a rename", settingsIn,
       [](const fs::path& file) { test::replaceFile(file.parent_path() / "status.json", "{}"); },
       false},
  };
  int row = 0;
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    const fs::path folder = test::home() / ("row" + std::to_string(row++));
    fs::create_directories(folder);
    const fs::path file = way.scene(folder);
    FileWatch watch;
    ASSERT_TRUE(watch.watch({file}));
    EXPECT_FALSE(watch.drain());
    EXPECT_FALSE(watch.pending());
    way.change(file);
    // A line appended beside it does not even wake a reader.
    EXPECT_EQ(watch.pending() && watch.drain(), way.reported);
    EXPECT_FALSE(watch.drain()) << "each report is read once";
  }
}

TEST(FileWatchTest, FollowsTheFilesNamedLastAndLeavesACopysReportsToItsOwner) {
  const fs::path first = test::home() / "first" / "a.json";
  const fs::path second = test::home() / "second" / "b.json";
  test::writeFile(first, "{}");
  test::writeFile(second, "{}");
  FileWatch watch;
  ASSERT_TRUE(watch.watch({first}));
  ASSERT_TRUE(watch.watch({second}));
  static_cast<void>(watch.drain());
  test::writeFile(first, R"({"a": 1})");
  EXPECT_FALSE(watch.drain());

  // A copy of the process (fork) starts over with a queue of its own; the report stays here.
  test::writeFile(second, R"({"b": 1})");
  const pid_t child = ::fork();
  if (child == 0) {
    const bool startsOver = watch.pending() && watch.drain() && watch.watch({second});
    ::_exit(startsOver && !watch.drain() ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(watch.drain());
}

}  // namespace
}  // namespace tvrn
