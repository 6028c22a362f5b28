#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/FileStore.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(FileStoreTest, WritesPrivateFilesInPrivateFolders) {
  const auto file = Paths::appSupport() / "nested" / "settings.json";
  ASSERT_TRUE(FileStore::writeAtomic(file, "{}"));
  EXPECT_EQ(test::readFile(file), "{}");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  EXPECT_EQ(modeOf(Paths::appSupport()), 0700u);
}

TEST(FileStoreTest, ReplacesWholeFileAndLeavesNoTemporaries) {
  const auto file = Paths::appSupport() / "a.txt";
  ASSERT_TRUE(FileStore::writeAtomic(file, std::string(10000, 'x')));
  ASSERT_TRUE(FileStore::writeAtomic(file, "short"));
  EXPECT_EQ(FileStore::read(file).value_or(""), "short");
  int entries = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(file.parent_path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(FileStoreTest, ReportsWhyAWriteFailed) {
  test::writeFile(test::home() / "blocker", "a file where a folder should be");
  std::string error;
  EXPECT_FALSE(FileStore::writeAtomic(test::home() / "blocker" / "x.json", "{}", 0600, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(FileStore::read(test::home() / "missing").has_value());
}

TEST(PathsTest, FollowsTheEnvironmentAtEachCall) {
  EXPECT_EQ(Paths::appSupport(), test::home() / ".config" / "tavrin");
  EXPECT_EQ(Paths::localShare(), test::home() / ".local" / "share" / "tavrin");
  ::setenv("XDG_CONFIG_DIRS", "/opt/one:/opt/two", 1);
  EXPECT_EQ(Paths::systemConfigDir(), std::filesystem::path("/opt/one/tavrin"));
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(Paths::appSupport(), test::home() / ".config" / "tavrin");
  ::setenv("XDG_CONFIG_HOME", "/elsewhere", 1);
  EXPECT_EQ(Paths::appSupport(), std::filesystem::path("/elsewhere/tavrin"));
}

}  // namespace
}  // namespace tvrn
