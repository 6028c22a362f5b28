#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace
}  // namespace tvrn
