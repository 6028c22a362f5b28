#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

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
}

TEST(FileStoreTest, TellsAMissingFileFromOneThatCannotBeRead) {
  test::writeFile(test::home() / "plain", "x");
  std::filesystem::create_symlink(test::home() / "gone", test::home() / "dangling");
  const struct {
    const char* name;
    bool missing;
  } rows[] = {
      {"missing", true},
      {"plain/below-a-file", true},
      {".", false},  // a folder is no file
      {"dangling", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FileStore::ReadError error;
    EXPECT_FALSE(FileStore::read(test::home() / row.name, &error).has_value());
    EXPECT_EQ(error.missing, row.missing);
    EXPECT_FALSE(error.reason.empty());
  }
}

TEST(FileStoreTest, EnsuresPrivateFilesAndAppendsOnlyWhereAsked) {
  const auto file = Paths::appSupport() / "logs" / "a.log";
  ASSERT_TRUE(FileStore::ensureFile(file));
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  ::chmod(file.c_str(), 0644);
  ASSERT_TRUE(FileStore::ensureFile(file));
  EXPECT_EQ(modeOf(file), 0600u) << "an existing file is made private too";

  EXPECT_TRUE(FileStore::append(file, "one\n"));
  EXPECT_TRUE(FileStore::append(file, "two\n"));
  EXPECT_EQ(test::readFile(file), "one\ntwo\n");

  std::filesystem::remove(file);
  EXPECT_FALSE(FileStore::append(file, "lost\n"));
  EXPECT_FALSE(std::filesystem::exists(file)) << "a removed file stays removed";
  EXPECT_TRUE(FileStore::append(file, "back\n", 0600));
  EXPECT_EQ(test::readFile(file), "back\n");
  EXPECT_EQ(modeOf(file), 0600u);
}

TEST(FileStoreTest, MovesDamagedFilesAsideUnderFreshNames) {
  const auto file = Paths::appSupport() / "config.json";
  std::vector<std::string> names;
  for (const char* bytes : {"first", "second", "third"}) {
    test::writeFile(file, bytes);
    const auto moved = FileStore::moveAside(file);
    ASSERT_TRUE(moved.has_value());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(test::readFile(*moved), bytes);
    names.push_back(moved->filename().string());
  }
  // All three may fall in one second; the later ones then get a number.
  const std::string stamped = names[0];
  ASSERT_EQ(stamped.rfind("config.json.corrupt-", 0), 0u) << stamped;
  EXPECT_EQ(stamped.size(), std::string("config.json.corrupt-20250131T090507Z").size());
  if (names[2].rfind(stamped, 0) == 0) {
    EXPECT_EQ(names[1], stamped + "-2");
    EXPECT_EQ(names[2], stamped + "-3");
  }

  std::string reason;
  EXPECT_FALSE(FileStore::moveAside(file, &reason).has_value());
  EXPECT_FALSE(reason.empty());
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
