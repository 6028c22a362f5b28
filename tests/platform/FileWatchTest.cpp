#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/FileStore.h"
#include "platform/FileWatch.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;

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

// What another program does to a watched file is waiting to be read the moment it is done, so
// the next look, however soon, sees it; reading the reports leaves nothing waiting.
TEST(FileWatchTest, ReportsAnOutsideChangeToTheVeryNextLook) {
  const fs::path file = test::home() / "watched" / "settings.json";
  const struct {
    const char* change;
    void (*make)(const fs::path&);
  } rows[] = {
      {"written in place", [](const fs::path& f) { test::writeFile(f, R"({"a": 2})"); }},
      {"renamed over", [](const fs::path& f) { test::replaceFile(f, R"({"a": 3})"); }},
      {"removed", [](const fs::path& f) { fs::remove(f); }},
      // Nothing of the name was there to watch: only the folder's word for the rename tells.
      {"made by renaming another file onto its name",
       [](const fs::path& f) { test::replaceFile(f, R"({"a": 4})"); }},
      {"removed again", [](const fs::path& f) { fs::remove(f); }},
      {"made again", [](const fs::path& f) { test::writeFile(f, "{}"); }},
      {"its folder renamed away",
       [](const fs::path& f) { fs::rename(f.parent_path(), f.parent_path().string() + ".old"); }},
  };
  test::writeFile(file, "{}");
  FileWatch watch;
  for (const auto& row : rows) {
    ASSERT_TRUE(watch.watch({file}) || !fs::exists(file.parent_path())) << row.change;
    static_cast<void>(watch.drain());
    ASSERT_FALSE(watch.pending()) << row.change;
    row.make(file);
    EXPECT_TRUE(watch.pending()) << row.change;
    EXPECT_TRUE(watch.drain()) << row.change;
    EXPECT_FALSE(watch.pending()) << row.change;
  }
}

// A request looks at every watched queue once: whatever changed before its glance opened, in any
// watched file, and whatever the process itself writes meanwhile, is still seen by each question,
// whichever queue is asked first.
TEST(FileWatchTest, AGlanceStillSeesEarlierChangesAndTheProcesssOwnWrites) {
  const fs::path quiet = test::home() / "quiet" / "a.json";
  const fs::path changed = test::home() / "changed" / "b.json";
  const struct {
    const char* change;
    bool beforeTheGlance;
    void (*make)(const fs::path&);
  } rows[] = {
      {"written in place by another program", true,
       [](const fs::path& f) { test::writeFile(f, R"({"b": 1})"); }},
      {"renamed over by another program", true,
       [](const fs::path& f) { test::replaceFile(f, R"({"b": 2})"); }},
      {"removed by another program", true, [](const fs::path& f) { fs::remove(f); }},
      {"written by the process during the glance", false,
       [](const fs::path& f) { ASSERT_TRUE(FileStore::writeAtomic(f, R"({"b": 3})", 0600)); }},
  };
  test::writeFile(quiet, "{}");
  for (const auto& row : rows) {
    test::writeFile(changed, "{}");
    FileWatch first;
    FileWatch second;
    ASSERT_TRUE(first.watch({quiet})) << row.change;
    ASSERT_TRUE(second.watch({changed})) << row.change;
    static_cast<void>(first.drain());
    static_cast<void>(second.drain());
    if (row.beforeTheGlance) row.make(changed);
    Readiness::Glance glance;
    EXPECT_FALSE(first.pending()) << row.change;
    if (!row.beforeTheGlance) row.make(changed);
    EXPECT_TRUE(second.pending()) << row.change;
    EXPECT_FALSE(first.pending()) << row.change;
  }

  // What another program does while a glance is open is seen by the next one, and by the same
  // one once the request has waited (for a permission prompt, say).
  FileWatch watch;
  ASSERT_TRUE(watch.watch({quiet}));
  for (const bool waits : {false, true}) {
    static_cast<void>(watch.drain());
    {
      Readiness::Glance glance;
      EXPECT_FALSE(watch.pending());
      test::writeFile(quiet, R"({"a": 1})");
      if (!waits) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // past the look's time
      EXPECT_TRUE(watch.pending());
    }
    Readiness::Glance next;
    EXPECT_TRUE(watch.pending());
  }
}

}  // namespace
}  // namespace tvrn
